#include "modem/kvol_tbcc_encoder.h"

#include <gtest/gtest.h>

#include <random>
#include <tuple>

namespace kvol {
namespace {

TEST(TbccEncoder, EveryCodeWordChecksAndCorruptionIsCaught) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 500; ++trial) {
    PayloadBits payload{};
    for (auto& bit : payload) bit = rng() & 1u;
    CodeWord word = tbcc_append_crc(payload);
    for (int i = 0; i < kPayloadBits; ++i) ASSERT_EQ(word[i], payload[i]);
    ASSERT_EQ(crc12(word), 0u);
    // A CRC of degree 12 catches every single and double bit error in 46 bits.
    const int a = rng() % kCodedBits;
    const int b = (a + 1 + rng() % (kCodedBits - 1)) % kCodedBits;
    word[a] ^= 1;
    EXPECT_NE(crc12(word), 0u);
    word[b] ^= 1;
    EXPECT_NE(crc12(word), 0u);
  }
}

// Known answers for no 1 and a single 1 in the payload, worked out apart from this code from the
// polynomial and the generators 631 and 869: the CRC bits at the end of the word reach round to
// the first symbols.
TEST(TbccEncoder, CrcAndCodingAreCircularAndGrayMapped) {
  const std::tuple<int, const char*, const char*> cases[] = {
      {-1, "000000000000", "0000000000000000000000000000000000000000000000"},
      {kPayloadBits - 1, "100000001111", "2333113320000000000000000000000002112310211333"},
      {0, nullptr, "3233311332000000000000000000000000230312123001"},
  };
  for (const auto& [bit, crc, expected] : cases) {
    PayloadBits payload{};
    if (bit >= 0) payload[bit] = 1;
    const CodeWord word = tbcc_append_crc(payload);
    for (int i = 0; crc != nullptr && i < kCrcBits; ++i)
      EXPECT_EQ(word[kPayloadBits + i], crc[i] - '0') << "bit " << bit << ", CRC bit " << i;
    CodedBitPairs pairs{};
    const DataSymbols symbols = tbcc_encode(payload, &kKvolCodeProfile, &pairs);
    for (int k = 0; k < kDataSymbols; ++k) {
      EXPECT_EQ(symbols[k], expected[k] - '0') << "bit " << bit << ", symbol " << k;
      static constexpr int kTone[2][2] = {{0, 1}, {3, 2}};
      EXPECT_EQ(symbols[k], kTone[pairs[k][0]][pairs[k][1]]) << "bit " << bit << ", symbol " << k;
    }
  }
}

TEST(TbccProfileDeathTest, UnsupportedProfileStopsTheProgram) {
  CodeProfile other = kKvolCodeProfile;
  other.generator1 = 01155;
  const PayloadBits payload{};
  EXPECT_DEATH(tbcc_encode(payload, &other), "unsupported KVOL TBCC code profile");
  EXPECT_DEATH(tbcc_append_crc(payload, &other), "unsupported KVOL TBCC code profile");
}

}  // namespace
}  // namespace kvol
