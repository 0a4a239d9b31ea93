// Typed message to the fewest KVOL frames, and received frames back to text. Stateless except
// for the recent-call list (see pack77.h); callable from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "modem/kvol_constants.h"

namespace kvol {

using MessageFrames = std::array<PayloadFrame, kMaxFrames>;

// Upper case, source alphabet only ("#" for anything else), no leading blank, no run of
// blanks, blank padded.
MessageField sanitize_text(const MessageField& text);

// 1 to 6 digits with a value below 131072.
std::optional<std::int32_t> parse_number(std::string_view field);

// Cleans the message (written back, in mode 2 with its reports rewritten) and fills frames.
// Returns the frame count: 1..16, 0 for an empty message, -1 when it cannot be encoded (more
// than 16 atoms, a mode outside 0..2, a rewriting longer than 80); frames are then blank.
int pack_message_frames(MessageField& message, MessageFrames& frames, int mode = 0);

struct UnpackedText {
  MessageField text = blank_field<kMessageChars>();  // blanks inside chunks come out as "~"
  bool join = false;   // the last decoded frame ended on a word: the next text follows a blank
  bool final = false;  // every frame decoded and the last one carries the last-frame flag
  bool allOk = false;
};
// Reads at most 16 frames; more is reported as allOk false.
UnpackedText unpack_frames(std::span<const PayloadFrame> frames);

}  // namespace kvol
