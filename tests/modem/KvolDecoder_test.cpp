#include "modem/KvolDecoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <optional>
#include <random>
#include <string>

#include "modem/gen_kvolwave.h"
#include "modem/genkvol.h"
#include "modem/kvol_constants.h"
#include "modem/kvol_mod.h"
#include "modem/kvol_tbcc_encoder.h"
#include "modem/pack77.h"

namespace {

using namespace kvol;

// What is sent of a text: upper case, every character (a Unicode grapheme cluster) outside the
// alphabet as one "#", the first 80 characters, blanks trimmed. Nothing at all for blank texts.
TEST(Encode, SendsTheFirstEightyCharactersCleaned) {
  std::string letters;
  for (int i = 0; i < 90; ++i) letters += static_cast<char>('a' + i % 26);
  std::string letters_sent = letters.substr(0, 80);
  for (char& c : letters_sent) c = static_cast<char>(c - 'a' + 'A');
  std::string accents;
  for (int i = 0; i < 100; ++i) accents += "\xC3\xA9";
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"    ", ""},
      {"~ \t", "# #"},  // tildes and tabs are no blanks to the sender
      {"h\xC3\xA9llo de k1abc", "H#LLO DE K1ABC"},
      {"cafe\xCC\x81!", "CAF#!"},                       // a combining accent joins its letter
      {"\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD ok", "# OK"},  // emoji with skin tone
      {"\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA go", "# GO"},  // flag
      {"\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9 x", "# X"},  // joined emoji
      {"\xE1\x84\x80\xE1\x85\xA1\xE1\x86\xA8", "#"},              // one Hangul syllable in jamo
      {std::string("a\tb\r\nc\x01") + "d\x7F", "A#B#C#D#"},
      {"tilde~here", "TILDE#HERE"},
      {letters, letters_sent},
      {accents, std::string(80, '#')},  // eighty characters, not eighty bytes
      {std::string(10000, 'x'), std::string(80, 'X')},
      {"a\xFF"
       "b",
       "A#B"},
      {"a\xC3", "A#"},                // truncated sequence at the end
      {"\xC0\xAF", "##"},             // overlong encoding
      {"\xED\xA0\x80", "###"},        // surrogate
      {"\xF4\x90\x80\x80", "####"}};  // beyond U+10FFFF
  KvolDecoder decoder;
  for (const auto& [text, sent] : cases) {
    const auto encoded = decoder.encode(text, 1500.0f);
    EXPECT_EQ(encoded.sentText, sent) << text;
    EXPECT_EQ(encoded.ok, !sent.empty()) << text;
    EXPECT_EQ(encoded.samples.empty(), sent.empty()) << text;
  }
  // Random bytes never read past the text or send more than 80 characters.
  std::mt19937 rng(41);
  for (int trial = 0; trial < 200; ++trial) {
    std::string bytes(1 + rng() % 200, ' ');
    for (char& c : bytes) c = static_cast<char>(rng());
    ASSERT_LE(decoder.encode(bytes, std::numeric_limits<float>::quiet_NaN()).sentText.size(), 80u);
  }
}

TEST(Encode, FrequenciesThatCannotBeSentGiveNoAudio) {
  KvolDecoder decoder;
  const float inf = std::numeric_limits<float>::infinity();
  for (float f : {NAN, inf, -inf, -1.0f, 24000.0f, 23950.0f, 1e30f}) {
    const auto encoded = decoder.encode("cq k1abc", f);
    EXPECT_FALSE(encoded.ok) << f;
    EXPECT_EQ(encoded.sentText, "CQ K1ABC");
    EXPECT_TRUE(encoded.samples.empty());
  }
  EXPECT_TRUE(decoder.encode("cq k1abc", 0.0f).ok);
  EXPECT_TRUE(decoder.encode("cq k1abc", 23900.0f).ok);
}

// Per-symbol tone detection at 48 000 Hz.
std::vector<int> demodulate(const std::vector<std::int16_t>& samples, double f0) {
  std::vector<int> tones;
  for (std::size_t start = 0; start + kTxSamplesPerSymbol <= samples.size();
       start += kTxSamplesPerSymbol) {
    int best = -1;
    double bestPower = -1;
    for (int t = 0; t < kToneCount; ++t) {
      const double f = f0 + t * 31.25;
      std::complex<double> sum = 0;
      for (int k = 0; k < kTxSamplesPerSymbol; ++k) {
        sum += static_cast<double>(samples[start + k]) *
               std::polar(1.0, -2 * std::numbers::pi * f * static_cast<double>(start + k) / 48000);
      }
      if (std::norm(sum) > bestPower) bestPower = std::norm(sum), best = t;
    }
    tones.push_back(best);
  }
  return tones;
}

// Inverts the tail-biting code for noiseless symbols: tries every start state and keeps the
// word whose re-encoding gives exactly these symbols.
std::optional<CodeWord> code_word_of(const int* symbols) {
  for (unsigned start = 0; start < 512; ++start) {
    CodeWord u{};
    unsigned s = start;
    for (int k = 0; k < kCodedBits; ++k) {
      const int c1 = symbols[k] >= 2 ? 1 : 0;  // Gray: tones 2 and 3 have c1 = 1
      // Generator 1 holds the newest bit, so it fixes u(k) from the register's older bits.
      const unsigned older = (s << 1) & 1023u;
      const int bit = c1 ^ __builtin_parity(older & 631u);
      u[k] = static_cast<std::uint8_t>(bit);
      s = (older | static_cast<unsigned>(bit)) & 511u;
    }
    if (s != start) continue;
    PayloadBits payload{};
    std::copy_n(u.begin(), kPayloadBits, payload.begin());
    const DataSymbols again = tbcc_encode(payload);
    if (std::equal(again.begin(), again.end(), symbols) && tbcc_append_crc(payload) == u) return u;
  }
  return std::nullopt;
}

TEST(Encode, AudioDemodulatesToSyncAndCrcValidCodeWords) {
  KvolDecoder decoder;
  const std::string text = "cq k1abc cq 599 fn42 hello world 73 tu";
  for (float f0 : {1500.0f, 987.5f}) {
    const auto encoded = decoder.encode(text, f0);
    ASSERT_TRUE(encoded.ok);
    EXPECT_EQ(encoded.sentText, "CQ K1ABC CQ 599 FN42 HELLO WORLD 73 TU");
    ASSERT_EQ(encoded.samples.size() % (kSymbolsPerFrame * kTxSamplesPerSymbol), 0u);
    const int frames =
        static_cast<int>(encoded.samples.size()) / (kSymbolsPerFrame * kTxSamplesPerSymbol);
    ASSERT_GE(frames, 2);

    const std::vector<int> tones = demodulate(encoded.samples, f0);
    ASSERT_EQ(tones.size(), static_cast<std::size_t>(frames * kSymbolsPerFrame));
    std::vector<PayloadFrame> payloads;
    for (int frame = 0; frame < frames; ++frame) {
      const int* symbols = tones.data() + frame * kSymbolsPerFrame;
      for (int k = 0; k < kSyncSymbols; ++k) ASSERT_EQ(symbols[k], kSyncTones[k]) << frame << k;
      const auto word = code_word_of(symbols + kSyncSymbols);
      ASSERT_TRUE(word) << "frame " << frame;
      EXPECT_EQ(crc12(*word), 0u);
      PayloadFrame payload;
      for (int i = 0; i < kPayloadBits; ++i) payload[i] = (*word)[i] ? '1' : '0';
      payloads.push_back(payload);
    }
    const UnpackedText back = unpack_frames(payloads);
    EXPECT_TRUE(back.final);
    std::string shown(trimmed(back.text));
    for (char& c : shown) c = c == '~' ? ' ' : c;
    EXPECT_EQ(shown.substr(0, encoded.sentText.size()), encoded.sentText);
  }
}

TEST(Encode, SamplesAreRampedContinuousAndFullScale) {
  KvolDecoder decoder;
  const auto encoded = decoder.encode("TU", 1500.0f);
  ASSERT_TRUE(encoded.ok);
  ASSERT_EQ(encoded.samples.size(), 59u * 1536u);
  EXPECT_EQ(encoded.samples.front(), 0);
  EXPECT_LE(std::abs(encoded.samples.back()), 200);
  int peak = 0;
  for (std::size_t k = 0; k < encoded.samples.size(); ++k) {
    peak = std::max(peak, std::abs(static_cast<int>(encoded.samples[k])));
    if (k > 0) {
      // Full scale times the largest phase step of tone 3 at 1593.75 Hz, plus rounding.
      ASSERT_LE(std::abs(encoded.samples[k] - encoded.samples[k - 1]), 6900) << k;
    }
  }
  EXPECT_GE(peak, 32700);
  EXPECT_LE(peak, 32767);
}

}  // namespace
