#include "modem/four2a.h"

#include <fftw3.h>

#include <array>
#include <cstdint>
#include <mutex>

#include "modem/kvol_fatal.h"

namespace kvol {
namespace {

constexpr int kPlanSlots = 2100;
constexpr int kUsablePlans = kPlanSlots - 1;

// The plan cache: slots filled in order, kept for the life of the process. Touched only by the
// receive path, one call at a time.
struct Four2aState {
  struct Slot {
    int nfft = 0;
    int isign = 0;
    const void* address = nullptr;
    fftwf_plan plan = nullptr;
  };
  std::array<Slot, kPlanSlots> slots;
  int in_use = 0;
  std::once_flag planner_made_thread_safe;
} state;

// Plans on a scratch array with the same SIMD alignment as the caller's, so planning never
// touches the caller's data and the plan may be executed on the caller's array.
fftwf_plan make_plan(std::complex<float>* a, int nfft, int isign) {
  const std::size_t bytes = std::size_t(nfft) * sizeof(fftwf_complex) + 64;
  auto* base = static_cast<char*>(fftwf_malloc(bytes));
  if (base == nullptr) allocation_failed(bytes);
  const int wanted = fftwf_alignment_of(reinterpret_cast<float*>(a));
  int offset = 0;
  while (offset < 64 && fftwf_alignment_of(reinterpret_cast<float*>(base + offset)) != wanted) {
    offset += 4;
  }
  if (offset >= 64) fatal("four2a cannot match the array's alignment");
  auto* scratch = reinterpret_cast<fftwf_complex*>(base + offset);

  make_fftw_planner_thread_safe();
  // Estimated plans: measuring would stall the capture thread at each new length.
  const unsigned flags = FFTW_ESTIMATE;
  const fftwf_plan plan =
      fftwf_plan_dft_1d(nfft, scratch, scratch, isign < 0 ? FFTW_FORWARD : FFTW_BACKWARD, flags);
  fftwf_free(base);
  if (plan == nullptr) fatal("FFTW could not make a plan in four2a");
  return plan;
}

}  // namespace

void make_fftw_planner_thread_safe() {
  std::call_once(state.planner_made_thread_safe, [] { fftwf_make_planner_thread_safe(); });
}

void four2a(std::complex<float>* a, int nfft, int /*ndim*/, int isign, int iform) {
  // Complex transforms are all the receiver asks for.
  if (iform != 1 || (isign != -1 && isign != 1)) fatal("Unsupported request in four2a");
  if (nfft <= 0) return;

  int found = -1;
  for (int i = 0; i < state.in_use; ++i) {
    const auto& slot = state.slots[i];
    if (slot.nfft == nfft && slot.isign == isign && slot.address == a) {
      found = i;
      break;
    }
  }
  if (found < 0) {
    if (state.in_use > 0 && state.in_use + 1 > kUsablePlans)
      fatal("Too many FFTW plans requested.");
    found = state.in_use;
    state.slots[found] = {nfft, isign, a, make_plan(a, nfft, isign)};
    ++state.in_use;
  }

  const fftwf_plan plan = state.slots[found].plan;
  auto* data = reinterpret_cast<fftwf_complex*>(a);
  fftwf_execute_dft(plan, data, data);
}

}  // namespace kvol
