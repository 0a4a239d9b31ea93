#include "modem/KvolDecoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>

namespace {

// What is sent of a text: upper case, every character (a Unicode grapheme cluster) outside the
// alphabet as one "#", the first 80 characters, blanks trimmed. Nothing at all for blank texts.
TEST(Encode, SendsTheFirstEightyCharactersCleaned) {
  std::string letters, accents;
  for (int i = 0; i < 90; ++i) letters += static_cast<char>('a' + i % 26);
  std::string letters_sent = letters.substr(0, 80);
  for (char& c : letters_sent) c = static_cast<char>(c - 'a' + 'A');
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

// Frequencies whose tones do not fit between 0 Hz and the Nyquist frequency give no audio. The
// samples that are sent ramp up from 0 and down, run on without jumps, and reach full scale.
TEST(Encode, SamplesAreRampedContinuousAndFullScaleWhereTheyFit) {
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

  const auto encoded = decoder.encode("TU", 1500.0f);
  ASSERT_EQ(encoded.samples.size(), 59u * 1536u);
  EXPECT_EQ(encoded.samples.front(), 0);
  EXPECT_LE(std::abs(encoded.samples.back()), 200);
  int peak = 0;
  for (std::size_t k = 1; k < encoded.samples.size(); ++k) {
    peak = std::max(peak, std::abs(static_cast<int>(encoded.samples[k])));
    // Full scale times the largest phase step of tone 3 at 1593.75 Hz, plus rounding.
    ASSERT_LE(std::abs(encoded.samples[k] - encoded.samples[k - 1]), 6900) << k;
  }
  EXPECT_GE(peak, 32700);
  EXPECT_LE(peak, 32767);
}

}  // namespace
