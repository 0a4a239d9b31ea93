#include "modem/kvol_mod.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "modem/kvol_source_codec.h"

namespace kvol {
namespace {

struct Packed {
  int count;
  std::string cleaned;  // trimmed
  std::vector<CompactAtom> atoms;
  MessageFrames frames;
};

Packed pack(std::string_view text, int mode = 0) {
  Packed result;
  MessageField message = to_field<kMessageChars>(text);
  result.count = pack_message_frames(message, result.frames, mode);
  result.cleaned = std::string(trimmed(message));
  for (int i = 0; i < result.count; ++i)
    result.atoms.push_back(frame_to_atom(result.frames[i])->atom);
  return result;
}

// What the receiver finally shows: chunk blanks back as blanks, outer blanks trimmed.
std::string received(const Packed& packed) {
  const UnpackedText text =
      unpack_frames(std::span<const PayloadFrame>(packed.frames.data(), packed.count));
  std::string shown(view(text.text));
  for (char& c : shown) c = c == '~' ? ' ' : c;
  const std::size_t first = shown.find_first_not_of(' ');
  return first == std::string::npos ? ""
                                    : shown.substr(first, shown.find_last_not_of(' ') - first + 1);
}

TEST(Sanitize, CleansCaseTildesNulsBlanksAndForeignCharacters) {
  MessageField in = to_field<kMessageChars>("  hi~there#  caf\xC3\xA9  ~~x");
  in[10] = '\0';
  const MessageField out = sanitize_text(in);
  EXPECT_EQ(trimmed(out), "HI THERE CAF## X");
  EXPECT_EQ(trimmed(sanitize_text(to_field<kMessageChars>("a\tb"))), "A#B");
  EXPECT_EQ(trimmed(sanitize_text(blank_field<kMessageChars>())), "");
  // Only blanks and tildes leave nothing.
  EXPECT_EQ(trimmed(sanitize_text(to_field<kMessageChars>(" ~ ~~  "))), "");
}

TEST(Segmentation, WellKnownPhrasesTakeOneAtomEach) {
  struct Case {
    const char* text;
    int kind;
    int subkind;
    int flag;
  };
  const Case cases[] = {
      {"TU", kAtomWord, 12, 0},          {"QSO B4", kAtomWord, 14, 0},
      {"599 JN58", kAtomGrid, 0, 1},     {"599 AB", kAtomShortText, 3, 1},
      {"JN58", kAtomGrid, 0, 0},         {"3A EMA", kAtomExchange, 1, 0},
      {"CQ K1ABC CQ", kAtomCall, 0, 0},  {"TU NOW KA1ABC", kAtomCall, 5, 0},
      {"G4ABC AGN?", kAtomCall, 4, 0},   {"123456", kAtomNumber, 7, 0},
      {"599 131071", kAtomNumber, 7, 1}, {"AB", kAtomTextChunk, 0, 0},
      {"3A AB", kAtomTextChunk, 0, 0},   {"AGN CALL", kAtomWord, 2, 0},
  };
  for (const Case& c : cases) {
    const Packed p = pack(c.text);
    ASSERT_EQ(p.count, 1) << c.text;
    EXPECT_EQ(p.atoms[0].kind, c.kind) << c.text;
    EXPECT_EQ(p.atoms[0].subkind, c.subkind) << c.text;
    EXPECT_EQ(p.atoms[0].flag, c.flag) << c.text;
    EXPECT_EQ(received(p), c.text);
  }
}

TEST(Segmentation, EmptyAndUnsupportedModes) {
  EXPECT_EQ(pack("").count, 0);
  EXPECT_EQ(pack("     ").count, 0);
  const Packed bad = pack("hello", 3);
  EXPECT_EQ(bad.count, -1);
  EXPECT_EQ(bad.cleaned, "HELLO") << "cleaned text is written back even when refused";
  for (const PayloadFrame& frame : bad.frames) EXPECT_EQ(trimmed(frame), "");
  EXPECT_EQ(pack("hello", -1).count, -1);
  EXPECT_EQ(pack("hello", 1).count, pack("hello", 0).count);
}

TEST(Segmentation, EightyChunkCharactersFillSixteenFrames) {
  const std::string text(80, '#');
  const Packed p = pack(text);
  EXPECT_EQ(p.count, 16);
  EXPECT_EQ(received(p), text);
  EXPECT_EQ(p.frames[15][33], '1');
  for (int i = 0; i < 15; ++i) EXPECT_EQ(p.frames[i][33], '0');
  // Eighty characters of anything fit in 16 chunks; nothing longer reaches the packer.
  const Packed mixed = pack(std::string(40, 'A') + " " + std::string(39, '/'));
  EXPECT_LE(mixed.count, 16);
  EXPECT_EQ(received(mixed), mixed.cleaned);
}

TEST(Segmentation, ReportsAreRewrittenInModeTwo) {
  const Packed p = pack("599 5 TU", 2);
  EXPECT_EQ(p.cleaned, "599 005 TU");
  ASSERT_EQ(p.count, 2);
  EXPECT_EQ(p.atoms[0], atom_number(1, 0, 5));
  EXPECT_EQ(received(p), "599 005 TU");
  EXPECT_EQ(pack("599 5 TU", 0).cleaned, "599 5 TU");
  // Mode 2 also offers the subkind-0 short text after 599.
  const Packed letters = pack("599 AB", 2);
  ASSERT_EQ(letters.count, 1);
  EXPECT_EQ(letters.atoms[0].kind, kAtomShortText);
  // A rewriting that would pass 80 characters is refused.
  std::string many;
  for (int i = 0; i < 13; ++i) many += "599 1 ";
  EXPECT_LE(many.size(), 80u);
  EXPECT_EQ(pack(many, 2).count, -1);
}

TEST(Unpack, FlagsReportJoinsFailuresAndTheLastFrame) {
  const Packed p = pack("K1ABC TU");
  ASSERT_EQ(p.count, 1) << "call subkind 3";
  UnpackedText text = unpack_frames(std::span<const PayloadFrame>(p.frames.data(), 1));
  EXPECT_TRUE(text.join && text.final && text.allOk);
  // Short chunks come back padded with tildes.
  const Packed chunks = pack("HELLO WORLD");
  text = unpack_frames(std::span<const PayloadFrame>(chunks.frames.data(), chunks.count));
  EXPECT_EQ(trimmed(text.text), "HELLO~WORLD~~~~");
  EXPECT_FALSE(text.join);
  EXPECT_TRUE(text.final && text.allOk);

  // A frame that does not decode writes nothing and clears all-ok and final.
  const Packed two = pack("CQ K1ABC CQ HELLO");
  ASSERT_EQ(two.count, 2);
  std::array<PayloadFrame, 2> broken = {two.frames[0], two.frames[1]};
  broken[1][32] = '1';
  text = unpack_frames(broken);
  EXPECT_EQ(trimmed(text.text), "CQ K1ABC CQ");
  EXPECT_TRUE(text.join);
  EXPECT_FALSE(text.final);
  EXPECT_FALSE(text.allOk);

  // Not the last frame of its message: decodes, but is not final.
  text = unpack_frames(std::span<const PayloadFrame>(two.frames.data(), 1));
  EXPECT_TRUE(text.allOk);
  EXPECT_FALSE(text.final);

  EXPECT_FALSE(unpack_frames({}).allOk);
}

// At most sixteen frames and eighty characters are read: a seventeenth frame makes the text not
// all ok, and what passes eighty characters is dropped.
TEST(Unpack, ReadsAtMostSixteenFramesAndEightyCharacters) {
  const UnpackedText tu = unpack_frames(std::vector<PayloadFrame>(17, pack("TU").frames[0]));
  EXPECT_FALSE(tu.allOk);
  EXPECT_FALSE(tu.final);
  std::string expected;
  for (int i = 0; i < 16; ++i) expected += "TU ";
  EXPECT_EQ(trimmed(tu.text), expected.substr(0, expected.size() - 1));
  const UnpackedText agn = unpack_frames(std::vector<PayloadFrame>(16, pack("AGN CALL").frames[0]));
  EXPECT_EQ(view(agn.text).substr(72, 8), "AGN CALL");  // 16 x "AGN CALL " is 144 characters
}

// Phrases that each need exactly one atom; any join of them needs at most one frame each.
const std::vector<std::string> kPhrases = {
    "CQ K1ABC CQ", "W9XYZ",  "TU G4ABC CQ", "KA1ABC TU", "VE3XYZ AGN?", "TU NOW K9ZZ",
    "TU",          "73",     "QSL TU",      "RPRT?",     "599 FN42",    "JO22",
    "599 AB",      "3A EMA", "12F EMA",     "1234",      "599 5",       "QRZ?",
    "GRID?",       "AGN NR", "WAIT",        "NIL?",      "OK?",         "599 123"};

TEST(RoundTrip, JoinedPhrasesComeBackInNoMoreFramesThanPhrases) {
  std::mt19937 rng(23);
  for (int trial = 0; trial < 400; ++trial) {
    std::string text;
    int phrases = 0;
    while (true) {
      const std::string& next = kPhrases[rng() % kPhrases.size()];
      if (text.size() + next.size() + 1 > 80) break;
      if (!text.empty()) text += ' ';
      text += next;
      ++phrases;
      if (rng() % 4 == 0) break;
    }
    const Packed p = pack(text);
    ASSERT_GE(p.count, 1) << text;
    ASSERT_LE(p.count, phrases) << text;
    ASSERT_EQ(received(p), text);
  }
}

// Random texts over the alphabet, lower case, tildes and raw bytes come back cleaned.
TEST(RoundTrip, RandomTextsComeBackCleaned) {
  std::string alphabet;
  for (int code = 0; code < kAlphabetSize; ++code) alphabet += alphabet_char(code);
  alphabet += "abcdefghijklmnopqrstuvwxyz~";
  std::mt19937 rng(29);
  for (int trial = 0; trial < 1500; ++trial) {
    std::string text;
    const int length = 1 + rng() % 80;
    while (static_cast<int>(text.size()) < length) {
      switch (rng() % 6) {
        case 0:  // a phrase, to reach every atom kind inside random text
          text += " " + kPhrases[rng() % kPhrases.size()] + " ";
          break;
        case 1:
          text += ' ';
          break;
        case 2:
          text += static_cast<char>(rng());
          break;
        default:
          text += alphabet[rng() % alphabet.size()];
      }
    }
    text.resize(length);
    const Packed p = pack(text);
    const std::size_t cleanedLength = p.cleaned.size();
    if (cleanedLength == 0) {
      ASSERT_EQ(p.count, 0) << text;
      continue;
    }
    ASSERT_GE(p.count, 1) << text;
    // Never worse than chunks alone.
    ASSERT_LE(p.count, static_cast<int>((cleanedLength + 4) / 5)) << text;
    ASSERT_EQ(received(p), p.cleaned) << text;
  }
}

TEST(ParseNumber, OneToSixDigitsBelow131072) {
  EXPECT_EQ(parse_number("0"), 0);
  EXPECT_EQ(parse_number("131071"), 131071);
  EXPECT_EQ(parse_number("007"), 7);
  for (const char* text : {"131072", "1234567", "", "12A"}) EXPECT_FALSE(parse_number(text)) << text;
}

}  // namespace
}  // namespace kvol
