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

  // Connects and subscribes; returns 0 or the PulseAudio error code. Caller's thread.
  int start();

 private:
  static void onEvent(pa_context*, pa_subscription_event_type_t type, uint32_t, void* self);
  static void onServerInfo(pa_context*, const pa_server_info* info, void* self);

  std::function<void()> onNotice_;
  std::unique_ptr<Connection> connection_;
  // The defaults last seen; mainloop thread.
  std::string defaultSinkName_;
  std::string defaultSourceName_;
  bool haveDefaults_ = false;
};

}  // namespace pulse
