#include "rig/RigControl.h"

#include <QString>
#include <cstring>

#include "rig/RigBridge.h"
#include "rig/RigLibraryLoader.h"

namespace RigControl {

namespace {

// Holds a status line or a reason.
constexpr int kReasonBufferSize = 256;
constexpr int kModeBufferSize = 2048;
constexpr int kConfValuesBufferSize = 1024;

// The number as the bridge takes it; none for a number that is not a model number (isRigModel).
std::optional<int> bridgeModel(std::int64_t model) {
  if (!isRigModel(model)) return std::nullopt;
  return static_cast<int>(model);
}

std::optional<std::string> textOrNone(const char *text) {
  if (!text) return std::nullopt;
  return std::string(text);
}

}  // namespace

std::string stringFromCBuffer(const char *buffer, std::size_t size) {
  if (!buffer) return {};
  std::size_t length = strnlen(buffer, size);
  return QString::fromUtf8(buffer, static_cast<qsizetype>(length)).toStdString();
}

std::vector<RigInfo> listRigs() {
  int count = 0;
  rigbridge_rig_entry *list = rigbridge_list_rigs(&count);
  std::vector<RigInfo> rigs;
  if (!list) return rigs;
  rigs.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    const char *label = list[i].label;
    rigs.push_back({list[i].model, label ? stringFromCBuffer(label, std::strlen(label)) : ""});
  }
  rigbridge_free_rig_list(list, count);
  return rigs;
}

std::vector<std::string> supportedModes(std::int64_t model) {
  std::optional<int> bridged = bridgeModel(model);
  if (!bridged) return {};
  std::vector<char> buffer(kModeBufferSize, '\0');
  if (!rigbridge_list_modes(*bridged, buffer.data(), kModeBufferSize)) return {};
  std::vector<std::string> modes = splitLines(stringFromCBuffer(buffer.data(), buffer.size()));
  std::erase(modes, std::string());
  return modes;
}

std::optional<std::string> concreteMode(std::int64_t model,
                                        const std::optional<std::string> &mode) {
  return resolveRigMode(mode, [model] { return supportedModes(model); });
}

RigConnectionResult readStatus(std::int64_t model, const std::string &port,
                               const RigSerialConfig &serial,
                               const std::optional<std::string> &mode) {
  std::optional<int> bridged = bridgeModel(model);
  if (!bridged) return {false, kRigModelInitFailedText};
  std::vector<char> buffer(kReasonBufferSize, '\0');
  const std::string conf = serial.hamlibConfig();
  const std::optional<std::string> concrete = concreteMode(model, mode);
  bool success = rigbridge_read_status(*bridged, port.c_str(), conf.c_str(),
                                       concrete ? concrete->c_str() : nullptr, buffer.data(),
                                       kReasonBufferSize) != 0;
  return {success, stringFromCBuffer(buffer.data(), buffer.size())};
}

std::optional<std::string> setPushToTalk(const RigTxSettings &rig, bool on, bool *commandSent) {
  if (commandSent) *commandSent = false;
  const std::optional<int> bridged = bridgeModel(rig.model);
  if (!bridged) return std::string(kRigModelInitFailedText);
  char error[kReasonBufferSize] = {};
  const std::string conf = rig.serial.hamlibConfig();
  int sent = 0;
  const int done = rigbridge_set_ptt(*bridged, rig.port.c_str(), conf.c_str(), on ? 1 : 0, error,
                                     kReasonBufferSize, &sent);
  if (commandSent) *commandSent = sent != 0;
  if (done) return std::nullopt;
  return stringFromCBuffer(error, kReasonBufferSize);
}

std::optional<std::string> setFrequency(const RigTxSettings &rig, double hz) {
  const std::optional<int> bridged = bridgeModel(rig.model);
  if (!bridged) return std::string(kRigModelInitFailedText);
  const std::optional<std::string> mode = concreteMode(rig.model, rig.mode);
  const std::string conf = rig.serial.hamlibConfig();
  char error[kReasonBufferSize] = {};
  if (rigbridge_set_frequency(*bridged, rig.port.c_str(), conf.c_str(),
                              mode ? mode->c_str() : nullptr, error, kReasonBufferSize, hz)) {
    return std::nullopt;
  }
  return stringFromCBuffer(error, kReasonBufferSize);
}

std::optional<std::string> hamlibVersion() { return textOrNone(rigbridge_hamlib_version()); }

std::optional<std::string> hamlibPath() { return textOrNone(rigbridge_hamlib_path()); }

int hamlibDebugLevel() { return rigbridge_current_debug_level(); }

std::map<RigSerialSetting, std::string> serialDefaults(std::int64_t model) {
  std::optional<int> bridged = bridgeModel(model);
  if (!bridged) return {};
  std::string keys;
  for (RigSerialSetting setting : kAllRigSerialSettings) {
    if (!keys.empty()) keys += '\n';
    keys += hamlibToken(setting);
  }
  std::vector<char> buffer(kConfValuesBufferSize, '\0');
  if (!rigbridge_get_conf_values(*bridged, keys.c_str(), buffer.data(), kConfValuesBufferSize)) {
    return {};
  }
  // Lines match the keys one to one, empty for a token without a value.
  const std::vector<std::string> lines =
      splitLines(stringFromCBuffer(buffer.data(), buffer.size()));
  std::map<RigSerialSetting, std::string> values;
  for (std::size_t i = 0; i < lines.size() && i < kAllRigSerialSettings.size(); ++i) {
    if (!lines[i].empty()) values[kAllRigSerialSettings[i]] = lines[i];
  }
  return values;
}

}  // namespace RigControl
