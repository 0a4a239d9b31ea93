// Blocking wrappers that turn rig values into rig bridge calls and the bridge's text buffers
// back into values. Stateless; each call blocks for the whole rig operation, so call them from a
// worker thread (the chat controller's rig queue, the settings window's background tasks), never
// from the main thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "rig/RigTypes.h"

namespace RigControl {

// Every rig model Hamlib offers, sorted by label; empty without a library.
std::vector<RigInfo> listRigs();

// The model's mode names in ascending order of Hamlib's mode bits; empty when Hamlib cannot
// initialise the model.
std::vector<std::string> supportedModes(std::int64_t model);

// The mode rule with the model's own mode list: none stays none, "Default" becomes "PKTUSB" or
// "USB", anything else is passed on.
std::optional<std::string> concreteMode(std::int64_t model, const std::optional<std::string> &mode);

// One status read: open, set the mode when given, read frequency and mode, close.
RigConnectionResult readStatus(std::int64_t model, const std::string &port,
                               const RigSerialConfig &serial,
                               const std::optional<std::string> &mode);

// The model's default value of each serial parameter as Hamlib reports it; parameters the
// backend has no value for are left out.
std::map<RigSerialSetting, std::string> serialDefaults(std::int64_t model);

// Keys (on) or releases the transmitter. None on success, else the reason. Goes ahead of the
// bridge's other waiting calls, and while the transmitter may be keyed the bridge holds back
// other threads' rig calls. commandSent (when given) tells whether the command went out to the
// rig: only then may a failed call have keyed it, or left it keyed.
std::optional<std::string> setPushToTalk(const RigTxSettings &rig, bool on,
                                         bool *commandSent = nullptr);

// Tunes to hz and sets the rig's mode by the mode rule. None on success, else the reason.
std::optional<std::string> setFrequency(const RigTxSettings &rig, double hz);

// The loaded library's version text and file path; none when no library is loaded (or its path
// is unknown). The version asks for the library, loading it on first use.
std::optional<std::string> hamlibVersion();
std::optional<std::string> hamlibPath();

// The debug level last asked of Hamlib (0 to 6). Any thread; never blocks.
int hamlibDebugLevel();

// The text of a bridge buffer: its bytes up to the first NUL (or the end of the buffer), as
// UTF-8 with invalid sequences replaced.
std::string stringFromCBuffer(const char *buffer, std::size_t size);

}  // namespace RigControl
