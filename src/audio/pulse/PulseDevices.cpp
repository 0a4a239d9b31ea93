#include "audio/pulse/PulseDevices.h"

#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/proplist.h>

#include <cstring>

namespace pulse {
namespace {

bool builtIn(const pa_proplist* properties) {
  if (!properties) return false;
  const char* formFactor = pa_proplist_gets(properties, PA_PROP_DEVICE_FORM_FACTOR);
  if (formFactor && std::strcmp(formFactor, "internal") == 0) return true;
  const char* bus = pa_proplist_gets(properties, PA_PROP_DEVICE_BUS);
  return bus && (std::strcmp(bus, "pci") == 0 || std::strcmp(bus, "platform") == 0);
}

// What sinks and sources have alike.
template <typename Info>
Device fromInfo(const Info& info) {
  Device device;
  device.index = info.index;
  device.name = info.name ? info.name : "";
  device.description = info.description ? info.description : "";
  device.rate = info.sample_spec.rate;
  device.channels = info.sample_spec.channels;
  device.isBuiltIn = builtIn(info.proplist);
  return device;
}

Device fromSink(const pa_sink_info& info) { return fromInfo(info); }

Device fromSource(const pa_source_info& info) {
  Device device = fromInfo(info);
  device.isMonitor = info.monitor_of_sink != PA_INVALID_INDEX;
  return device;
}

// What a list query's callbacks fill in.
struct ListRequest {
  Connection* connection;
  std::vector<Device>* into;
  bool done = false;
  bool failed = false;
};

template <typename Info, Device (*convert)(const Info&)>
void onListItem(pa_context*, const Info* info, int eol, void* userdata) {
  auto* request = static_cast<ListRequest*>(userdata);
  if (eol < 0) request->failed = true;
  if (eol != 0) {
    request->done = true;
    request->connection->signal();
    return;
  }
  if (info) request->into->push_back(convert(*info));
}

struct DefaultsRequest {
  Connection* connection;
  ServerSnapshot* into;
  bool done = false;
};

void onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
  auto* request = static_cast<DefaultsRequest*>(userdata);
  if (info) {
    request->into->defaultSinkName = info->default_sink_name ? info->default_sink_name : "";
    request->into->defaultSourceName = info->default_source_name ? info->default_source_name : "";
  }
  request->done = true;
  request->connection->signal();
}

int failure(Connection& connection) {
  const int error = connection.lastError();
  return error != 0 ? error : PA_ERR_TIMEOUT;
}

}  // namespace

int readServerDefaults(Connection& connection, ServerSnapshot& into, Clock::time_point deadline) {
  DefaultsRequest request{&connection, &into};
  pa_operation* operation =
      pa_context_get_server_info(connection.context(), &onServerInfo, &request);
  if (!connection.waitFor(operation, deadline) || !request.done) return failure(connection);
  return 0;
}

std::optional<Device> readSource(Connection& connection, const char* name,
                                 Clock::time_point deadline, int* error) {
  std::vector<Device> found;
  ListRequest request{&connection, &found};
  pa_operation* operation = pa_context_get_source_info_by_name(
      connection.context(), name, &onListItem<pa_source_info, fromSource>, &request);
  const bool finished = connection.waitFor(operation, deadline) && request.done;
  if (!finished || request.failed || found.empty()) {
    *error = finished ? connection.lastError() : PA_ERR_TIMEOUT;
    if (*error == 0) *error = PA_ERR_NOENTITY;
    return std::nullopt;
  }
  *error = 0;
  return found.front();
}

SnapshotResult querySnapshot(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  Connection connection("Palavrix device query");
  if (const int error = connection.connect(timeout); error != 0) return {std::nullopt, error};

  Connection::Lock lock(connection);
  ServerSnapshot snapshot;
  if (const int error = readServerDefaults(connection, snapshot, deadline); error != 0) {
    return {std::nullopt, error};
  }
  ListRequest sinks{&connection, &snapshot.sinks};
  pa_operation* sinkQuery = pa_context_get_sink_info_list(
      connection.context(), &onListItem<pa_sink_info, fromSink>, &sinks);
  if (!connection.waitFor(sinkQuery, deadline) || !sinks.done || sinks.failed) {
    return {std::nullopt, failure(connection)};
  }
  ListRequest sources{&connection, &snapshot.sources};
  pa_operation* sourceQuery = pa_context_get_source_info_list(
      connection.context(), &onListItem<pa_source_info, fromSource>, &sources);
  if (!connection.waitFor(sourceQuery, deadline) || !sources.done || sources.failed) {
    return {std::nullopt, failure(connection)};
  }
  return {std::move(snapshot), 0};
}

}  // namespace pulse
