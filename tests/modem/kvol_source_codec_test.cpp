#include "modem/kvol_source_codec.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>

namespace kvol {
namespace {

PayloadFrame frame_of(std::uint32_t word, bool last) {
  PayloadFrame frame;
  for (int i = 0; i < 32; ++i) frame[i] = (word >> (31 - i)) & 1u ? '1' : '0';
  frame[32] = '0';
  frame[33] = last ? '1' : '0';
  return frame;
}

std::uint32_t word_of(const PayloadFrame& frame) {
  std::uint32_t word = 0;
  for (int i = 0; i < 32; ++i) word = (word << 1) | (frame[i] == '1');
  return word;
}

// Known answers: the 32-bit word of an atom of every kind (the frame's first 32 characters), and
// the text it reads as (ZZ9ZZZ is the highest standard token; a short chunk is padded with blank
// codes). These pin the on-air format, which sender and receiver share.
TEST(SourceCodec, EveryAtomKindHasItsKnownWordAndText) {
  CompactAtom timed;
  timed.kind = kAtomTimedNumber;
  timed.flag = 1;
  timed.value = 16383;
  timed.value2 = 1439;
  CompactAtom exchange;
  exchange.kind = kAtomExchange;
  exchange.value = 40;
  exchange.text = to_field<kFieldChars>("ZZZ");
  const struct {
    CompactAtom atom;
    std::uint32_t word;
    const char* text;
  } cases[] = {
      {atom_call(0, "K1ABC"), 0x09BDE350, "CQ K1ABC CQ"},
      {atom_call(1, "W9XYZ"), 0x0C293B84, "W9XYZ"},
      {atom_call(2, "KA1ABC"), 0x95C65218, "TU KA1ABC CQ"},
      {atom_call(3, "G4ABC"), 0x090C166C, "G4ABC TU"},
      {atom_call(3, "ZZ9ZZZ"), 0xFFFFFFFC, "ZZ9ZZZ TU"},
      {atom_call(4, "K1ABC"), 0x09BDE351, "K1ABC AGN?"},
      {atom_call(5, "K1ABC"), 0x09BDE355, "TU NOW K1ABC"},
      {atom_number(0, 7, 131071), 0x3FFFFC02, "131071"},
      {atom_number(1, 0, 0), 0x80000002, "599 000"},
      {atom_number(0, 1, 40), 0x0800A002, "40"},
      {atom_number(0, 6, 9999), 0x309C3C02, "9999"},
      {atom_short_text(1, 3, "AB"), 0x9805CC06, "599 AB"},
      {atom_short_text(0, 4, "ZZZ"), 0x26D8FC06, "ZZZ"},
      {exchange, 0x146D8FCA, "599 40 ZZZ"},
      {atom_class_section(32, "F", 86), 0x305AC00A, "32F NB"},
      {timed, 0xFFFF67CE, "599 16383 2359"},
      {atom_word(0), 0x00000012, "AGN?"},
      {atom_word(17), 0x02200012, "OK?"},
      {atom_word(2), 0x00400012, "AGN CALL"},
      {atom_grid(1, "RR99"), 0x1FE8F012, "599 RR99"},
      {atom_grid(0, "AA00"), 0x10000012, "AA00"},
      {atom_text5(";: <>", 5), 0xFFE93BF3, ";: <>"},
      {atom_text5("AB", 2), 0x28B92493, "AB"},
  };
  for (const auto& c : cases) {
    const auto text = atom_to_text(c.atom);
    ASSERT_TRUE(text) << c.text;
    EXPECT_EQ(trimmed(*text), c.text);
    for (bool last : {false, true}) {
      const auto frame = atom_to_frame(c.atom, last);
      ASSERT_TRUE(frame) << c.text;
      EXPECT_EQ(word_of(*frame), c.word) << c.text;
      EXPECT_EQ(view(*frame).substr(32), last ? "01" : "00") << c.text;
      const auto back = frame_to_atom(*frame);
      ASSERT_TRUE(back) << c.text;
      EXPECT_EQ(back->atom, c.atom) << c.text;
      EXPECT_EQ(back->last, last);
    }
  }
  EXPECT_EQ(trimmed(*atom_to_text(atom_text5("ABCDEFG", 7))), "ABCDE");
  EXPECT_EQ(view(*atom_to_text(atom_class_section(3, "A", 1))).substr(0, 7), "3A AB  ");
  const std::tuple<int, int, const char*> numbers[] = {
      {0, 5, "005"}, {1, 7, "07"}, {5, 3, "03"}, {6, 42, "0042"}, {3, 0, "0"}, {4, 12, "12"}};
  for (const auto& [subkind, value, text] : numbers)
    EXPECT_EQ(trimmed(*atom_to_text(atom_number(0, subkind, value))), text) << subkind;
}

// Atoms whose fields lie outside what their kind can carry are refused: short texts need two or
// three base-36 digits without a leading zero, classes run 1..32 with letters A..F, numbers stay
// within their subkind's range, grids run AA00..RR99, and calls must come back from their token.
// Words and frames that are no atom decode to nothing: unassigned family-10 tags, bits 31-28
// above 1 in a grid, the always-zero bit set, no word at all, characters other than "0" and "1".
TEST(SourceCodec, WhatIsNoAtomIsRefused) {
  const CompactAtom refused[] = {atom_short_text(1, 3, "012"),   atom_short_text(0, 0, "A"),
                                 atom_short_text(0, 0, "ABCD"),  atom_short_text(0, 5, "AB"),
                                 atom_class_section(3, "G", 1),  atom_class_section(33, "A", 1),
                                 atom_class_section(3, "A", -1), atom_number(0, 1, 41),
                                 atom_number(0, 2, 0),           atom_number(0, 6, 10000),
                                 atom_number(0, 7, 131072),      atom_number(2, 7, 1),
                                 atom_number(0, 7, -1),          atom_call(1, "PJ4/K1ABC"),
                                 atom_call(1, "QA1ABC"),         atom_call(1, "CQ"),
                                 atom_call(6, "K1ABC"),          atom_call(1, "K1ABCD"),
                                 atom_grid(0, "SA00"),           atom_grid(0, "FN4"),
                                 atom_grid(0, "FN42A")};
  for (const CompactAtom& atom : refused)
    EXPECT_FALSE(atom_to_frame(atom, false)) << &atom - refused;
  EXPECT_TRUE(atom_to_frame(atom_short_text(1, 3, "12"), false));
  EXPECT_TRUE(atom_to_frame(atom_short_text(0, 0, "ZZZ"), false));
  EXPECT_EQ(section_index("AB", 2), -1);
  EXPECT_EQ(section_index("AB ", 3), 1);

  std::vector<PayloadFrame> frames = {frame_of((1u << 20) | 0b10110u, false),
                                      frame_of((1u << 20) | 0b11010u, false),
                                      frame_of((1u << 20) | 0b11110u, false),
                                      frame_of((2u << 28) | 0b10010u, false),
                                      frame_of(0, true),
                                      blank_field<kPayloadBits>(),
                                      frame_of(18, false),
                                      frame_of(18, false)};
  frames[6][32] = '1';
  frames[7][5] = '2';
  for (const PayloadFrame& frame : frames) EXPECT_FALSE(frame_to_atom(frame)) << view(frame);
  EXPECT_TRUE(frame_to_atom(frame_of((1u << 28) | 0b10010u, false))) << "grid AA00";
}

TEST(SourceCodec, EveryDecodableWordEncodesBackToItself) {
  std::mt19937 rng(17);
  int decoded = 0;
  for (int trial = 0; trial < 60000; ++trial) {
    std::uint32_t word = rng();
    // Bias towards the sparse family-10 layouts, which random words rarely satisfy.
    if (trial % 3 == 0) word &= 0xFFFFFC1Fu;
    if (trial % 6 == 0) word = (word & 0x0FE0001Fu & ~0xFu) | 0b10010u;
    const bool last = trial % 2;
    const auto back = frame_to_atom(frame_of(word, last));
    if (!back) continue;
    ++decoded;
    ASSERT_TRUE(atom_to_text(back->atom)) << std::hex << word;
    const auto again = atom_to_frame(back->atom, last);
    ASSERT_TRUE(again) << std::hex << word;
    ASSERT_EQ(word_of(*again), word) << std::hex << word;
  }
  EXPECT_GT(decoded, 20000);
}

}  // namespace
}  // namespace kvol
