#include "synthesis/noise.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "dsp/fft.h"

namespace vallisynth {

TEST(Noise, SourceResamplingAndSpectrum) {
  NoisePhaseSource rng;
  for (const std::uint32_t first : {1804289383u, 846930886u, 1681692777u, 1714636915u}) {
    EXPECT_EQ(rng.next(), first);
  }
  // Source points at 100, 200, 300 Hz: 0 Hz repeats the first, and the
  // envelope stays at the last value beyond the last point.
  std::vector<double> dst(8, -99.0);
  EXPECT_EQ(resamplelogampenvelope(100.0, std::vector<double>{1.0, 2.0, 4.0}, 50.0, dst), 0);
  EXPECT_EQ(dst, (std::vector<double>{1.0, 1.0, 1.5, 2.0, 3.0, 4.0, 4.0, 4.0}));

  // Every bin 1..N/2-1 gets amplitude sqrt(fs/N) exp(L), bins 0 and N/2
  // none, whatever the ignored entries and the imaginary input hold.
  constexpr std::size_t kN = 256;
  std::vector<double> logamp(kN, 9.0), re(kN, 9.0), im(kN, 123.0);
  for (std::size_t k = 1; k < kN / 2; ++k) {
    logamp[k] = re[k] = -2.0 + std::sin(0.05 * static_cast<double>(k));
  }
  ASSERT_EQ(gennoisefromlogspectrum(re, im, 16000.0, rng), 0);
  im.assign(kN, 0.0);
  fftr(re, im);
  for (std::size_t k = 0; k <= kN / 2; ++k) {
    const double amp = k % (kN / 2) == 0 ? 0.0 : std::sqrt(16000.0 * 256) * std::exp(logamp[k]);
    EXPECT_NEAR(std::hypot(re[k], im[k]), amp, 1e-6) << k;
  }
}

}  // namespace vallisynth
