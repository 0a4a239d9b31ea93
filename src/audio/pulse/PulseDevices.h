// What the PulseAudio server says about its devices at one moment: sinks, sources and the
// defaults, read over one short-lived connection. Caller's thread (the main thread in practice);
// takes about as long as a round trip to the server, bounded by kStepTimeout.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "audio/pulse/PulseConnection.h"

namespace pulse {

struct Device {
  uint32_t index = 0;
  std::string name;         // the server's name: stable, unique per kind
  std::string description;  // what people read
  uint32_t rate = 0;
  uint8_t channels = 0;
  bool isMonitor = false;  // a source that monitors a sink
  bool isBuiltIn = false;  // form factor "internal", or on the pci or platform bus
};

struct ServerSnapshot {
  std::vector<Device> sinks;
  std::vector<Device> sources;
  std::string defaultSinkName;
  std::string defaultSourceName;
};

// The snapshot, or the PulseAudio error code when the server cannot be asked (no server, a
// failed query, the deadline passed).
struct SnapshotResult {
  std::optional<ServerSnapshot> snapshot;
  int error = 0;
};
SnapshotResult querySnapshot(std::chrono::milliseconds timeout = kStepTimeout);

// The same queries on a connection the caller already holds, with its lock held.
int readServerDefaults(Connection& connection, ServerSnapshot& into, Clock::time_point deadline);
std::optional<Device> readSource(Connection& connection, const char* name,
                                 Clock::time_point deadline, int* error);

}  // namespace pulse
