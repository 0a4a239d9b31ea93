#include "audio/pulse/PulseSubscription.h"

#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/subscribe.h>
#include <pulse/timeval.h>

#include <utility>

namespace pulse {

Subscription::Subscription(std::function<void()> onNotice, std::function<void(int)> onLost)
    : onNotice_(std::move(onNotice)),
      connection_(std::make_unique<Connection>("Palavrix device monitor")) {
  connection_->onLost = std::move(onLost);
}

Subscription::~Subscription() {
  {
    Connection::Lock lock(*connection_);
    started_ = nullptr;
    if (startTimer_) {
      pa_threaded_mainloop_get_api(connection_->mainloop())->time_free(startTimer_);
      startTimer_ = nullptr;
    }
    pa_context_set_subscribe_callback(connection_->context(), nullptr, nullptr);
  }
  connection_.reset();
}

int Subscription::start(std::function<void(int)> done) {
  Connection::Lock lock(*connection_);
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(connection_->mainloop());
  struct timeval when;
  pa_gettimeofday(&when);
  pa_timeval_add(&when,
                 std::chrono::duration_cast<std::chrono::microseconds>(kStepTimeout).count());
  started_ = std::move(done);
  startTimer_ = api->time_new(api, &when, &Subscription::onStartTimeout, this);
  const int error =
      connection_->startConnect(kStepTimeout, [this](int result) { connected(result); });
  if (error != 0) {
    started_ = nullptr;
    api->time_free(startTimer_);
    startTimer_ = nullptr;
  }
  return error;
}

void Subscription::connected(int error) {
  if (error != 0) {
    finishStart(error);
    return;
  }
  pa_operation* operation =
      pa_context_get_server_info(connection_->context(), &Subscription::onFirstServerInfo, this);
  if (!operation) {
    finishStart(connection_->lastError() != 0 ? connection_->lastError() : PA_ERR_UNKNOWN);
    return;
  }
  pa_operation_unref(operation);
}

void Subscription::onFirstServerInfo(pa_context* context, const pa_server_info* info, void* self) {
  auto* subscription = static_cast<Subscription*>(self);
  if (!subscription->started_) return;
  if (!info) {
    subscription->finishStart(pa_context_errno(context) != 0 ? pa_context_errno(context)
                                                             : PA_ERR_UNKNOWN);
    return;
  }
  subscription->defaultSinkName_ = info->default_sink_name ? info->default_sink_name : "";
  subscription->defaultSourceName_ = info->default_source_name ? info->default_source_name : "";
  subscription->haveDefaults_ = true;
  pa_context_set_subscribe_callback(context, &Subscription::onEvent, self);
  const auto mask = static_cast<pa_subscription_mask_t>(
      PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SERVER);
  pa_operation* operation = pa_context_subscribe(context, mask, &Subscription::onSubscribed, self);
  if (!operation) {
    subscription->finishStart(pa_context_errno(context) != 0 ? pa_context_errno(context)
                                                             : PA_ERR_UNKNOWN);
    return;
  }
  pa_operation_unref(operation);
}

void Subscription::onSubscribed(pa_context* context, int success, void* self) {
  const int error = pa_context_errno(context);
  static_cast<Subscription*>(self)->finishStart(success ? 0 : error != 0 ? error : PA_ERR_UNKNOWN);
}

void Subscription::onStartTimeout(pa_mainloop_api*, pa_time_event*, const struct timeval*,
                                  void* self) {
  static_cast<Subscription*>(self)->finishStart(PA_ERR_TIMEOUT);
}

void Subscription::finishStart(int error) {
  if (startTimer_) {
    pa_threaded_mainloop_get_api(connection_->mainloop())->time_free(startTimer_);
    startTimer_ = nullptr;
  }
  if (const std::function<void(int)> done = std::exchange(started_, nullptr)) done(error);
}

void Subscription::onEvent(pa_context* context, pa_subscription_event_type_t type, uint32_t,
                           void* self) {
  auto* subscription = static_cast<Subscription*>(self);
  const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
  if (facility == PA_SUBSCRIPTION_EVENT_SINK || facility == PA_SUBSCRIPTION_EVENT_SOURCE) {
    if (kind == PA_SUBSCRIPTION_EVENT_NEW || kind == PA_SUBSCRIPTION_EVENT_REMOVE) {
      subscription->onNotice_();
    }
    return;
  }
  if (facility == PA_SUBSCRIPTION_EVENT_SERVER && kind == PA_SUBSCRIPTION_EVENT_CHANGE) {
    // A server change is many things; only a default that really differs counts.
    pa_operation* operation =
        pa_context_get_server_info(context, &Subscription::onServerInfo, self);
    if (operation) pa_operation_unref(operation);
  }
}

void Subscription::onServerInfo(pa_context*, const pa_server_info* info, void* self) {
  auto* subscription = static_cast<Subscription*>(self);
  if (!info) return;
  const std::string sink = info->default_sink_name ? info->default_sink_name : "";
  const std::string source = info->default_source_name ? info->default_source_name : "";
  const bool changed = subscription->haveDefaults_ && (sink != subscription->defaultSinkName_ ||
                                                       source != subscription->defaultSourceName_);
  subscription->defaultSinkName_ = sink;
  subscription->defaultSourceName_ = source;
  subscription->haveDefaults_ = true;
  if (changed) subscription->onNotice_();
}

}  // namespace pulse
