#include "modem/rkvol_sub.h"

#include <algorithm>
#include <array>
#include <cfenv>

#include "modem/kvol_constants.h"
#include "modem/kvol_mdecode.h"
#include "modem/rx_streams.h"

namespace kvol {
namespace {

constexpr float kPass0SyncLimitDb = 4.6f;
constexpr int kFirstSample = 1;  // the receive period's start marker, 1-based

// How far the receive period has been decoded: the buffer length at its reset (so large at
// first that the first call always resets) and the next window's 1-based start.
struct SchedulerState {
  int saved_length = 9'999'999;
  int pos = kFirstSample;
};

SchedulerState state;

// Leaves the caller's floating-point environment as it found it.
class FloatingPointGuard {
 public:
  FloatingPointGuard() { std::fegetenv(&saved_); }
  ~FloatingPointGuard() { std::fesetenv(&saved_); }
  FloatingPointGuard(const FloatingPointGuard&) = delete;
  FloatingPointGuard& operator=(const FloatingPointGuard&) = delete;

 private:
  std::fenv_t saved_;
};

// Decodes the window at 1-based sample pos, then the three earlier windows once per new frame.
void decode_window(const std::int16_t* iwave, int npts, int pos, int window, int nsps, int nfa,
                   int nfb, float fcentre, float ftol) {
  if (pos < 1 || pos + window - 1 > npts) return;
  const int step = rkvol_step(nsps);
  const float t = static_cast<float>(pos - 1) / kRxSampleRate;
  const float frame_length = static_cast<float>(kSymbolsPerFrame * nsps) / kRxSampleRate;
  expire_streams(t, frame_length);

  // The program prints nothing of its decoding.
  decode_block(pos, kFirstSample, iwave + (pos - 1), window, nsps, kNoListing, nfa, nfb, fcentre,
               ftol, kPass0SyncLimitDb);
  // Every re-decode refills the list, so work from a copy of this window's frames.
  const std::span<const RedecodeFrame> listed = redecode_list();
  std::array<RedecodeFrame, kMaxRedecodes> frames;
  const int count = static_cast<int>(std::min<std::size_t>(listed.size(), frames.size()));
  std::copy_n(listed.begin(), count, frames.begin());
  for (int i = 0; i < count; ++i)
    for (int k = 1; k <= 3; ++k) {
      const int p = pos - k * step;
      if (p <= 0) continue;
      request_redecode(frames[i]);
      decode_block(p, kFirstSample, iwave + (p - 1), window, nsps, kNoListing, nfa, nfb, fcentre,
                   ftol, kPass0SyncLimitDb);
    }
}

}  // namespace

bool rkvol_supported_nsps(int nsps) {
  return nsps == 240 || nsps == 320 || nsps == 384 || nsps == 480;
}

int rkvol_step(int nsps) { return kSymbolsPerFrame * nsps / 4; }

int rkvol_window(int nsps) { return rkvol_step(nsps) + kSymbolsPerFrame * nsps; }

void rkvol_sub_entry(const std::int16_t* iwave, int npts, int nsps, int nfa, int nfb, float fcentre,
                     float ftol) {
  const FloatingPointGuard guard;
  if (!rkvol_supported_nsps(nsps)) return;
  const int step = rkvol_step(nsps);
  const int window = rkvol_window(nsps);
  if (npts > state.saved_length) {
    // pos + window - 1 <= npts, written so that it cannot overflow near 2^31.
    while (state.pos <= npts - window + 1) {
      decode_window(iwave, npts, state.pos, window, nsps, nfa, nfb, fcentre, ftol);
      state.pos += step;
    }
    return;
  }
  state.saved_length = npts;
  state.pos = kFirstSample;
  reset_streams();
}

}  // namespace kvol
