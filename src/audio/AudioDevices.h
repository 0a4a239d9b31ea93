// The audio devices of the PulseAudio server: sources are inputs, sinks are outputs, and monitor
// sources are not offered at all. Stateless queries over a short-lived connection; each takes
// one round trip to the server (bounded by a few seconds when the server hangs) and gives empty
// results when there is no server. Any thread but the main thread, which never waits for the
// server.
#pragma once

#include <QHashFunctions>
#include <QString>
#include <QVector>
#include <cstdint>
#include <optional>

// A device as the settings store it (by uid) and the engines open it.
struct AudioDeviceInfo {
  // Unique within AudioDevices::all(): the server's index for an output, the index with
  // kInputIdFlag set for an input (sinks and sources have index spaces of their own). Indices
  // change when a device is plugged again, so keep devices by uid.
  uint32_t id = 0;
  QString uid;   // the server's device name: stable and unique
  QString name;  // its description, for people

  bool isInput() const { return (id & kInputIdFlag) != 0; }
  // The server's own index of the device.
  uint32_t serverIndex() const { return id & ~kInputIdFlag; }

  static constexpr uint32_t kInputIdFlag = 0x8000'0000u;

  friend bool operator==(const AudioDeviceInfo&, const AudioDeviceInfo&) = default;
};

inline size_t qHash(const AudioDeviceInfo& device, size_t seed = 0) {
  return qHashMulti(seed, device.id, device.uid, device.name);
}

enum class AudioDirection { input, output };

// The devices and defaults as the server gave them at one moment, read in one round trip, for
// several answers that agree with each other. Reading blocks as the queries below do; asking a
// snapshot does not.
class AudioDeviceSnapshot {
 public:
  // Empty: no server answered.
  AudioDeviceSnapshot() = default;
  static AudioDeviceSnapshot read();

  QVector<AudioDeviceInfo> all() const { return outputs_ + inputs_; }
  const QVector<AudioDeviceInfo>& inputs() const { return inputs_; }
  const QVector<AudioDeviceInfo>& outputs() const { return outputs_; }
  std::optional<AudioDeviceInfo> defaultDevice(AudioDirection direction) const {
    return direction == AudioDirection::input ? defaultInput_ : defaultOutput_;
  }
  std::optional<AudioDeviceInfo> builtInOutput() const { return builtInOutput_; }
  std::optional<AudioDeviceInfo> device(const std::optional<QString>& uid,
                                        const std::optional<AudioDeviceInfo>& fallback) const;
  // Why the server could not be asked, as a sentence for people (that none is running, or that
  // it does not answer); none when it answered.
  std::optional<QString> failure() const { return failure_; }

 private:
  QVector<AudioDeviceInfo> outputs_;
  QVector<AudioDeviceInfo> inputs_;
  std::optional<AudioDeviceInfo> defaultInput_;
  std::optional<AudioDeviceInfo> defaultOutput_;
  std::optional<AudioDeviceInfo> builtInOutput_;
  std::optional<QString> failure_;
};

namespace AudioDevices {

// Outputs first, then inputs, each in the server's order.
QVector<AudioDeviceInfo> all();
QVector<AudioDeviceInfo> inputs();
QVector<AudioDeviceInfo> outputs();
std::optional<QString> name(uint32_t id);
// The server's default source or sink; none when there is none or it is not offered.
std::optional<AudioDeviceInfo> defaultDevice(AudioDirection direction);
// The first output on the machine's own audio hardware.
std::optional<AudioDeviceInfo> builtInOutput();
// The present device with that uid; the fallback when no uid is given (without asking the
// server) or no present device has it.
std::optional<AudioDeviceInfo> device(const std::optional<QString>& uid,
                                      const std::optional<AudioDeviceInfo>& fallback);

}  // namespace AudioDevices
