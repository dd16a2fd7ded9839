#include "synthesis/synthesis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

#include "dsp/fft.h"
#include "synthesis/noisesource.h"

namespace vallisynth {

TEST(Synthesis, OverlapAddAndAWholeUtterance) {
  // Triangular windows at the frame shift sum to one.
  std::vector<double> ola(getxsize(80, 5), 0.0);
  const std::vector<double> ones(160, 1.0);
  for (std::uint32_t k = 0; k < 5; ++k) {
    olatriang(ola, ones, k * 80, (k + 1) * 80, (k + 2) * 80);
  }
  for (std::uint32_t n = 0; n < ola.size(); ++n) {  // rising into the first frame
    EXPECT_DOUBLE_EQ(ola[n], std::min({n / 80.0, 1.0, (480.0 - n) / 80.0})) << n;
  }

  // An utterance of 200 frames: steady 125 Hz in frames 40 to 159, a
  // one-resonance envelope of order 24, and the f0 rules' edge values around.
  constexpr std::uint32_t kFrames = 200, kOrder = 24;
  std::vector<double> f0(kFrames, 0.0), fv(kFrames, 0.0), cc(kFrames * (kOrder + 1), 0.0);
  for (std::size_t k = 0; k < kFrames; ++k) {
    f0[k] = k >= 40 && k < 160 ? 125.0 : std::vector<double>{0, 5, 10, 1000, 1000.5}[k % 5];
    fv[k] = f0[k] > 0.0 ? 4000.0 : 0.0;
    cc[k * (kOrder + 1)] = -7.5;
    for (std::uint32_t j = 1; j <= kOrder; ++j) {  // a pole of radius 0.9 at 0.45 rad
      cc[k * (kOrder + 1) + j] = std::pow(0.9, j) * std::cos(j * 0.45) / j;
    }
  }
  std::vector<double> x(getxsize(80, kFrames), 0.0), again(x.size(), 1.0);
  NoisePhaseSource rng, rng2;
  ASSERT_EQ(ccs2waveform(x, 16000.0, 80, f0, fv, kOrder, cc, 0.42, 0.0, rng), 0);
  EXPECT_EQ(x.size(), (kFrames + 1) * 80 + 1);
  // Below 10 Hz or above 1000 Hz is unvoiced.
  EXPECT_EQ(std::vector<double>(f0.begin(), f0.begin() + 5),
            (std::vector<double>{0, 0, 10, 1000, 0}));
  EXPECT_TRUE(std::all_of(x.begin(), x.end(), [](double v) { return std::isfinite(v); }));
  EXPECT_EQ(x.back(), 0.0);
  ccs2waveform(again, 16000.0, 80, f0, fv, kOrder, cc, 0.42, 0.0, rng2);
  EXPECT_EQ(x, again);  // a fresh noise source, the same samples

  // 4096 samples inside the 125 Hz stretch hold 32 whole periods, so the
  // harmonics fall on bins 32 h, and their power dwarfs that between them.
  std::vector<double> re(x.begin() + 4000, x.begin() + 4000 + 4096), im(4096, 0.0);
  fftr(re, im);
  const auto power = [&](std::ptrdiff_t from, std::ptrdiff_t to) {
    return std::inner_product(re.begin() + from, re.begin() + to, re.begin() + from, 0.0) +
           std::inner_product(im.begin() + from, im.begin() + to, im.begin() + from, 0.0);
  };
  for (std::ptrdiff_t h = 1; h <= 24; ++h) {
    EXPECT_GT(power(32 * h - 1, 32 * h + 2), 30.0 * power(32 * h + 8, 32 * h + 25)) << h;
  }
}

}  // namespace vallisynth
