// Watches the server for devices that come and go and for real changes of the default sink or
// source. Sink and source CHANGE events are ignored on purpose: every stream that connects
// (ours included) fires one, and reacting to them would restart capture in a loop.
#pragma once

#include <pulse/introspect.h>

#include <functional>
#include <memory>
#include <string>

#include "audio/pulse/PulseConnection.h"

namespace pulse {

class Subscription {
 public:
  // Both called on the mainloop thread with its lock held: keep them short and only hand on.
  // onNotice: a device arrived or left, or a default changed. onLost: the server went away.
  Subscription(std::function<void()> onNotice, std::function<void(int)> onLost);
  ~Subscription();

  // Connects and subscribes without waiting: done runs once on the mainloop thread, lock held,
  // with 0 once subscribed or the PulseAudio error code (PA_ERR_TIMEOUT when it took longer than
  // kStepTimeout); never after the subscription is gone. Returns an error when it could not even
  // begin, and done then never runs. Caller's thread, without the lock.
  int start(std::function<void(int)> done);

 private:
  static void onEvent(pa_context*, pa_subscription_event_type_t type, uint32_t, void* self);
  static void onServerInfo(pa_context*, const pa_server_info* info, void* self);
  static void onFirstServerInfo(pa_context*, const pa_server_info* info, void* self);
  static void onSubscribed(pa_context*, int success, void* self);
  static void onStartTimeout(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self);
  void connected(int error);
  void finishStart(int error);

  std::function<void()> onNotice_;
  std::unique_ptr<Connection> connection_;
  // The defaults last seen; mainloop thread.
  std::string defaultSinkName_;
  std::string defaultSourceName_;
  bool haveDefaults_ = false;
  // The start under way: what to tell, and its deadline. Mainloop thread, under the lock.
  std::function<void(int)> started_;
  pa_time_event* startTimer_ = nullptr;
};

}  // namespace pulse
