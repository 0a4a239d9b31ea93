#include "modem/kvol_tbcc_encoder.h"

#include <bit>

#include "modem/kvol_fatal.h"

namespace kvol {
namespace {

// Only a caller's programming error stops the program here.
void require_supported(const CodeProfile* profile) {
  if (profile != nullptr && !tbcc_profile_supported(*profile)) {
    fatal("unsupported KVOL TBCC code profile");
  }
}

int parity(std::uint32_t value) { return std::popcount(value) & 1; }

}  // namespace

bool tbcc_profile_valid(const CodeProfile& p) {
  if (p.memory < 1 || p.memory > 20) return false;
  if (p.constraintLength != p.memory + 1) return false;
  if (p.states != (1 << p.memory) || p.stateMask != p.states - 1) return false;
  if (p.registerMask != (1 << p.constraintLength) - 1) return false;
  for (std::int32_t generator : {p.generator1, p.generator2}) {
    if (generator <= 0 || (generator & ~p.registerMask) != 0) return false;
  }
  if (p.crcPolynomial < 1 || p.crcPolynomial > 4095) return false;
  if (p.crcTopBit != 2048 || p.crcMask != 4095) return false;
  return p.payloadBits == kPayloadBits && p.crcBits == kCrcBits && p.codedBits == kCodedBits;
}

bool tbcc_profile_supported(const CodeProfile& profile) {
  return tbcc_profile_valid(profile) && profile == kKvolCodeProfile;
}

std::uint32_t crc12(std::span<const std::uint8_t> bits) {
  const std::uint32_t top = kKvolCodeProfile.crcTopBit;
  const std::uint32_t mask = kKvolCodeProfile.crcMask;
  std::uint32_t c = 0;
  for (std::uint8_t bit : bits) {
    const std::uint32_t x = c ^ (bit != 0 ? top : 0u);
    c = (x << 1) & mask;
    if (x & top) c ^= kKvolCodeProfile.crcPolynomial;
  }
  return c;
}

CodeWord tbcc_append_crc(const PayloadBits& payload, const CodeProfile* profile) {
  require_supported(profile);
  CodeWord word{};
  for (int i = 0; i < kPayloadBits; ++i) word[i] = payload[i] != 0 ? 1 : 0;
  const std::uint32_t c = crc12(std::span<const std::uint8_t>(word.data(), kPayloadBits));
  for (int i = 0; i < kCrcBits; ++i) word[kPayloadBits + i] = (c >> (kCrcBits - 1 - i)) & 1u;
  return word;
}

DataSymbols tbcc_encode(const PayloadBits& payload, const CodeProfile* profile,
                        CodedBitPairs* codedPairs) {
  require_supported(profile);
  const CodeProfile& p = kKvolCodeProfile;
  const CodeWord u = tbcc_append_crc(payload, profile);

  // Tail-biting: the register starts holding the word's last m bits, so it ends where it began.
  std::uint32_t s = 0;
  for (int k = kCodedBits - p.memory; k < kCodedBits; ++k) s = (s << 1) | u[k];

  DataSymbols symbols{};
  for (int k = 0; k < kCodedBits; ++k) {
    const std::uint32_t r = ((s << 1) | u[k]) & static_cast<std::uint32_t>(p.registerMask);
    const int c1 = parity(r & static_cast<std::uint32_t>(p.generator1));
    const int c2 = parity(r & static_cast<std::uint32_t>(p.generator2));
    s = r & static_cast<std::uint32_t>(p.stateMask);
    // Gray order, so neighbouring tones differ in one coded bit.
    symbols[k] = 2 * c1 + (c1 ^ c2);
    if (codedPairs != nullptr)
      (*codedPairs)[k] = {static_cast<std::uint8_t>(c1), static_cast<std::uint8_t>(c2)};
  }
  return symbols;
}

}  // namespace kvol
