#include "audio/pulse/PulseSubscription.h"

#include <pulse/introspect.h>
#include <pulse/subscribe.h>

#include "audio/pulse/PulseDevices.h"

namespace pulse {

Subscription::Subscription(std::function<void()> onNotice, std::function<void(int)> onLost)
    : onNotice_(std::move(onNotice)),
      connection_(std::make_unique<Connection>("Palavrix device monitor")) {
  connection_->onLost = std::move(onLost);
}

Subscription::~Subscription() {
  {
    Connection::Lock lock(*connection_);
    pa_context_set_subscribe_callback(connection_->context(), nullptr, nullptr);
  }
  connection_.reset();
}

int Subscription::start() {
  const auto deadline = Clock::now() + kStepTimeout;
  if (const int error = connection_->connect(); error != 0) return error;
  Connection::Lock lock(*connection_);
  ServerSnapshot defaults;
  if (const int error = readServerDefaults(*connection_, defaults, deadline); error != 0) {
    return error;
  }
  defaultSinkName_ = defaults.defaultSinkName;
  defaultSourceName_ = defaults.defaultSourceName;
  haveDefaults_ = true;
  pa_context_set_subscribe_callback(connection_->context(), &Subscription::onEvent, this);
  const auto mask = static_cast<pa_subscription_mask_t>(
      PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SERVER);
  pa_operation* operation = pa_context_subscribe(
      connection_->context(), mask,
      [](pa_context*, int, void* connection) { static_cast<Connection*>(connection)->signal(); },
      connection_.get());
  if (!connection_->waitFor(operation, deadline)) {
    const int error = connection_->lastError();
    return error != 0 ? error : PA_ERR_TIMEOUT;
  }
  return 0;
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
