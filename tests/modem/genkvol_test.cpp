// What goes on the air for a message: per frame the 13 sync tones, then the 46 coded tones of
// its payload, frame after frame. Peers decode exactly this, so it is pinned by known answers.
#include "modem/genkvol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr int kSync[13] = {0, 2, 2, 3, 0, 0, 3, 2, 1, 3, 1, 2, 0};

// The payload of one frame: the atom word, a zero, the last-frame flag.
std::vector<int> payload_of(std::uint32_t word, bool last) {
  std::vector<int> bits;
  for (int i = 31; i >= 0; --i) bits.push_back(int(word >> i) & 1);
  bits.push_back(0);
  bits.push_back(last);
  return bits;
}

// The frame's tones by the format's definitions, written out here: CRC-12 by long division,
// then the tail-biting code (generators 1167 and 1545 octal, starting in the state of the word's
// last nine bits), each pair of coded bits one of four tones.
std::vector<int> frame_tones(std::vector<int> u) {
  const int divisor[13] = {1, 1, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1};
  std::vector<int> rest = u;
  rest.resize(u.size() + 12, 0);
  for (std::size_t i = 0; i < u.size(); ++i)
    if (rest[i])
      for (int j = 0; j < 13; ++j) rest[i + j] ^= divisor[j];
  u.insert(u.end(), rest.end() - 12, rest.end());

  std::vector<int> tones(kSync, kSync + 13);
  unsigned state = 0;
  for (int k = 37; k < 46; ++k) state = state << 1 | unsigned(u[k]);
  for (int k = 0; k < 46; ++k) {
    const unsigned r = (state << 1 | unsigned(u[k])) & 01777;
    const int c1 = __builtin_parity(r & 01167), c2 = __builtin_parity(r & 01545);
    tones.push_back(c1 ? (c2 ? 2 : 3) : (c2 ? 1 : 0));
    state = r & 0777;
  }
  return tones;
}

// Messages whose atoms' words the source codec pins: a word of the word table, a CQ call, both,
// and 80 characters of signs, sixteen chunks of free text that fill the 944 tones exactly. An
// empty message sends nothing and leaves the tones alone. "AGN?" also has its tones spelled out.
TEST(Genkvol, MessagesBecomeSyncAndCodedTonesFrameByFrame) {
  const std::string signs = [] {
    std::string text;
    for (int i = 0; i < 16; ++i) text += "<>|;:";
    return text;
  }();
  const struct {
    std::string message;
    std::vector<std::uint32_t> words;
    std::string tones;
  } cases[] = {
      {"AGN?", {0x00000012}, "02230032131201212313320000000000000000002322000220003033020"},
      {"CQ K1ABC CQ", {0x09BDE350}, ""},
      {"CQ K1ABC CQ AGN?", {0x09BDE350, 0x00000012}, ""},
      // "<>|;:" as five alphabet codes, 59 60 61 63 62, then the free-text family's 11.
      {signs, std::vector<std::uint32_t>(16, 0xEFCF7FFB), ""},
      {"", {}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    std::vector<int> expected;
    for (std::size_t i = 0; i < c.words.size(); ++i) {
      const std::vector<int> frame = frame_tones(payload_of(c.words[i], i + 1 == c.words.size()));
      expected.insert(expected.end(), frame.begin(), frame.end());
    }
    if (!c.tones.empty()) {
      ASSERT_EQ(expected.size(), c.tones.size());
      for (std::size_t i = 0; i < expected.size(); ++i)
        ASSERT_EQ(expected[i], c.tones[i] - '0') << "the table itself is wrong at tone " << i;
    }

    kvol::MessageField message = kvol::to_field<kvol::kMessageChars>(c.message);
    kvol::MessageTones tones;
    tones.fill(7);
    const int count = kvol::kvol_encode_message(message, 0, tones);
    ASSERT_EQ(count, int(expected.size()));
    EXPECT_EQ(std::vector<int>(tones.begin(), tones.begin() + count), expected);
    for (int i = count; i < kvol::kMaxTones; ++i) ASSERT_EQ(tones[i], 7) << "tone " << i;
  }
}

}  // namespace
