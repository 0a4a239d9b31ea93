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
      unpack_frames(std::span<const PayloadFrame>(packed.frames.data(), std::max(packed.count, 0)));
  std::string shown(view(text.text));
  for (char& c : shown) c = c == '~' ? ' ' : c;
  const std::size_t first = shown.find_first_not_of(' ');
  return first == std::string::npos ? ""
                                    : shown.substr(first, shown.find_last_not_of(' ') - first + 1);
}

TEST(Segmentation, WellKnownPhrasesTakeOneAtomEach) {
  const struct {
    const char* text;
    int kind, subkind, flag;
  } cases[] = {
      {"TU", kAtomWord, 12, 0},          {"QSO B4", kAtomWord, 14, 0},
      {"599 JN58", kAtomGrid, 0, 1},     {"599 AB", kAtomShortText, 3, 1},
      {"JN58", kAtomGrid, 0, 0},         {"3A EMA", kAtomExchange, 1, 0},
      {"CQ K1ABC CQ", kAtomCall, 0, 0},  {"TU NOW KA1ABC", kAtomCall, 5, 0},
      {"G4ABC AGN?", kAtomCall, 4, 0},   {"123456", kAtomNumber, 7, 0},
      {"599 131071", kAtomNumber, 7, 1}, {"AB", kAtomTextChunk, 0, 0},
      {"3A AB", kAtomTextChunk, 0, 0},   {"AGN CALL", kAtomWord, 2, 0},
  };
  for (const auto& c : cases) {
    const Packed p = pack(c.text);
    ASSERT_EQ(p.count, 1) << c.text;
    EXPECT_EQ(p.atoms[0].kind, c.kind) << c.text;
    EXPECT_EQ(p.atoms[0].subkind, c.subkind) << c.text;
    EXPECT_EQ(p.atoms[0].flag, c.flag) << c.text;
    EXPECT_EQ(received(p), c.text);
  }
}

// The text is cleaned (upper case, tildes and runs of blanks as one blank, foreign characters as
// "#") and written back even when refused; mode 2 rewrites reports, and refuses a rewriting that
// would pass 80 characters; refused or empty texts leave every frame blank.
TEST(Segmentation, CleansTheTextAndRefusesWhatCannotBeSent) {
  std::string reports;
  for (int i = 0; i < 13; ++i) reports += "599 1 ";
  const struct {
    std::string text;
    int mode, count;
    std::string cleaned;
  } cases[] = {
      {"", 0, 0, ""},
      {" ~ ~~  ", 0, 0, ""},
      {"  hi~there#  caf\xC3\xA9  ~~x\tz", 0, 4, "HI THERE# CAF## X#Z"},
      {"hello", 3, -1, "HELLO"},
      {"hello", -1, -1, "HELLO"},
      {"hello", 1, 1, "HELLO"},
      {"599 5 TU", 0, 2, "599 5 TU"},
      {"599 5 TU", 2, 2, "599 005 TU"},
      {reports, 2, -1, reports.substr(0, reports.size() - 1)},
      {std::string(80, '#'), 0, 16, std::string(80, '#')},
  };
  for (const auto& c : cases) {
    const Packed p = pack(c.text, c.mode);
    EXPECT_EQ(p.count, c.count) << c.text;
    EXPECT_EQ(p.cleaned, c.cleaned) << c.text;
    if (p.count > 0) {
      EXPECT_EQ(received(p), p.cleaned) << c.text;
      for (int i = 0; i < p.count; ++i) EXPECT_EQ(p.frames[i][33], i + 1 == p.count ? '1' : '0');
    }
    for (int i = std::max(p.count, 0); i < kMaxFrames; ++i) EXPECT_EQ(trimmed(p.frames[i]), "");
  }
  EXPECT_EQ(pack("599 5 TU", 2).atoms[0], atom_number(1, 0, 5));
  EXPECT_EQ(pack("599 AB", 2).atoms[0].kind, kAtomShortText);
}

// At most sixteen frames and eighty characters are read: a seventeenth frame makes the text not
// all ok, and what passes eighty characters is dropped.
TEST(Unpack, ReadsAtMostSixteenFramesAndEightyCharacters) {
  const UnpackedText tu = unpack_frames(std::vector<PayloadFrame>(17, pack("TU").frames[0]));
  EXPECT_TRUE(!tu.allOk && !tu.final);
  std::string tus = "TU";
  for (int i = 1; i < 16; ++i) tus += " TU";
  EXPECT_EQ(trimmed(tu.text), tus);
  const UnpackedText agn = unpack_frames(std::vector<PayloadFrame>(16, pack("AGN CALL").frames[0]));
  EXPECT_EQ(view(agn.text).substr(72, 8), "AGN CALL");  // 16 x "AGN CALL " is 144 characters
  // A frame that does not decode makes the text not all ok.
  std::vector<PayloadFrame> broken(2, pack("TU").frames[0]);
  broken[1][32] = '1';
  EXPECT_FALSE(unpack_frames(broken).allOk);
}

// Random texts over the alphabet, lower case, tildes, raw bytes and phrases that each need one
// atom come back cleaned, in no more frames than chunks alone would take; texts of phrases alone
// take no more frames than phrases.
TEST(RoundTrip, RandomTextsComeBackCleaned) {
  const std::vector<std::string> phrases = {
      "CQ K1ABC CQ", "W9XYZ",  "TU G4ABC CQ", "KA1ABC TU", "VE3XYZ AGN?", "TU NOW K9ZZ",
      "TU",          "73",     "QSL TU",      "RPRT?",     "599 FN42",    "JO22",
      "599 AB",      "3A EMA", "12F EMA",     "1234",      "599 5",       "QRZ?",
      "GRID?",       "AGN NR", "WAIT",        "NIL?",      "OK?",         "599 123"};
  std::string alphabet = "abcdefghijklmnopqrstuvwxyz~";
  for (int code = 0; code < kAlphabetSize; ++code) alphabet += alphabet_char(code);
  std::mt19937 rng(29);
  for (int trial = 0; trial < 2000; ++trial) {
    std::string text;
    int count = 0;  // phrases, in a text of phrases alone
    if (trial % 4 == 0) {
      while (true) {
        const std::string& next = phrases[rng() % phrases.size()];
        if (text.size() + next.size() + 1 > 80) break;
        text += (text.empty() ? "" : " ") + next;
        if (++count, rng() % 4 == 0) break;
      }
    } else {
      const std::size_t length = 1 + rng() % 80;
      while (text.size() < length) {
        const unsigned kind = rng() % 6;  // phrases reach every atom kind inside random text
        text += kind == 0   ? " " + phrases[rng() % phrases.size()] + " "
                : kind == 1 ? std::string(" ")
                : kind == 2 ? std::string(1, static_cast<char>(rng()))
                            : std::string(1, alphabet[rng() % alphabet.size()]);
      }
      text.resize(length);
    }
    const Packed p = pack(text);
    const int chunks = static_cast<int>((p.cleaned.size() + 4) / 5);
    ASSERT_EQ(p.count == 0, chunks == 0) << text;
    ASSERT_LE(p.count, count ? count : chunks) << text;
    ASSERT_EQ(received(p), p.cleaned) << text;
  }
}

}  // namespace
}  // namespace kvol
