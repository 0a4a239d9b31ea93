// Payload frames to tone frames (13 sync tones then 46 coded tones each), and the transmit
// entry that takes a message all the way to tones. Callable from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "modem/kvol_constants.h"
#include "modem/kvol_mod.h"

namespace kvol {

using MessageTones = std::array<std::int32_t, kMaxTones>;

// The tone frame of one payload frame ("0"/"1" characters; anything else counts as 0).
std::array<std::int32_t, kSymbolsPerFrame> tone_frame(const PayloadFrame& frame);

// Writes the tone frames of the frames in order and returns the symbol count (59 per frame).
// Frames that do not fit in tones are left out.
int genkvol(std::span<const PayloadFrame> frames, std::span<std::int32_t> tones);

// The transmit entry: cleans the message (written back, whether or not it encodes) and returns
// the symbol count, 0 when nothing can be sent (tones are then untouched).
int kvol_encode_message(MessageField& message, int mode, MessageTones& tones);

}  // namespace kvol
