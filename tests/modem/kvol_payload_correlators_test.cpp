// The payload correlator stops the program on its callers' sizing mistakes rather than reading
// outside the signal or writing outside its outputs.
#include "modem/kvol_payload_correlators.h"

#include <gtest/gtest.h>

#include <complex>
#include <functional>
#include <vector>

namespace {

using cf = std::complex<float>;

// Each stop with its message; the receiver's own shapes (4 × 46 outputs, 384 or any positive
// even symbol length, offset 0) pass.
TEST(PayloadCorrelatorDeathTest, StopsOnAnUnpreparedCallABadOffsetShapeOrSymbolLength) {
  const std::vector<cf> signal(64 * 46);
  std::vector<cf> a(4 * 46), three_tones(3 * 46), fewer(4 * 45);
  std::vector<float> b(4 * 46);
  kvol::PayloadCorrelator prepared, unprepared;
  kvol::prepare_payload_correlator(prepared, 64);
  const struct {
    const char* name;
    std::function<void()> call;
    const char* stop;  // nullptr: no stop
  } cases[] = {
      {"prepared", [&] { kvol::payload_correlate(prepared, signal, 0, a, b); }, nullptr},
      {"even length", [&] { kvol::prepare_payload_correlator(unprepared, 2); }, nullptr},
      {"unprepared", [&] { kvol::payload_correlate(unprepared, signal, 0, a, b); },
       "unprepared KVOL payload correlator"},
      {"negative offset", [&] { kvol::payload_correlate(prepared, signal, -1, a, b); },
       "invalid KVOL payload offset"},
      {"three tones", [&] { kvol::payload_correlate(prepared, signal, 0, three_tones, b); },
       "invalid KVOL payload correlation shape"},
      {"symbol counts differ", [&] { kvol::payload_correlate(prepared, signal, 0, fewer, b); },
       "invalid KVOL payload correlation shape"},
      {"zero length", [&] { kvol::prepare_payload_correlator(unprepared, 0); },
       "invalid KVOL payload symbol length"},
      {"negative length", [&] { kvol::prepare_payload_correlator(unprepared, -384); },
       "invalid KVOL payload symbol length"},
      {"odd length", [&] { kvol::prepare_payload_correlator(unprepared, 383); },
       "invalid KVOL payload symbol length"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.stop) {
      EXPECT_DEATH(c.call(), c.stop);
    } else {
      EXPECT_EXIT((c.call(), std::exit(0)), testing::ExitedWithCode(0), "");
    }
  }
}

}  // namespace
