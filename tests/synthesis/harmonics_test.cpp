#include "synthesis/harmonics.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

namespace vallisynth {

TEST(Harmonics, OneHarmonicMatchesTheClosedForm) {
  // Harmonic h adds amp cos(h phi + phase + h w0 t) around the centre: a
  // zero first amplitude adds nothing, the second harmonic keeps 2 w0, and
  // mode 0 leaves the noise already in the buffer alone.
  const std::vector<double> amp{0.0, 0.7}, phase{1.0, -0.4};
  const double w0 = 2.0 * std::numbers::pi * 210.0 / 16000.0;
  std::vector<double> y(160, 0.5);
  EXPECT_EQ(genharmonics(y, 80, 80, 16000.0, 210.0, amp, phase, -0.6, 0), 0);
  for (std::uint32_t i = 0; i < y.size(); ++i) {
    ASSERT_NEAR(y[i], 0.5 + 0.7 * std::cos(2 * -0.6 - 0.4 + 2 * w0 * (i - 80.0)), 1e-9) << i;
  }
}

}  // namespace vallisynth
