#include "modem/four2a.h"

#include <gtest/gtest.h>

#include <complex>
#include <cstdlib>
#include <numbers>
#include <random>
#include <vector>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers keep their own heap, which glibc's counts do not see.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

namespace {

using cf = std::complex<float>;
using cd = std::complex<double>;

// Bytes the process holds on the heap now.
std::size_t heap_in_use() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return __sanitizer_get_current_allocated_bytes();
#else
  return mallinfo2().uordblks;
#endif
}

void clear_plan_cache(int ndim = 1) {
  cf unused;
  kvol::four2a(&unused, -1, ndim, -1, 1);
}

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
  int nfft;
  int isign;
  int iform;
  int patience;  // 0 estimates, 2 measures
};

void PrintTo(const KnownAnswer& c, std::ostream* out) {
  *out << c.form << " of " << c.nfft << " at patience " << c.patience;
}

class Four2aKnownAnswers : public testing::TestWithParam<KnownAnswer> {
 protected:
  void TearDown() override { kvol::set_planner_patience(0); }
};

// x(j) for j < n from the spectrum's bins 0 .. n/2 of a real series (the others are conjugates).
double real_from_half_spectrum(const std::vector<cd>& half, int n, int j) {
  double sum = 0.0;
  for (int k = 0; k < n; ++k) {
    const cd bin = k <= n / 2 ? half[k] : std::conj(half[n - k]);
    sum += (bin * std::polar(1.0, 2.0 * std::numbers::pi * double(j) * k / n)).real();
  }
  return sum;
}

TEST_P(Four2aKnownAnswers, MatchesTheDirectSumOnTheFirstAndTheCachedCall) {
  const KnownAnswer c = GetParam();
  kvol::set_planner_patience(c.patience);
  const int n = c.nfft;
  const int values = c.iform == 1 ? n : n / 2 + 1;
  // About 40 bins or samples checked; the direct sum of the longest transforms is slow.
  const int stride = std::max(1, n / 40);
  const double tolerance = 2e-5 * n + 1e-4;
  std::mt19937 rng(n);
  std::normal_distribution<double> g;
  for (int offset : {0, 1})
    for (int call = 0; call < 2; ++call) {
      SCOPED_TRACE(testing::Message() << c.form << " nfft " << n << " patience " << c.patience
                                      << " offset " << offset << " call " << call);
      std::vector<cf> storage(values + 1);
      cf* a = storage.data() + offset;
      if (c.iform == 0) {  // real input in the first n floats
        std::vector<double> x(n);
        for (double& v : x) v = g(rng);
        auto* floats = reinterpret_cast<float*>(a);
        for (int j = 0; j < n; ++j) floats[j] = float(x[j]);
        kvol::four2a(a, n, 1, c.isign, c.iform);
        for (int k = 0; k <= n / 2; k += std::min(stride, std::max(1, n / 2 - k))) {
          cd dft;
          for (int j = 0; j < n; ++j)
            dft += x[j] * std::polar(1.0, -2.0 * std::numbers::pi * j * k / n);
          ASSERT_LT(std::abs(cd(a[k]) - dft), tolerance) << "bin " << k;
        }
      } else if (c.iform == -1) {  // the spectrum of a real series in, the series out
        std::vector<cd> half(values);
        for (cd& v : half) v = {g(rng), g(rng)};
        half[0].imag(0.0);
        if (n % 2 == 0) half[n / 2].imag(0.0);
        for (int k = 0; k < values; ++k) a[k] = cf(half[k]);
        kvol::four2a(a, n, 1, c.isign, c.iform);
        const auto* floats = reinterpret_cast<const float*>(a);
        for (int j = 0; j < n; j += stride)
          ASSERT_NEAR(floats[j], real_from_half_spectrum(half, n, j), tolerance) << "sample " << j;
      } else {
        std::vector<cd> x(n);
        for (cd& v : x) v = {g(rng), g(rng)};
        for (int j = 0; j < n; ++j) a[j] = cf(x[j]);
        kvol::four2a(a, n, 1, c.isign, c.iform);
        for (int k = 0; k < n; k += stride) {
          cd dft;
          for (int j = 0; j < n; ++j)
            dft += x[j] * std::polar(1.0, c.isign * 2.0 * std::numbers::pi * j * k / n);
          ASSERT_LT(std::abs(cd(a[k]) - dft), tolerance) << "bin " << k;
        }
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

// One plan per array: `plans` arrays of 16 values side by side, from the first or the second
// table's worth of arrays.
void make_plans(std::vector<cf>& arrays, int plans, int table = 0) {
  for (int i = 0; i < plans; ++i)
    kvol::four2a(arrays.data() + 16 * (kTablePlans * table + i), 16, 1, -1, 1);
}

TEST(Four2a, ClearingDestroysEveryPlanTransformsNothingAndMakesRoom) {
  std::vector<cf> arrays(2 * 16 * kTablePlans);
  clear_plan_cache();
  make_plans(arrays, 1);  // FFTW's own lasting setup
  clear_plan_cache();

  const std::size_t before = heap_in_use();
  make_plans(arrays, kTablePlans);
  const std::size_t grown = heap_in_use() - before;
  ASSERT_GT(grown, 100'000u);
  std::vector<cf> untouched(16, cf(1.0f, 2.0f));
  kvol::four2a(untouched.data(), -16, 1, -1, 1);
  EXPECT_EQ(untouched, std::vector<cf>(16, cf(1.0f, 2.0f)));
  const std::size_t after = heap_in_use();
  ASSERT_LT(after - std::min(after, before), grown / 10) << "plans left alive: " << after - before;

  // A full table again, on other arrays: the 2100th plan would stop the program.
  std::fill(arrays.begin(), arrays.end(), cf(1.0f, 0.0f));
  make_plans(arrays, kTablePlans, 1);
  EXPECT_EQ(arrays[arrays.size() - 16], cf(16.0f, 0.0f));  // the last array transformed
  EXPECT_DEATH(kvol::four2a(untouched.data(), 16, 1, -1, 1), "Too many FFTW plans requested.");
  clear_plan_cache();
}

// For a clear after FFTW has been torn down: the handles are dropped, not destroyed. The process
// ends with them unfreed, so this runs in a child of its own.
TEST(Four2aDeathTest, ForgetsThePlansWithoutDestroyingThemWhenNdimIsMinus999) {
  EXPECT_EXIT(
      {
        std::vector<cf> arrays(2 * 16 * kTablePlans);
        clear_plan_cache();
        make_plans(arrays, 1);
        clear_plan_cache();
        const std::size_t before = heap_in_use();
        make_plans(arrays, kTablePlans);
        const std::size_t grown = heap_in_use() - before;
        clear_plan_cache(-999);
        const bool kept = heap_in_use() - before > grown * 9 / 10;
        make_plans(arrays, kTablePlans, 1);  // room for a full table again
        std::_Exit(kept ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
