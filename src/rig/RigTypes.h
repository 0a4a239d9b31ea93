// Value types in which the rest of the program speaks about rigs, and the two rules every caller
// of the rig bridge applies: the configuration text of a serial configuration and the concrete
// mode behind the mode setting "Default". Plain values; usable on any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Hamlib's model numbers travel to the rig bridge as 32-bit ints and are never negative: a number
// outside this range names no rig.
inline constexpr std::int64_t kLargestRigModel = std::numeric_limits<std::int32_t>::max();
constexpr bool isRigModel(std::int64_t model) { return model >= 0 && model <= kLargestRigModel; }

// The reason given for a model number Hamlib cannot initialise.
inline constexpr const char* kRigModelInitFailedText = "Could not initialize this rig model.";

// One Hamlib rig model: its number (also its identity) and "manufacturer model", or "" when
// the bridge gave no label.
struct RigInfo {
  std::int64_t model = 0;
  std::string label;

  std::int64_t id() const { return model; }
  bool operator==(const RigInfo&) const = default;
};

template <>
struct std::hash<RigInfo> {
  std::size_t operator()(const RigInfo& info) const noexcept {
    std::size_t seed = std::hash<std::int64_t>{}(info.model);
    seed ^=
        std::hash<std::string>{}(info.label) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
    return seed;
  }
};

// The seven serial parameters, in the order they are stored, shown and sent.
enum class RigSerialSetting { baudRate, dataBits, stopBits, parity, handshake, dtrState, rtsState };

inline constexpr std::array<RigSerialSetting, 7> kAllRigSerialSettings = {
    RigSerialSetting::baudRate, RigSerialSetting::dataBits,  RigSerialSetting::stopBits,
    RigSerialSetting::parity,   RigSerialSetting::handshake, RigSerialSetting::dtrState,
    RigSerialSetting::rtsState};

// The raw value: the case name ("baudRate", ...).
std::string_view rawValue(RigSerialSetting setting);
// Accepts exactly the seven raw values; anything else gives none.
std::optional<RigSerialSetting> rigSerialSettingFromRawValue(std::string_view raw);
// Hamlib's configuration token ("serial_speed", ...).
std::string_view hamlibToken(RigSerialSetting setting);

// The text that leaves a serial parameter (and the mode setting) at the rig's own value.
inline constexpr std::string_view kRigDefaultValue = "Default";

// A chosen option text per serial parameter. A missing entry and "Default" both mean: send
// nothing, leave the rig's own value.
struct RigSerialConfig {
  std::map<RigSerialSetting, std::string> values;

  // The stored text of a setting, or "Default" when there is none.
  std::string value(RigSerialSetting setting) const;
  // Lines token=value joined by '\n' (no trailing line break), one per setting that is set and
  // not "Default", in setting order. Texts go out unchanged, so "" gives "token=", except that a
  // text holding a control character is left out: a line break in it would add a line of its own.
  std::string hamlibConfig() const;

  bool operator==(const RigSerialConfig&) const = default;
};

// The configured rig as read from the settings store: handed to every rig call of the chat
// controller. The port is trimmed and never empty; mode is "Default" when unset.
struct RigTxSettings {
  std::int64_t model = 0;
  std::string port;
  RigSerialConfig serial;
  std::string mode{kRigDefaultValue};

  bool operator==(const RigTxSettings&) const = default;
};

// Result of a status read or connection test: on success the status line ("%.6f MHz  %s"),
// on failure the reason.
struct RigConnectionResult {
  bool success = false;
  std::string message;

  bool operator==(const RigConnectionResult&) const = default;
};

// The lines of a '\n'-separated text such as the bridge's lists and configuration texts. Empty
// lines are kept (they stand for an entry without a value); a line break at the very end starts
// no further line.
std::vector<std::string> splitLines(std::string_view text);

// Whether text holds a control character (below 0x20, or DEL): no value a rig setting takes.
bool hasControlCharacter(std::string_view text);

// What "Default" sends to a model with these modes: "PKTUSB" when it has it, else "USB".
std::string defaultRigMode(const std::vector<std::string>& supportedModes);

// The mode rule, pure part. No mode stays none (the rig's mode is left alone); "Default"
// becomes "PKTUSB" when the model's mode list holds it, else "USB"; anything else is passed on
// unchanged. The mode list is asked for only when the mode is "Default".
std::optional<std::string> resolveRigMode(
    const std::optional<std::string>& mode,
    const std::function<std::vector<std::string>()>& supportedModes);
