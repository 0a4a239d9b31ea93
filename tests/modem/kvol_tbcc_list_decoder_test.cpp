#include "modem/kvol_tbcc_list_decoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "modem/kvol_tbcc_encoder.h"

namespace {

using cf = std::complex<float>;
using kvol::PayloadBits;

struct Sets {
  std::vector<cf> a = std::vector<cf>(kvol::kCorrelationSetSize);
  std::vector<float> b = std::vector<float>(kvol::kCorrelationSetSize);
};

PayloadBits random_payload(std::mt19937& rng) {
  PayloadBits bits{};
  do {
    for (auto& bit : bits) bit = std::uint8_t(rng() & 1);
    bits[kvol::kAtomWordBits] = 0;  // frame character 33 is always "0"
  } while (std::all_of(bits.begin(), bits.end(), [](auto b) { return b == 0; }));
  return bits;
}

// Tail-biting encoding of any 46-bit word, written out here so that words with a wrong CRC can
// be sent too.
Sets noiseless(const kvol::CodeWord& u) {
  unsigned s = 0;
  for (int k = 37; k < 46; ++k) s = (s << 1) | u[k];
  Sets sets;
  for (int k = 0; k < 46; ++k) {
    const unsigned r = ((s << 1) | u[k]) & 1023u;
    const int c1 = __builtin_parity(r & 631u), c2 = __builtin_parity(r & 869u);
    const int symbol = c1 == 0 ? c2 : (c2 == 1 ? 2 : 3);
    sets.a[k * 4 + symbol] = 1.0f;
    sets.b[k * 4 + symbol] = 1.0f;
    s = r & 511u;
  }
  return sets;
}

// What decode_frame makes of noiseless sets, clean, with the coherent set empty, with a value
// in it that is not a number, and of an all-zero payload (which would pass the CRC but is no
// frame): whether it decodes, which attempt did (0: none; 4: the plan of length 1 on the
// half-symbol set B; -1: any), and with which set.
TEST(TbccListDecoder, DecodeFrameTriesThePlansThenTheSecondSet) {
  const struct {
    int attempt;
    bool ok, set_b;
  } cases[] = {{1, true, false}, {4, true, true}, {-1, true, false}, {0, false, false}};
  std::mt19937 rng(11);
  for (int k = 0; k < 4; ++k)
    for (int trial = 0; trial < 4; ++trial) {
      PayloadBits sent = random_payload(rng);
      if (k == 3) sent.fill(0);
      Sets sets = noiseless(kvol::tbcc_append_crc(sent));
      if (k == 1) std::fill(sets.a.begin(), sets.a.end(), cf{});
      if (k == 2) sets.a[5 * 4 + (kvol::tbcc_encode(sent)[5] + 1) % 4] = cf{std::nanf(""), 0.0f};
      PayloadBits got{};
      kvol::TbccDiagnostics diagnostics;
      ASSERT_EQ(kvol::tbcc_decode_frame(sets.a, sets.b, got, &diagnostics), cases[k].ok) << k;
      EXPECT_EQ(got, cases[k].ok ? sent : PayloadBits{}) << k;
      if (cases[k].attempt < 0) continue;
      EXPECT_EQ(diagnostics.attempt, cases[k].attempt) << k;
      EXPECT_EQ(diagnostics.used_set_b, cases[k].set_b) << k;
    }
}

// Every coherent length ranks the sent word first, and flags it when its CRC is wrong; a wrong
// CRC is never accepted and leaves the payload cleared.
TEST(TbccListDecoder, ListRanksTheSentWordFirstAndChecksItsCrc) {
  std::mt19937 rng(99);
  for (int length : {1, 2, 4}) {
    kvol::TbccPlan plan;
    kvol::TbccWorkspace workspace;
    kvol::tbcc_plan_init(plan, kvol::kKvolCodeProfile, length, 4, 2, 4);
    kvol::tbcc_workspace_init(workspace, plan);
    for (int trial = 0; trial < 20; ++trial) {
      const bool spoil = trial % 2;
      kvol::CodeWord word = kvol::tbcc_append_crc(random_payload(rng));
      while (spoil && kvol::crc12_check(word))
        for (int k = 34; k < 46; ++k) word[k] = std::uint8_t(rng() & 1);
      const Sets sets = noiseless(word);
      std::array<kvol::TbccCandidate, 4> out;
      const int count = kvol::tbcc_list_decode(plan, workspace, sets.a, out, true);
      ASSERT_GE(count, 1);
      EXPECT_EQ(out[0].bits, word) << "L " << length;
      EXPECT_EQ(out[0].crc_ok, !spoil) << "L " << length;
      for (int k = 1; k < count; ++k) EXPECT_LT(out[k].clean_metric, out[0].clean_metric);
      if (!spoil) continue;
      PayloadBits got{1};
      EXPECT_FALSE(kvol::tbcc_decode_frame(sets.a, sets.b, got)) << trial;
      EXPECT_EQ(got, PayloadBits{}) << "payload is cleared on failure";
    }
  }
}

// Only the one code profile and the plan shapes the receiver uses are accepted.
TEST(TbccDeathTest, AcceptsOnlyTheSupportedProfileAndShapes) {
  kvol::TbccPlan plan;
  kvol::CodeProfile other = kvol::kKvolCodeProfile;
  other.generator1 = 0755;
  const PayloadBits payload{};
  EXPECT_DEATH(kvol::tbcc_encode(payload, &other), "unsupported KVOL TBCC code profile");
  EXPECT_DEATH(kvol::tbcc_append_crc(payload, &other), "unsupported KVOL TBCC code profile");
  EXPECT_DEATH(kvol::tbcc_plan_init(plan, other, 1, 4, 2, 4),
               "TBCC list decoder requires a supported code profile");
  EXPECT_DEATH(kvol::tbcc_plan_init(plan, kvol::kKvolCodeProfile, 3, 4, 2, 4),
               "TBCC list decoder supports coherent lengths 1, 2, and 4");
  EXPECT_DEATH(kvol::tbcc_plan_init(plan, kvol::kKvolCodeProfile, 1, 5, 2, 4),
               "per-state width must be between 1 and 4");
  const std::vector<cf> short_set(10);
  const std::vector<float> b(kvol::kCorrelationSetSize);
  PayloadBits got{};
  EXPECT_DEATH(kvol::tbcc_decode_frame(short_set, b, got), "4 x 46");
}

}  // namespace
