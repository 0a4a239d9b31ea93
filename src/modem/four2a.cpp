#include "modem/four2a.h"

#include <fftw3.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <mutex>

#include "modem/kvol_fatal.h"

namespace kvol {
namespace {

constexpr int kPlanSlots = 2100;
constexpr int kUsablePlans = kPlanSlots - 1;
constexpr int kSaveAreaLength = 16385;
constexpr int kForgetPlans = -999;  // ndim of a clearing call that must not destroy

// The plan cache: slots filled in order, kept for the life of the process, and the values of the
// array being planned on, kept aside while the planner may scribble on them. Touched only by the
// receive path, one call at a time.
struct Four2aState {
  struct Slot {
    int nfft = 0;
    int isign = 0;
    int iform = 0;
    const void* address = nullptr;
    fftwf_plan plan = nullptr;
  };
  std::array<Slot, kPlanSlots> slots;
  int in_use = 0;
  std::array<std::complex<float>, kSaveAreaLength> save_area;
  int patience = 0;
  std::once_flag planner_made_thread_safe;
} state;

unsigned planner_flags(int patience) {
  switch (patience) {
    case 1:
      return FFTW_ESTIMATE_PATIENT;
    case 2:
      return FFTW_MEASURE;
    case 3:
      return FFTW_PATIENT;
    case 4:
      return FFTW_EXHAUSTIVE;
    default:
      return FFTW_ESTIMATE;
  }
}

bool supported(int isign, int iform) {
  return (iform == 1 && (isign == -1 || isign == 1)) || (iform == 0 && isign == -1) ||
         (iform == -1 && isign == 1);
}

fftwf_plan make_plan(std::complex<float>* a, int nfft, int isign, int iform) {
  // Planning other than by estimate runs transforms on a: its values go aside meanwhile.
  const int kept = nfft > kSaveAreaLength ? 0 : iform == 1 ? nfft : nfft / 2 + 1;
  std::copy_n(a, kept, state.save_area.begin());

  make_fftw_planner_thread_safe();
  const unsigned flags = planner_flags(state.patience);
  auto* complex = reinterpret_cast<fftwf_complex*>(a);
  auto* real = reinterpret_cast<float*>(a);
  fftwf_plan plan = nullptr;
  if (iform == 1) {
    plan =
        fftwf_plan_dft_1d(nfft, complex, complex, isign < 0 ? FFTW_FORWARD : FFTW_BACKWARD, flags);
  } else if (iform == 0) {
    plan = fftwf_plan_dft_r2c_1d(nfft, real, complex, flags);
  } else {
    plan = fftwf_plan_dft_c2r_1d(nfft, complex, real, flags);
  }
  if (plan == nullptr) fatal("FFTW could not make a plan in four2a");

  std::copy_n(state.save_area.begin(), kept, a);
  return plan;
}

void clear_plans(int ndim) {
  make_fftw_planner_thread_safe();
  for (int i = 0; i < state.in_use; ++i) {
    if (ndim != kForgetPlans) fftwf_destroy_plan(state.slots[i].plan);
    state.slots[i] = {};
  }
  state.in_use = 0;
}

}  // namespace

void make_fftw_planner_thread_safe() {
  std::call_once(state.planner_made_thread_safe, [] { fftwf_make_planner_thread_safe(); });
}

void set_planner_patience(int patience) { state.patience = patience; }

void four2a(std::complex<float>* a, int nfft, int ndim, int isign, int iform) {
  if (nfft < 0) {
    clear_plans(ndim);
    return;
  }
  if (!supported(isign, iform)) fatal("Unsupported request in four2a");
  if (nfft == 0) return;

  int found = -1;
  for (int i = 0; i < state.in_use; ++i) {
    const auto& slot = state.slots[i];
    if (slot.nfft == nfft && slot.isign == isign && slot.iform == iform && slot.address == a) {
      found = i;
      break;
    }
  }
  if (found < 0) {
    if (state.in_use > 0 && state.in_use + 1 > kUsablePlans)
      fatal("Too many FFTW plans requested.");
    found = state.in_use;
    state.slots[found] = {nfft, isign, iform, a, make_plan(a, nfft, isign, iform)};
    ++state.in_use;
  }
  // Made on a itself, so the plan runs on the array it was made for.
  fftwf_execute(state.slots[found].plan);
}

}  // namespace kvol
