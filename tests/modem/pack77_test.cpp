#include "modem/pack77.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>

namespace kvol {
namespace {

CallField field(std::string_view text) { return to_field<kFieldChars>(text); }

std::string unpack(std::int32_t token) {
  return std::string(trimmed(n28_to_call_default(token).text));
}

std::int32_t pack(std::string_view text) {
  CallsToRemember unused;
  return call_to_n28(field(text), unused);
}

TEST(Callsign, CheckAcceptsOneToThreeLetterSuffixesOnly) {
  const std::pair<const char*, bool> cases[] = {
      {"K1ABC", true},     {"KA1ABC", true},          {"K1A", true},
      {"3D0ABC", true},    {"K1ABCD", false},         {"K1", false},
      {"KA1", false},      {"K1AB.", false},          {"W1AW/P", true},
      {"PJ4/K1ABC", true}, {"QA1ABC", false},         {"QU1RK", true},
      {"123456", false},   {"K1ABC/VERYLONG", false}, {"ABCDEFG", false}};
  for (const auto& [call, ok] : cases) EXPECT_EQ(check_callsign(field(call)).ok, ok) << call;
  EXPECT_EQ(view(check_callsign(field("PJ4/K1ABC")).baseCall), "K1ABC ");
}

// Directed CQs: digits as they are, letters right-aligned in four places, blank 0 and A..Z
// 1..26, in base 27. Unassigned tokens, and those that read as no call, show as placeholders.
TEST(Callsign, FixedAndDirectedCqTokens) {
  const std::pair<const char*, std::int32_t> cases[] = {
      {"DE", 0},
      {"QRZ", 1},
      {"CQ", 2},
      {"CQ_123", 3 + 123},
      {"CQ_AB", 1003 + 1 * 27 + 2},
      {"CQ_WXYZ", 1003 + ((23 * 27 + 24) * 27 + 25) * 27 + 26}};
  for (const auto& [call, token] : cases) {
    EXPECT_EQ(pack(call), token) << call;
    EXPECT_EQ(unpack(token), call);
  }
  EXPECT_EQ(unpack(1003 + 1 * 27 * 27 + 2), "QU1RK") << "a blank inside the letters";
  EXPECT_EQ(unpack(600'000), "<...>") << "unassigned range";
  std::mt19937 rng(9);
  for (int trial = 0; trial < 20000; ++trial) {
    const UnpackedCall call = n28_to_call(static_cast<std::int32_t>(rng()), trial % 2 == 0);
    ASSERT_TRUE(call.ok || trimmed(call.text) == "QU1RK") << trimmed(call.text);
  }
  EXPECT_FALSE(n28_to_call_default(-1).ok);
  EXPECT_FALSE(n28_to_call_default(1 << 28).ok);
}

// Known hashes, worked out with exact integers apart from this code: base 38 over " 0-9A-Z/",
// first 11 characters only. A hashed call shows once remembered; short calls and placeholders
// are never remembered.
TEST(Callsign, HashedCallsAreShownOnceRemembered) {
  const std::tuple<const char*, int, std::uint32_t> hashes[] = {
      {"K1ABC", 22, 2920267u},
      {"K1ABC", 12, 2851u},
      {"K1ABC", 1, 1u},
      {"K1ABC", 32, 2990353901u},
      {"PJ4/K1ABC", 22, 1420834u},
      {"W9HASH", 10, 468u},
      {"K1ABC/PPPPPPP", 22, call_hash("K1ABC/PPPPP", 22)}};
  for (const auto& [call, bits, hash] : hashes) EXPECT_EQ(call_hash(call, bits), hash) << call;

  const std::int32_t token = kN28Base + static_cast<std::int32_t>(call_hash("W9HASH", kHashBits));
  EXPECT_EQ(pack("<W9HASH>"), token) << "a bracketed call packs to its hash";
  EXPECT_EQ(unpack(token), "<...>") << "call_to_n28 alone remembers nothing";
  EXPECT_EQ(call_to_n28_remember(field("<W9HASH>")), token);
  EXPECT_EQ(unpack(token), "<W9HASH>");
  EXPECT_EQ(pack("<W9HASH"), kN28Base) << "an unclosed bracket";
  CallsToRemember listed;
  EXPECT_EQ(call_to_n28(field("PJ4/K1ABC"), listed), kN28Base + 1420834);
  ASSERT_EQ(listed.count, 1);
  EXPECT_EQ(trimmed(listed.calls[0]), "PJ4/K1ABC");
  for (const char* call : {"AB", "<...>", "<K7BRK>"}) remember_call(field(call));
  for (const char* call : {"AB", "<...>"})
    EXPECT_EQ(trimmed(hash22_to_call(call_hash(call, 22))), "<...>") << call;
  EXPECT_EQ(trimmed(hash22_to_call(call_hash("K7BRK", 22))), "<K7BRK>");
}

}  // namespace
}  // namespace kvol
