#include "rig/RigTypes.h"

#include <algorithm>

namespace {

struct SettingNames {
  RigSerialSetting setting;
  std::string_view raw;
  std::string_view token;
};

constexpr std::array<SettingNames, 7> kSettingNames = {{
    {RigSerialSetting::baudRate, "baudRate", "serial_speed"},
    {RigSerialSetting::dataBits, "dataBits", "data_bits"},
    {RigSerialSetting::stopBits, "stopBits", "stop_bits"},
    {RigSerialSetting::parity, "parity", "serial_parity"},
    {RigSerialSetting::handshake, "handshake", "serial_handshake"},
    {RigSerialSetting::dtrState, "dtrState", "dtr_state"},
    {RigSerialSetting::rtsState, "rtsState", "rts_state"},
}};

const SettingNames& namesOf(RigSerialSetting setting) {
  return kSettingNames[static_cast<std::size_t>(setting)];
}

}  // namespace

bool hasControlCharacter(std::string_view text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

std::string_view rawValue(RigSerialSetting setting) { return namesOf(setting).raw; }

std::string_view hamlibToken(RigSerialSetting setting) { return namesOf(setting).token; }

std::optional<RigSerialSetting> rigSerialSettingFromRawValue(std::string_view raw) {
  auto found = std::find_if(kSettingNames.begin(), kSettingNames.end(),
                            [raw](const SettingNames& names) { return names.raw == raw; });
  if (found == kSettingNames.end()) return std::nullopt;
  return found->setting;
}

std::string RigSerialConfig::value(RigSerialSetting setting) const {
  auto found = values.find(setting);
  return found == values.end() ? std::string(kRigDefaultValue) : found->second;
}

std::string RigSerialConfig::hamlibConfig() const {
  std::string text;
  for (RigSerialSetting setting : kAllRigSerialSettings) {
    auto found = values.find(setting);
    if (found == values.end() || found->second == kRigDefaultValue) continue;
    if (hasControlCharacter(found->second)) continue;
    if (!text.empty()) text += '\n';
    text += hamlibToken(setting);
    text += '=';
    text += found->second;
  }
  return text;
}

std::vector<std::string> splitLines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = std::min(text.find('\n', start), text.size());
    lines.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string defaultRigMode(const std::vector<std::string>& supportedModes) {
  const bool hasPacketUsb =
      std::find(supportedModes.begin(), supportedModes.end(), "PKTUSB") != supportedModes.end();
  return hasPacketUsb ? "PKTUSB" : "USB";
}

std::optional<std::string> resolveRigMode(
    const std::optional<std::string>& mode,
    const std::function<std::vector<std::string>()>& supportedModes) {
  if (!mode) return std::nullopt;
  if (*mode != kRigDefaultValue) return mode;
  return defaultRigMode(supportedModes ? supportedModes() : std::vector<std::string>{});
}
