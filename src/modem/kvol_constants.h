// Sizes the KVOL format fixes, and the fixed-width text fields the modem passes around.
// Header only; safe on any thread.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kvol {

// Frame layout.
inline constexpr int kSymbolsPerFrame = 59;
inline constexpr int kSyncSymbols = 13;
inline constexpr int kDataSymbols = 46;
inline constexpr int kToneCount = 4;
inline constexpr std::array<std::int32_t, kSyncSymbols> kSyncTones = {0, 2, 2, 3, 0, 0, 3,
                                                                      2, 1, 3, 1, 2, 0};

// Payload and channel code.
inline constexpr int kAtomWordBits = 32;
inline constexpr int kPayloadBits = 34;  // atom word, a zero bit, the last-frame flag
inline constexpr int kCrcBits = 12;
inline constexpr int kCodedBits = kPayloadBits + kCrcBits;  // 46, one data symbol each

// Messages.
inline constexpr int kMessageChars = 80;
inline constexpr int kMaxFrames = 16;
inline constexpr int kMaxTones = kMaxFrames * kSymbolsPerFrame;  // 944
inline constexpr int kFieldChars = 13;                           // callsigns and atom texts
inline constexpr int kAlphabetSize = 64;                         // source alphabet
inline constexpr int kAllowedChars = 90;                         // what encode accepts

// Base-36 digits, and the characters callsigns are made of besides the blank.
inline constexpr std::string_view kDigitsAndLetters = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";

// Transmit waveform.
inline constexpr int kTxSamplesPerSymbol = 1536;
inline constexpr float kTxSampleRate = 48000.0f;
inline constexpr float kTxBt = 2.0f;
inline constexpr float kTxToneSpacingHz = kTxSampleRate / kTxSamplesPerSymbol;  // 31.25
inline constexpr float kDefaultTone0Hz = 1500.0f;

// Receive side: the captured audio, the complex signal the receiver works on after taking it
// down to half rate, and the symbol length the program receives.
inline constexpr float kRxSampleRate = 12000.0f;
inline constexpr float kRxSignalRate = kRxSampleRate / 2;
inline constexpr int kRxSamplesPerSymbol = 384;  // at 12 000 Hz, as 1536 at 48 000 Hz

static_assert(kSyncSymbols + kDataSymbols == kSymbolsPerFrame);
static_assert(kMaxTones == 944);

// A fixed-width, blank-padded text field, as the modem's texts travel.
template <std::size_t N>
using Field = std::array<char, N>;

using CallField = Field<kFieldChars>;
using MessageField = Field<kMessageChars>;
using PayloadFrame = Field<kPayloadBits>;  // "0"/"1" characters

template <std::size_t N>
constexpr Field<N> blank_field() {
  Field<N> field{};
  field.fill(' ');
  return field;
}

// The text cut to N characters and padded with blanks.
template <std::size_t N>
constexpr Field<N> to_field(std::string_view text) {
  Field<N> field = blank_field<N>();
  std::copy_n(text.begin(), std::min(text.size(), N), field.begin());
  return field;
}

// The field without its trailing blanks (the view points into the field).
template <std::size_t N>
constexpr std::string_view trimmed(const Field<N>& field) {
  std::size_t length = N;
  while (length > 0 && field[length - 1] == ' ') --length;
  return std::string_view(field.data(), length);
}

template <std::size_t N>
constexpr std::string_view view(const Field<N>& field) {
  return std::string_view(field.data(), N);
}

}  // namespace kvol
