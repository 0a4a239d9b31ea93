#include "modem/four2a.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <complex>
#include <cstdlib>
#include <numbers>
#include <random>
#include <vector>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers keep a heap of their own, which glibc does not count.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
static std::size_t heap_in_use() { return __sanitizer_get_current_allocated_bytes(); }
#else
#include <malloc.h>
static std::size_t heap_in_use() { return mallinfo2().uordblks; }
#endif

namespace {

using cf = std::complex<float>;
using cd = std::complex<double>;

// Both directions, on arrays that start on a SIMD boundary or 8 bytes past one, on the first call
// (planning must not disturb the values) and on the second (the cached plan).
TEST(Four2a, MatchesTheDftInBothDirectionsOnArraysOfAnyAlignment) {
  std::mt19937 rng(3);
  std::normal_distribution<float> g;
  std::vector<cf> input(256), storage(258);
  for (auto& v : input) v = {g(rng), g(rng)};
  for (int sign : {-1, 1})
    for (int offset : {0, 1})
      for (int call = 0; call < 2; ++call) {
        cf* a = storage.data() + offset;
        std::copy(input.begin(), input.end(), a);
        kvol::four2a(a, 256, 1, sign, 1);
        for (int k = 0; k < 256; k += 5) {
          std::complex<double> dft;
          for (int j = 0; j < 256; ++j)
            dft += std::complex<double>(input[j]) *
                   std::polar(1.0, sign * std::numbers::pi * j * k / 128);
          ASSERT_NEAR(std::abs(a[k] - cf(dft)), 0.0, 2e-3)
              << "sign " << sign << " offset " << offset << " call " << call << " bin " << k;
        }
      }
}

// Planning by measurement runs transforms on the array itself: the values saved around it (up to
// 16 385 of them) must come back before the first transform.
struct KnownAnswer {
  const char* form;
  int nfft, isign, iform;
  int patience;  // 0 estimates, 2 measures
};

void PrintTo(const KnownAnswer& c, std::ostream* out) {
  *out << c.form << " of " << c.nfft << " at patience " << c.patience;
}

class Four2aKnownAnswers : public testing::TestWithParam<KnownAnswer> {
  void TearDown() override { kvol::set_planner_patience(0); }
};

// Each form as the direct sum over a whole series x of n values: a real x in (real-to-complex),
// or the spectrum of a real series, of which the array holds bins 0 to n/2 (complex-to-real).
TEST_P(Four2aKnownAnswers, MatchesTheDirectSumOnTheFirstAndTheCachedCall) {
  const auto [form, n, isign, iform, patience] = GetParam();
  kvol::set_planner_patience(patience);
  const int held = iform == 1 ? n : n / 2 + 1;     // complex values in the array
  const int outputs = iform == 0 ? n / 2 + 1 : n;  // bins, or samples of the series
  std::mt19937 rng(n);
  std::normal_distribution<double> g;
  for (int offset : {0, 1})
    for (int call = 0; call < 2; ++call) {
      SCOPED_TRACE(testing::Message() << "offset " << offset << " call " << call);
      std::vector<cf> storage(held + 1);
      cf* a = storage.data() + offset;
      std::vector<cd> x(n);
      if (iform == 0) {  // in the first n floats
        for (int j = 0; j < n; ++j) x[j] = g(rng);
        for (int j = 0; j < n; ++j) reinterpret_cast<float*>(a)[j] = float(x[j].real());
      }
      for (int j = 0; iform != 0 && j < held; ++j) {
        const bool real = iform == -1 && (j == 0 || 2 * j == n);
        x[j] = {g(rng), real ? 0.0 : g(rng)};
        if (iform == -1 && j > 0) x[n - j] = std::conj(x[j]);
        a[j] = cf(x[j]);
      }
      kvol::four2a(a, n, 1, isign, iform);
      // About 40 checked, and the last: the direct sum of the longest transforms is slow.
      std::vector<int> checked{outputs - 1};
      for (int k = 0; k < outputs; k += std::max(1, n / 40)) checked.push_back(k);
      for (const int k : checked) {
        cd dft;
        for (int j = 0; j < n; ++j)
          dft += x[j] * std::polar(1.0, isign * 2 * std::numbers::pi * j * k / n);
        const cd got = iform == -1 ? cd(reinterpret_cast<float*>(a)[k]) : cd(a[k]);
        ASSERT_LT(std::abs(got - dft), 2e-5 * n + 1e-4) << "at " << k;
      }
    }
}

INSTANTIATE_TEST_SUITE_P(Forms, Four2aKnownAnswers,
                         testing::Values(KnownAnswer{"real-to-complex", 16, -1, 0, 0},
                                         KnownAnswer{"real-to-complex", 100, -1, 0, 0},
                                         KnownAnswer{"real-to-complex", 16385, -1, 0, 0},
                                         KnownAnswer{"real-to-complex", 20000, -1, 0, 0},
                                         KnownAnswer{"real-to-complex", 16384, -1, 0, 2},
                                         KnownAnswer{"complex-to-real", 16, 1, -1, 0},
                                         KnownAnswer{"complex-to-real", 100, 1, -1, 0},
                                         KnownAnswer{"complex-to-real", 16385, 1, -1, 0},
                                         KnownAnswer{"complex-to-real", 20000, 1, -1, 0},
                                         KnownAnswer{"complex-to-real", 16384, 1, -1, 2},
                                         KnownAnswer{"forward", 1024, -1, 1, 2},
                                         KnownAnswer{"backward", 1024, 1, 1, 2}));

TEST(Four2aDeathTest, StopsOnAnUnsupportedRequest) {
  std::vector<cf> a(16);
  EXPECT_DEATH(kvol::four2a(a.data(), 16, 1, -1, -1), "Unsupported request in four2a");
  EXPECT_DEATH(kvol::four2a(a.data(), 16, 1, 1, 0), "Unsupported request in four2a");
}

constexpr int kTablePlans = 2099;

// What a clear with a given ndim did, found on a table filled with a plan per array and filled
// again afterwards with plans on other arrays, which the 2100th would stop.
struct Clearing {
  double shareKept = 1.0;              // of the plans' heap, still held after the clear
  bool transformed = false;            // the clear changed the array it was given
  bool lastLeftUntransformed = false;  // the table had no room for the refill's last plan
};

Clearing clear_filled_table(int ndim) {
  std::vector<cf> arrays(2 * 16 * kTablePlans, cf(1.0f, 0.0f));
  auto fill = [&](int table) {
    for (int i = 0; i < kTablePlans; ++i)
      kvol::four2a(arrays.data() + 16 * (kTablePlans * table + i), 16, 1, -1, 1);
  };
  kvol::four2a(arrays.data(), -1, 1, -1, 1);
  kvol::four2a(arrays.data(), 16, 1, -1, 1);  // FFTW's own lasting setup
  kvol::four2a(arrays.data(), -1, 1, -1, 1);
  const std::size_t before = heap_in_use();
  fill(0);
  const double grown = double(heap_in_use() - before);
  const std::vector<cf> first(arrays.begin(), arrays.begin() + 16);
  kvol::four2a(arrays.data(), -16, ndim, -1, 1);
  Clearing clearing;
  clearing.transformed = std::vector<cf>(arrays.begin(), arrays.begin() + 16) != first;
  clearing.shareKept = (double(heap_in_use()) - double(before)) / grown;
  fill(1);
  clearing.lastLeftUntransformed = arrays[arrays.size() - 16] != cf(16.0f, 0.0f);
  return clearing;
}

TEST(Four2aDeathTest, ClearingDestroysEveryPlanTransformsNothingAndMakesRoom) {
  const Clearing clearing = clear_filled_table(1);
  EXPECT_LT(clearing.shareKept, 0.1);
  EXPECT_FALSE(clearing.transformed);
  EXPECT_FALSE(clearing.lastLeftUntransformed);
  cf another[16];
  EXPECT_DEATH(kvol::four2a(another, 16, 1, -1, 1), "Too many FFTW plans requested.");
  kvol::four2a(another, -1, 1, -1, 1);
}

// For a clear after FFTW itself has been torn down: the handles are dropped, not destroyed. The
// process ends with them unfreed, so this runs in a child of its own, which reports what it
// found in its exit code: a failed check inside the child would fail nothing here.
TEST(Four2aDeathTest, ForgetsThePlansWithoutDestroyingThemWhenNdimIsMinus999) {
  enum Finding { kFreed = 1, kTransformed = 2, kLastLeftUntransformed = 4 };
  int found = -1;
  const auto exitedWith = [&found](int status) {
    if (WIFEXITED(status)) found = WEXITSTATUS(status);
    return WIFEXITED(status);
  };
  EXPECT_EXIT(
      {
        const Clearing clearing = clear_filled_table(-999);
        std::_Exit((clearing.shareKept > 0.9 ? 0 : kFreed) |
                   (clearing.transformed ? kTransformed : 0) |
                   (clearing.lastLeftUntransformed ? kLastLeftUntransformed : 0));
      },
      exitedWith, "");
  ASSERT_GE(found, 0) << "the child did not exit";
  EXPECT_FALSE(found & kFreed) << "the plans' heap was freed";
  EXPECT_FALSE(found & kTransformed) << "the clear transformed the array";
  EXPECT_FALSE(found & kLastLeftUntransformed) << "no room for the refill's last plan";
}

}  // namespace
