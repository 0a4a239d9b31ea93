// Compact atoms: one piece of message text as an atom, an atom as a 32-bit word, and a word
// with its last-frame flag as a 34-character payload frame, and back.
//
// Stateless except for the recent-call list that callsign packing fills (see pack77.h);
// callable from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "modem/kvol_constants.h"

namespace kvol {

enum AtomKind : std::int32_t {
  kAtomEmpty = -1,
  kAtomCall = 0,
  kAtomNumber = 1,
  kAtomShortText = 2,
  kAtomExchange = 3,
  kAtomTimedNumber = 4,
  kAtomWord = 5,
  kAtomGrid = 6,
  kAtomTextChunk = 7,
};

struct CompactAtom {
  std::int32_t kind = kAtomEmpty;
  std::int32_t subkind = 0;
  std::int32_t flag = 0;  // 1: rendered after "599 "
  std::int32_t value = 0;
  std::int32_t value2 = 0;
  CallField text = blank_field<kFieldChars>();

  friend bool operator==(const CompactAtom&, const CompactAtom&) = default;
};

inline constexpr int kWordCount = 18;
inline constexpr int kSectionCount = 86;

// The source alphabet: code 0..63 to character and back (-1 when not in it).
char alphabet_char(int code);
int alphabet_index(char c);

Field<kFieldChars> grid_from_index(std::int32_t index);
std::optional<std::int32_t> grid_to_index(std::string_view text);
std::optional<std::int32_t> base36_to_int(std::string_view text);  // 2 or 3 characters
// Section number 1..86 of the first three characters; -1 when length < 3 or not found.
int section_index(std::string_view text, int length);

CompactAtom atom_call(std::int32_t subkind, std::string_view call);
CompactAtom atom_number(std::int32_t flag, std::int32_t subkind, std::int32_t value);
CompactAtom atom_short_text(std::int32_t flag, std::int32_t subkind, std::string_view text);
CompactAtom atom_class_section(std::int32_t count, std::string_view classLetter,
                               std::int32_t section);
CompactAtom atom_word(std::int32_t index);
CompactAtom atom_grid(std::int32_t flag, std::string_view text);
CompactAtom atom_text5(std::string_view text, int length);

// Remembers the call as a side effect of its packing round trip.
bool is_packable_call(const CallField& text);
Field<16> format_atom_number(std::int32_t subkind, std::int32_t value);
MessageField prefix_report(std::int32_t flag, std::string_view text);

// The rendered text, or nothing when a field is out of range.
std::optional<MessageField> atom_to_text(const CompactAtom& atom);
std::optional<PayloadFrame> atom_to_frame(const CompactAtom& atom, bool last);

struct FrameAtom {
  CompactAtom atom;
  bool last = false;
};
std::optional<FrameAtom> frame_to_atom(const PayloadFrame& frame);

// Blanks every output frame, then encodes the atoms, the last one flagged. Returns the number
// of frames written: 0 when there are no atoms, more than 16, more than the frames hold, or an
// atom fails (every frame is then blank again).
int atoms_to_frames(std::span<const CompactAtom> atoms, std::span<PayloadFrame> frames);

}  // namespace kvol
