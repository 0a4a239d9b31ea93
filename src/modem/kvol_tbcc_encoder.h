// CRC-12 and the rate-1/2 tail-biting convolutional encoder of KVOL frames, and the code profile
// that describes both to the list decoder. Stateless: callable from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "modem/kvol_constants.h"

namespace kvol {

// The code and CRC description, field by field in its on-record order.
struct CodeProfile {
  std::int32_t profileNumber;
  std::int32_t memory;            // m
  std::int32_t constraintLength;  // K = m + 1
  std::int32_t states;            // 2^m
  std::int32_t stateMask;         // 2^m - 1
  std::int32_t registerMask;      // 2^K - 1
  std::int32_t generator1;
  std::int32_t generator2;
  std::int32_t crcPolynomial;  // without its x^12 term
  std::int32_t crcTopBit;
  std::int32_t crcMask;
  std::int32_t payloadBits;
  std::int32_t crcBits;
  std::int32_t codedBits;

  friend constexpr bool operator==(const CodeProfile&, const CodeProfile&) = default;
};

// The one profile KVOL uses; the list decoder accepts nothing else.
inline constexpr CodeProfile kKvolCodeProfile{
    1, 9, 10, 512, 511, 1023, 631, 869, 0x80F, 2048, 4095, kPayloadBits, kCrcBits, kCodedBits};
static_assert(kKvolCodeProfile.generator1 == 01167 && kKvolCodeProfile.generator2 == 01545);

bool tbcc_profile_valid(const CodeProfile& profile);
bool tbcc_profile_supported(const CodeProfile& profile);  // valid and equal to kKvolCodeProfile

// Bits are 0 or 1, first bit first.
using PayloadBits = std::array<std::uint8_t, kPayloadBits>;
using CodeWord = std::array<std::uint8_t, kCodedBits>;                        // payload then CRC
using DataSymbols = std::array<std::int32_t, kDataSymbols>;                   // tones 0..3
using CodedBitPairs = std::array<std::array<std::uint8_t, 2>, kDataSymbols>;  // (c1, c2)
using SymbolFrame = std::array<std::int32_t, kSymbolsPerFrame>;  // sync then data tones

// The CRC-12 register after running over the bits (nonzero bits count as 1). A correct code
// word leaves 0.
std::uint32_t crc12(std::span<const std::uint8_t> bits);

// The payload followed by its 12 CRC bits, most significant first. A profile other than the
// supported one stops the program.
CodeWord tbcc_append_crc(const PayloadBits& payload, const CodeProfile* profile = nullptr);

// Appends the CRC and codes the word into 46 four-level symbols; codedPairs, when given,
// receives each symbol's generator-1 and generator-2 bits.
DataSymbols tbcc_encode(const PayloadBits& payload, const CodeProfile* profile = nullptr,
                        CodedBitPairs* codedPairs = nullptr);

}  // namespace kvol
