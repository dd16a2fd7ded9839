#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <span>
#include <vector>

#include "conditioning/logf0.h"
#include "conditioning/warping.h"

namespace vallisynth {

TEST(Conditioning, PitchTransformsAndWarping) {
  // -1e10 and everything below it (and NaN) is unvoiced; -9.9e9 is voiced.
  std::vector<double> low{-9.9e9, -1e10, -2e10};
  shift_lf0(low, 1.0);
  EXPECT_EQ(low, (std::vector<double>{-9.9e9 + 1.0, -1e10, -2e10}));
  // Shift by log 2 to 200 and 800 Hz, halve the spread around their mean
  // (400 Hz, the unvoiced and NaN frames left out of it, summed in two
  // pieces): 400 / sqrt 2 and 400 sqrt 2.
  std::vector<double> t{std::log(100.0), -1e10, std::log(400.0), NAN};
  shift_lf0(t, std::log(2.0));
  double sum = 0.0;
  std::uint64_t count = 0;
  add_lf0_sum(std::span(t).first(1), sum, count);
  add_lf0_sum(std::span(t).subspan(1), sum, count);
  ASSERT_EQ(count, 2u);
  scale_lf0_range_around(t, 0.5, sum / 2.0);
  lf0_to_f0(t);
  EXPECT_NEAR(t[0], 400.0 / std::numbers::sqrt2, 1e-9);
  EXPECT_NEAR(t[2], 400.0 * std::numbers::sqrt2, 1e-9);
  EXPECT_EQ(t[1] + t[3], 0.0);

  EXPECT_NEAR(warp_frequency(warp_frequency(1.7, 0.42), -0.42), 1.7, 1e-12);
  EXPECT_NEAR(compose_warps(0.42, 0.1), 0.33403, 5e-6);
  // Unwarping limits to 0 .. fs / 2, and moves 2000 and 4000 Hz down.
  std::vector<double> fv{-5.0, 2000.0, 4000.0, 12000.0};
  unwarp_fv(fv, 16000.0, 0.42);
  EXPECT_EQ(fv[0] + fv[3], 8000.0);
  EXPECT_NEAR(fv[1], 853.57, 0.01);
  EXPECT_NEAR(fv[2], 1974.90, 0.01);
  // The stored form: c0 raised by 5, the rest doubled (four at a time and
  // a tail, in place or not).
  EXPECT_EQ(stored_to_plain_c0(5.5), 0.5);
  const std::vector<double> stored{2.0, -4.0, 6.0, 0.5, 8.0, -1e300};
  const std::vector<double> plain{1.0, -2.0, 3.0, 0.25, 4.0, -5e299};
  std::vector<double> out(stored.size()), inplace = stored;
  stored_to_plain_coefficients(stored, out);
  stored_to_plain_coefficients(inplace, inplace);
  EXPECT_EQ(out, plain);
  EXPECT_EQ(inplace, plain);
}

}  // namespace vallisynth
