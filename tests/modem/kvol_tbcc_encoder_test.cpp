// The frame check every peer computes: a changed polynomial, bit order or start value would make
// every frame we send fail at the other end, so it is pinned by known answers.
#include "modem/kvol_tbcc_encoder.h"

#include <gtest/gtest.h>

#include <string>

namespace {

kvol::PayloadBits bits_of(const std::string& text) {
  kvol::PayloadBits bits{};
  for (std::size_t i = 0; i < bits.size(); ++i) bits[i] = text.at(i) == '1';
  return bits;
}

// Long division by x^12 + x^11 + x^3 + x^2 + x + 1 of the payload times x^12, written out here
// rather than as the encoder's shift register: the remainder's 12 bits, highest power first.
std::string remainder_of(const std::string& payload) {
  const std::string divisor = "1100000001111";
  std::string dividend = payload + std::string(12, '0');
  for (std::size_t i = 0; i < payload.size(); ++i) {
    if (dividend[i] == '0') continue;
    for (std::size_t j = 0; j < divisor.size(); ++j)
      dividend[i + j] = dividend[i + j] == divisor[j] ? '0' : '1';
  }
  return dividend.substr(payload.size());
}

// The zero payload and the single last bit (whose check is the polynomial's low bits) are the
// format's own worked examples; the other answers come from the division above.
TEST(Crc12, KnownPayloadsGetTheirKnownCheckBits) {
  const struct {
    const char* name;
    const char* payload;
    const char* crc;
  } cases[] = {
      {"zero", "0000000000000000000000000000000000", "000000000000"},
      {"last bit", "0000000000000000000000000000000001", "100000001111"},
      {"first bit", "1000000000000000000000000000000000", "101000000111"},
      {"all ones", "1111111111111111111111111111111111", "001111111010"},
      {"alternating", "1010101010101010101010101010101010", "001010101100"},
      {"word AGN?, last", "0000000000000000000000000001001001", "101011011111"},
      {"CQ K1ABC CQ", "0000100110111101111000110101000000", "000000001101"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(remainder_of(c.payload), c.crc) << "the table itself is wrong";
    const kvol::CodeWord word = kvol::tbcc_append_crc(bits_of(c.payload));
    std::string got;
    for (const std::uint8_t bit : word) got += bit ? '1' : '0';
    EXPECT_EQ(got, std::string(c.payload) + c.crc);
    EXPECT_EQ(kvol::crc12(word), 0u) << "a correct word leaves the register at 0";
    kvol::CodeWord damaged = word;
    damaged[40] ^= 1;
    EXPECT_NE(kvol::crc12(damaged), 0u);
  }
}

}  // namespace
