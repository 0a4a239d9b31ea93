#include "audio/AudioDevices.h"

#include "audio/pulse/PulseDevices.h"

namespace {

// A device is left out when it has no name to show, like a device whose name cannot be read.
std::optional<AudioDeviceInfo> toInfo(const pulse::Device& device, AudioDirection direction) {
  if (device.description.empty() || device.channels == 0) return std::nullopt;
  if (direction == AudioDirection::input && device.isMonitor) return std::nullopt;
  AudioDeviceInfo info;
  info.id = device.index | (direction == AudioDirection::input ? AudioDeviceInfo::kInputIdFlag : 0);
  info.uid = device.name.empty() ? QString::number(info.id) : QString::fromStdString(device.name);
  info.name = QString::fromStdString(device.description);
  return info;
}

QVector<AudioDeviceInfo> list(const pulse::ServerSnapshot& snapshot, bool withOutputs,
                              bool withInputs) {
  QVector<AudioDeviceInfo> devices;
  if (withOutputs) {
    for (const auto& sink : snapshot.sinks) {
      if (auto info = toInfo(sink, AudioDirection::output)) devices.push_back(*info);
    }
  }
  if (withInputs) {
    for (const auto& source : snapshot.sources) {
      if (auto info = toInfo(source, AudioDirection::input)) devices.push_back(*info);
    }
  }
  return devices;
}

QVector<AudioDeviceInfo> query(bool withOutputs, bool withInputs) {
  const auto result = pulse::querySnapshot();
  if (!result.snapshot) return {};
  return list(*result.snapshot, withOutputs, withInputs);
}

std::optional<AudioDeviceInfo> defaultOf(const pulse::ServerSnapshot& snapshot,
                                         AudioDirection direction) {
  const bool input = direction == AudioDirection::input;
  const std::string& wanted = input ? snapshot.defaultSourceName : snapshot.defaultSinkName;
  if (wanted.empty()) return std::nullopt;
  for (const auto& device : input ? snapshot.sources : snapshot.sinks) {
    if (device.name == wanted) return toInfo(device, direction);
  }
  return std::nullopt;
}

std::optional<AudioDeviceInfo> builtInOf(const pulse::ServerSnapshot& snapshot) {
  for (const auto& sink : snapshot.sinks) {
    if (!sink.isBuiltIn) continue;
    if (auto info = toInfo(sink, AudioDirection::output)) return info;
  }
  return std::nullopt;
}

}  // namespace

AudioDeviceSnapshot AudioDeviceSnapshot::read() {
  AudioDeviceSnapshot devices;
  const auto result = pulse::querySnapshot();
  if (!result.snapshot) {
    devices.failure_ = QString::fromStdString(pulse::problemSentence(result.error));
    return devices;
  }
  devices.outputs_ = list(*result.snapshot, true, false);
  devices.inputs_ = list(*result.snapshot, false, true);
  devices.defaultInput_ = defaultOf(*result.snapshot, AudioDirection::input);
  devices.defaultOutput_ = defaultOf(*result.snapshot, AudioDirection::output);
  devices.builtInOutput_ = builtInOf(*result.snapshot);
  return devices;
}

std::optional<AudioDeviceInfo> AudioDeviceSnapshot::device(
    const std::optional<QString>& uid, const std::optional<AudioDeviceInfo>& fallback) const {
  if (!uid) return fallback;
  for (const auto& device : all()) {
    if (device.uid == *uid) return device;
  }
  return fallback;
}

namespace AudioDevices {

QVector<AudioDeviceInfo> all() { return query(true, true); }
QVector<AudioDeviceInfo> inputs() { return query(false, true); }
QVector<AudioDeviceInfo> outputs() { return query(true, false); }

std::optional<QString> name(uint32_t id) {
  for (const auto& device : all()) {
    if (device.id == id) return device.name;
  }
  return std::nullopt;
}

std::optional<AudioDeviceInfo> defaultDevice(AudioDirection direction) {
  const auto result = pulse::querySnapshot();
  if (!result.snapshot) return std::nullopt;
  return defaultOf(*result.snapshot, direction);
}

std::optional<AudioDeviceInfo> builtInOutput() {
  const auto result = pulse::querySnapshot();
  if (!result.snapshot) return std::nullopt;
  return builtInOf(*result.snapshot);
}

std::optional<AudioDeviceInfo> device(const std::optional<QString>& uid,
                                      const std::optional<AudioDeviceInfo>& fallback) {
  if (!uid) return fallback;
  for (const auto& device : all()) {
    if (device.uid == *uid) return device;
  }
  return fallback;
}

}  // namespace AudioDevices
