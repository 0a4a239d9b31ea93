#include "modem/kvol_tbcc_list_decoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <functional>
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

Sets noiseless(const kvol::DataSymbols& symbols) {
  Sets sets;
  for (int s = 0; s < 46; ++s) {
    sets.a[s * 4 + symbols[s]] = 1.0f;
    sets.b[s * 4 + symbols[s]] = 1.0f;
  }
  return sets;
}

// What decode_frame makes of noiseless sets, some of them spoilt: which attempt decodes, and
// whether it needed the half-symbol set.
TEST(TbccListDecoder, DecodeFrameTriesThePlansThenTheSecondSet) {
  struct Case {
    const char* name;
    std::function<void(PayloadBits&)> payload;
    std::function<void(Sets&, const kvol::DataSymbols&)> spoil;
    bool ok;
    int attempt;
    bool set_b;
  };
  const auto none = [](auto&...) {};
  const Case cases[] = {
      {"clean", none, none, true, 1, false},
      {"coherent set empty", none,
       [](Sets& s, const kvol::DataSymbols&) { std::fill(s.a.begin(), s.a.end(), cf{}); }, true,
       4, true},
      {"not a number in the coherent set", none,
       [](Sets& s, const kvol::DataSymbols& d) {
         s.a[5 * 4 + (d[5] + 1) % 4] = cf{std::nanf(""), 0.0f};
       },
       true, -1, false},
      // It would pass the CRC, but all zeros is no frame.
      {"all zero", [](PayloadBits& p) { p.fill(0); }, none, false, 0, false},
  };
  std::mt19937 rng(11);
  for (const Case& c : cases)
    for (int trial = 0; trial < 4; ++trial) {
      PayloadBits sent = random_payload(rng);
      c.payload(sent);
      const kvol::DataSymbols symbols = kvol::tbcc_encode(sent);
      Sets sets = noiseless(symbols);
      c.spoil(sets, symbols);
      PayloadBits got{};
      kvol::TbccDiagnostics diagnostics;
      ASSERT_EQ(kvol::tbcc_decode_frame(sets.a, sets.b, got, &diagnostics), c.ok) << c.name;
      EXPECT_EQ(got, c.ok ? sent : PayloadBits{}) << c.name;
      if (c.attempt < 0) continue;  // set B at the latest
      EXPECT_EQ(diagnostics.attempt, c.attempt) << c.name;
      EXPECT_EQ(diagnostics.used_set_b, c.set_b) << c.name;
    }
  // The bit after the atom word is always 0 on the air, so a word with it set is never returned.
  PayloadBits odd = random_payload(rng);
  odd[kvol::kAtomWordBits] = 1;
  const Sets sets = noiseless(kvol::tbcc_encode(odd));
  PayloadBits got{};
  if (kvol::tbcc_decode_frame(sets.a, sets.b, got)) {
    EXPECT_NE(got, odd);
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
      const Sets sets = noiseless(encode_word(word));
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
