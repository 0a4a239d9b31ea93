// Callsigns and call tokens: the 28-bit token of a callsign and back, callsign syntax, and the
// recent-call list that lets a 22-bit hash be shown as the callsign it stands for.
//
// Callable from any thread: the recent-call list is the only state, shared by transmission and
// reception, and every access to it takes a short lock of its own.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "modem/kvol_constants.h"

namespace kvol {

inline constexpr std::int32_t kN28Base = 2'063'592;       // N: first hashed token
inline constexpr std::int32_t kN28HashRange = 4'194'304;  // M = 2^22 hashed tokens
inline constexpr int kHashBits = 22;
inline constexpr int kRecentCallCapacity = 1000;
inline constexpr int kMaxCallsToRemember = 32;

struct CallCheck {
  bool ok = false;
  Field<6> baseCall = blank_field<6>();
};
CallCheck check_callsign(const CallField& word);

// Calls that packing lists for remembering.
struct CallsToRemember {
  int count = 0;
  std::array<CallField, kMaxCallsToRemember> calls{};
};

// Token of a call or token text (never negative), listing the calls to remember.
std::int32_t call_to_n28(const CallField& text, CallsToRemember& toRemember);
// call_to_n28, then remember_call for each listed call in order.
std::int32_t call_to_n28_remember(const CallField& text);
void remember_call(const CallField& call);

struct UnpackedCall {
  CallField text = blank_field<kFieldChars>();
  bool ok = false;
};
// Any 32-bit value is safe; tokens outside 0..2^28-1 give "QU1RK" with ok false.
UnpackedCall n28_to_call(std::int32_t token, bool strict);
UnpackedCall n28_to_call_default(std::int32_t token);
CallField hash22_to_call(std::int32_t hash);

// The top `bits` (1..32) bits of the low 64 bits of n * 47 055 833 459.
std::uint32_t hash_multiply_shift(std::uint64_t n, int bits);
// The first 11 characters read in base 38; a character outside the hash set counts as 0.
std::uint32_t call_hash(std::string_view call, int bits);

bool is_digit(char c);
bool is_all_digits(std::string_view text);
bool is_standard_call(std::string_view text);
bool is_valid_unpacked_call(std::string_view text);
bool is_cq_suffix(std::string_view text);
bool is_bracketed_call(std::string_view text);
// The call as it is listed for remembering; ok false when it is not listed.
struct NormalizedCall {
  CallField call = blank_field<kFieldChars>();
  bool ok = false;
};
NormalizedCall normalize_call_for_hash(const CallField& text);

}  // namespace kvol
