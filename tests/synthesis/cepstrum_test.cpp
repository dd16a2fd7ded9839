#include "synthesis/cepstrum.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <tuple>
#include <vector>

#include "conditioning/warping.h"

namespace vallisynth {

TEST(Cepstrum, HarmonicCountsAndMatrices) {
  // fv, f0 and the count: fv itself is not counted, fs/2 limits.
  const std::tuple<double, double, std::uint32_t> cases[] = {
      {4000, 100, 39}, {4000, 130, 30}, {20000, 100, 79}, {16000, 10, 799}, {4000, 4000, 0},
      {NAN, 100, 0},   {4000, NAN, 0},  {4000, 0, 0},     {4000, -100, 0}};
  for (const auto& [fv, f0, count] : cases) {
    EXPECT_EQ(hanoharms(16000.0, fv, f0), count) << fv << ' ' << f0;
  }
  // Row i: 1, 2 cos(j w), and 0, -2 sin(j w), w the warped angle of (i + 1) f0.
  constexpr std::uint32_t kOrder = 24, kRows = 40;
  std::vector<double> a((kOrder + 1) * kRows), b(a.size());
  ASSERT_EQ(matccharmonic(kOrder, kRows, 170.0, 16000.0, 0.42, a, b), 0);
  for (std::uint32_t i = 0; i < kRows; ++i) {
    const double w = fwarp((i + 1.0) * 2.0 * std::numbers::pi * 170.0 / 16000.0, 0.42);
    for (std::uint32_t j = 0; j <= kOrder; ++j) {
      const double jw = j * w;
      EXPECT_NEAR(a[i * (kOrder + 1) + j], j == 0 ? 1.0 : 2.0 * std::cos(jw), 1e-12) << i << j;
      EXPECT_NEAR(b[i * (kOrder + 1) + j], j == 0 ? 0.0 : -2.0 * std::sin(jw), 1e-12) << i << j;
    }
  }
  EXPECT_EQ(matccharmonic(kOrder, kRows + 1, 170.0, 16000.0, 0.42, a, b), -1);  // too small
}

}  // namespace vallisynth
