#include "modem/kvol_tbcc_list_decoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "modem/kvol_tbcc_encoder.h"

namespace {

using cf = std::complex<float>;
using kvol::kCorrelationSetSize;
using kvol::PayloadBits;

struct Sets {
  std::vector<cf> a = std::vector<cf>(kCorrelationSetSize);
  std::vector<float> b = std::vector<float>(kCorrelationSetSize);
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
kvol::DataSymbols encode_word(const kvol::CodeWord& u) {
  unsigned s = 0;
  for (int k = 37; k < 46; ++k) s = (s << 1) | u[k];
  kvol::DataSymbols symbols{};
  for (int k = 0; k < 46; ++k) {
    const unsigned r = ((s << 1) | u[k]) & 1023u;
    const int c1 = __builtin_parity(r & 631u);
    const int c2 = __builtin_parity(r & 869u);
    symbols[k] = c1 == 0 ? c2 : (c2 == 1 ? 2 : 3);
    s = r & 511u;
  }
  return symbols;
}

kvol::CodeWord code_word(const PayloadBits& payload) { return kvol::tbcc_append_crc(payload); }

Sets noiseless(const kvol::DataSymbols& symbols) {
  Sets sets;
  for (int s = 0; s < 46; ++s) {
    sets.a[s * 4 + symbols[s]] = 1.0f;
    sets.b[s * 4 + symbols[s]] = 1.0f;
  }
  return sets;
}

TEST(TbccListDecoder, NoiselessFramesDecodeOnTheFirstPlan) {
  std::mt19937 rng(11);
  for (int trial = 0; trial < 12; ++trial) {
    const PayloadBits sent = random_payload(rng);
    const Sets sets = noiseless(kvol::tbcc_encode(sent));
    PayloadBits got{};
    kvol::TbccDiagnostics diagnostics;
    ASSERT_TRUE(kvol::tbcc_decode_frame(sets.a, sets.b, got, &diagnostics)) << trial;
    EXPECT_EQ(got, sent) << trial;
    EXPECT_EQ(diagnostics.attempt, 1);
    EXPECT_FALSE(diagnostics.used_set_b);
  }
}

TEST(TbccListDecoder, EveryCoherentLengthRanksTheSentWordFirst) {
  std::mt19937 rng(5);
  const PayloadBits sent = random_payload(rng);
  const kvol::CodeWord word = code_word(sent);
  const Sets sets = noiseless(kvol::tbcc_encode(sent));
  for (int length : {1, 2, 4}) {
    kvol::TbccPlan plan;
    kvol::TbccWorkspace workspace;
    kvol::tbcc_plan_init(plan, kvol::kKvolCodeProfile, length, 4, 2, 4);
    kvol::tbcc_workspace_init(workspace, plan);
    std::array<kvol::TbccCandidate, 4> out;
    const int count = kvol::tbcc_list_decode(plan, workspace, sets.a, out, true);
    ASSERT_GE(count, 1);
    EXPECT_EQ(out[0].bits, word) << "L " << length;
    EXPECT_TRUE(out[0].crc_ok);
    for (int k = 1; k < count; ++k) EXPECT_LT(out[k].clean_metric, out[0].clean_metric);
  }
}

TEST(TbccListDecoder, WrongCrcIsNeverAccepted) {
  std::mt19937 rng(99);
  kvol::TbccPlan plan;
  kvol::TbccWorkspace workspace;
  kvol::tbcc_plan_init(plan, kvol::kKvolCodeProfile, 1, 4, 2, 4);
  kvol::tbcc_workspace_init(workspace, plan);
  for (int trial = 0; trial < 30; ++trial) {
    const PayloadBits sent = random_payload(rng);
    kvol::CodeWord word = code_word(sent);
    do {
      for (int k = 34; k < 46; ++k) word[k] = std::uint8_t(rng() & 1);
    } while (kvol::crc12_check(word));
    const Sets sets = noiseless(encode_word(word));

    // The sent word ranks first and is flagged.
    std::array<kvol::TbccCandidate, 4> out;
    ASSERT_GE(kvol::tbcc_list_decode(plan, workspace, sets.a, out, true), 1);
    EXPECT_EQ(out[0].bits, word);
    EXPECT_FALSE(out[0].crc_ok);

    PayloadBits got{1};
    EXPECT_FALSE(kvol::tbcc_decode_frame(sets.a, sets.b, got)) << trial;
    EXPECT_EQ(got, PayloadBits{}) << "payload is cleared on failure";
  }
}

TEST(TbccListDecoder, AllZeroPayloadIsNeverReturned) {
  const PayloadBits zero{};
  ASSERT_TRUE(kvol::crc12_check(code_word(zero)));  // it would pass the CRC
  const Sets sets = noiseless(kvol::tbcc_encode(zero));
  PayloadBits got{};
  kvol::TbccDiagnostics diagnostics;
  const bool ok = kvol::tbcc_decode_frame(sets.a, sets.b, got, &diagnostics);
  EXPECT_FALSE(ok);
  EXPECT_EQ(diagnostics.attempt, 0);
  EXPECT_EQ(got, zero);
}

TEST(TbccListDecoder, FallsBackToTheSecondSetOnLengthOne) {
  std::mt19937 rng(3);
  const PayloadBits sent = random_payload(rng);
  Sets sets = noiseless(kvol::tbcc_encode(sent));
  std::fill(sets.a.begin(), sets.a.end(), cf{});  // the coherent set carries nothing
  PayloadBits got{};
  kvol::TbccDiagnostics diagnostics;
  ASSERT_TRUE(kvol::tbcc_decode_frame(sets.a, sets.b, got, &diagnostics));
  EXPECT_EQ(got, sent);
  EXPECT_EQ(diagnostics.attempt, 4);
  EXPECT_TRUE(diagnostics.used_set_b);
}

TEST(TbccListDecoder, ANotANumberCorrelationDoesNotHideTheFrame) {
  std::mt19937 rng(21);
  const PayloadBits sent = random_payload(rng);
  const kvol::DataSymbols symbols = kvol::tbcc_encode(sent);
  Sets sets = noiseless(symbols);
  const int wrong_tone = (symbols[5] + 1) % 4;
  sets.a[5 * 4 + wrong_tone] = cf{std::nanf(""), 0.0f};
  PayloadBits got{};
  ASSERT_TRUE(kvol::tbcc_decode_frame(sets.a, sets.b, got));  // set B at the latest
  EXPECT_EQ(got, sent);
}

// The bit after the atom word is always 0 on the air, so a word with it set is never returned.
TEST(TbccListDecoder, TheAlwaysZeroPayloadBitIsPruned) {
  std::mt19937 rng(8);
  PayloadBits sent = random_payload(rng);
  sent[kvol::kAtomWordBits] = 1;
  const Sets sets = noiseless(kvol::tbcc_encode(sent));
  PayloadBits got{};
  if (kvol::tbcc_decode_frame(sets.a, sets.b, got)) {
    EXPECT_NE(got, sent);
  }
}

TEST(TbccListDecoderDeathTest, AcceptsOnlyTheSupportedProfileAndShapes) {
  kvol::TbccPlan plan;
  kvol::CodeProfile other = kvol::kKvolCodeProfile;
  other.generator1 = 0755;
  EXPECT_DEATH(kvol::tbcc_plan_init(plan, other, 1, 4, 2, 4),
               "TBCC list decoder requires a supported code profile");
  EXPECT_DEATH(kvol::tbcc_plan_init(plan, kvol::kKvolCodeProfile, 3, 4, 2, 4),
               "TBCC list decoder supports coherent lengths 1, 2, and 4");
  EXPECT_DEATH(kvol::tbcc_plan_init(plan, kvol::kKvolCodeProfile, 1, 5, 2, 4),
               "per-state width must be between 1 and 4");
  const std::vector<cf> short_set(10);
  const std::vector<float> b(kCorrelationSetSize);
  PayloadBits got{};
  EXPECT_DEATH(kvol::tbcc_decode_frame(short_set, b, got), "4 x 46");
}

}  // namespace
