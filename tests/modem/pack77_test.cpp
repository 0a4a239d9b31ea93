#include "modem/pack77.h"

#include <gtest/gtest.h>

#include <random>
#include <tuple>
#include <string>
#include <vector>

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

constexpr std::int32_t kStandardBase = kN28Base + kN28HashRange;

TEST(Callsign, StandardCallsRoundTripThroughTheirTokens) {
  std::mt19937 rng(1);
  const std::string letters = "ABCDEFGHIJKLMNOPRSTUVWXYZ";  // no Q: it never unpacks
  for (int trial = 0; trial < 2000; ++trial) {
    std::string call;
    if (rng() % 2) call += "0123456789"[rng() % 10];
    call.insert(0, 1, letters[rng() % letters.size()]);
    if (call.size() == 1 && rng() % 2) call += letters[rng() % letters.size()];
    call += "0123456789"[rng() % 10];
    for (int n = 1 + rng() % 3; n > 0; --n) call += letters[rng() % letters.size()];
    ASSERT_TRUE(is_standard_call(call)) << call;
    const std::int32_t token = pack(call);
    ASSERT_GE(token, kStandardBase) << call;
    ASSERT_LT(token, 1 << 28) << call;
    ASSERT_EQ(unpack(token), call);
  }
  // The working form " K1ABC" has i1 = 0, so the token lies in the first 36*10*27^3 values.
  EXPECT_LT(pack("K1ABC"), kStandardBase + 7'085'880);
}

TEST(Callsign, CheckAcceptsOneToThreeLetterSuffixesOnly) {
  struct Case {
    const char* call;
    bool ok;
  };
  const Case cases[] = {
      {"K1ABC", true},     {"KA1ABC", true},          {"K1A", true},
      {"3D0ABC", true},    {"K1ABCD", false},         {"K1", false},
      {"KA1", false},      {"K1AB.", false},          {"W1AW/P", true},
      {"PJ4/K1ABC", true}, {"K1ABC/VERYLONG", false}, {"QA1ABC", false},
      {"QU1RK", true},     {"123456", false},         {"ABCDEFG", false},
  };
  for (const Case& c : cases) EXPECT_EQ(check_callsign(field(c.call)).ok, c.ok) << c.call;
  EXPECT_EQ(view(check_callsign(field("PJ4/K1ABC")).baseCall), "K1ABC ");
}

// Directed CQs: digits as they are, letters right-aligned in four places, blank 0 and A..Z
// 1..26, in base 27.
TEST(Callsign, FixedAndDirectedCqTokens) {
  const std::pair<const char*, std::int32_t> cases[] = {
      {"DE", 0},          {"QRZ", 1}, {"CQ", 2}, {"CQ_123", 3 + 123}, {"CQ_AB", 1003 + 1 * 27 + 2},
      {"CQ_WXYZ", 1003 + ((23 * 27 + 24) * 27 + 25) * 27 + 26}};
  for (const auto& [call, token] : cases) {
    EXPECT_EQ(pack(call), token) << call;
    EXPECT_EQ(unpack(token), call);
  }
  EXPECT_EQ(unpack(1003 + 1 * 27 * 27 + 2), "QU1RK") << "a blank inside the letters";
  EXPECT_EQ(unpack(600'000), "<...>") << "unassigned range";
}

TEST(Callsign, HashedCallsAreShownOnceRemembered) {
  const std::uint32_t hash = call_hash("W9HASH", kHashBits);
  const std::int32_t token = kN28Base + static_cast<std::int32_t>(hash);
  EXPECT_EQ(unpack(token), "<...>");
  EXPECT_EQ(pack("<W9HASH>"), token) << "a bracketed call packs to its hash";
  EXPECT_EQ(unpack(token), "<...>") << "call_to_n28 alone remembers nothing";
  EXPECT_EQ(call_to_n28_remember(field("<W9HASH>")), token);
  EXPECT_EQ(unpack(token), "<W9HASH>");
  EXPECT_EQ(pack("<W9HASH"), kN28Base) << "an unclosed bracket";
}

TEST(Callsign, NonStandardCallsHashAndListThemselves) {
  CallsToRemember listed;
  const std::int32_t token = call_to_n28(field("PJ4/K1ABC"), listed);
  EXPECT_EQ(token, kN28Base + static_cast<std::int32_t>(call_hash("PJ4/K1ABC", kHashBits)));
  ASSERT_EQ(listed.count, 1);
  EXPECT_EQ(trimmed(listed.calls[0]), "PJ4/K1ABC");
}

// Known answers, worked out with exact integers apart from this code; base 38 over " 0-9A-Z/",
// first 11 characters only.
TEST(Callsign, HashIsTheExactTopBitsOfTheProduct) {
  const std::tuple<const char*, int, std::uint32_t> cases[] = {
      {"K1ABC", 22, 2920267u},          {"K1ABC", 12, 2851u},      {"K1ABC", 1, 1u},
      {"K1ABC", 32, 2990353901u},       {"PJ4/K1ABC", 22, 1420834u}, {"W9HASH", 10, 468u},
      {"K1ABC/PPPPPPP", 22, call_hash("K1ABC/PPPPP", 22)}};
  for (const auto& [call, bits, hash] : cases) EXPECT_EQ(call_hash(call, bits), hash) << call;
}

TEST(Callsign, ArbitraryTokensNeverGiveOversizedOrUnsafeTexts) {
  std::mt19937 rng(9);
  for (int trial = 0; trial < 20000; ++trial) {
    const auto token = static_cast<std::int32_t>(rng());
    const UnpackedCall call = n28_to_call(token, trial % 2 == 0);
    ASSERT_EQ(call.text.size(), 13u);
    if (!call.ok) {
      ASSERT_EQ(trimmed(call.text), "QU1RK");
    }
  }
  EXPECT_FALSE(n28_to_call_default(-1).ok);
  EXPECT_FALSE(n28_to_call_default(1 << 28).ok);
}

TEST(RecentCalls, ShortAndPlaceholderCallsAreNotRemembered) {
  remember_call(field("AB"));
  EXPECT_EQ(trimmed(hash22_to_call(static_cast<std::int32_t>(call_hash("AB", 22)))), "<...>");
  remember_call(field("<...>"));
  EXPECT_EQ(trimmed(hash22_to_call(static_cast<std::int32_t>(call_hash("<...>", 22)))), "<...>");
  remember_call(field("<K7BRK>"));
  EXPECT_EQ(trimmed(hash22_to_call(static_cast<std::int32_t>(call_hash("K7BRK", 22)))), "<K7BRK>");
}

}  // namespace
}  // namespace kvol
