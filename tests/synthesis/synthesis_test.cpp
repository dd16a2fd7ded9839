// The pieces of a frame where the conformance vectors do not reach: noise
// spectra and their planned forms at every size, the postfilter's edge
// cases, harmonic counts at the limits, the cepstral envelope at the
// harmonics around its blocks, and harmonics over long frames.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <tuple>
#include <vector>

#include "dsp/fft.h"
#include "synthesis/cepstrum.h"
#include "synthesis/harmonics.h"
#include "synthesis/noise.h"
#include "synthesis/shaping.h"

namespace vallisynth {

// The resampling plan gives the walk's very values, on grids that put
// destination points exactly on source points and beyond the last one.
// Source points at 100, 200, 300 Hz: 0 Hz repeats the first, and the
// envelope stays at the last value beyond the last point.
TEST(Noise, PlannedResamplingIsIdentical) {
  std::vector<double> dst(8, -99.0);
  EXPECT_EQ(resample_log_envelope(100.0, std::vector<double>{1.0, 2.0, 4.0}, 50.0, dst), 0);
  EXPECT_EQ(dst, (std::vector<double>{1.0, 1.0, 1.5, 2.0, 3.0, 4.0, 4.0, 4.0}));
  std::vector<double> src(79);
  for (std::size_t m = 0; m < src.size(); ++m) {
    src[m] = std::sin(0.3 * static_cast<double>(m)) - 2.0;
  }
  for (const std::size_t n : {4u, 16u, 256u, 2048u}) {
    const double step = 16000.0 / static_cast<double>(n);
    std::vector<double> want(n / 2 - 1), got(want.size(), 7.0);
    resample_log_envelope(100.0, src, step, want);
    ASSERT_EQ(resample_log_envelope(src, got, ResamplePlan(100.0, src.size(), step, got.size())),
              0);
    EXPECT_EQ(got, want) << n;
  }
  // Destination steps below, near and above the source step (groups of
  // four points within four source points, within eight, and spread wider),
  // sources around those widths, and grids that run past the source's end.
  for (const std::size_t nsrc : {1u, 3u, 4u, 5u, 8u, 9u, 79u}) {
    const std::vector<double> part(src.begin(), src.begin() + static_cast<std::ptrdiff_t>(nsrc));
    for (const double step : {7.8125, 62.5, 86.1328125, 93.75, 100.0, 150.0, 250.0}) {
      for (const std::size_t ndst : {3u, 4u, 13u, 127u, 255u}) {
        std::vector<double> want(ndst), got(ndst, 7.0);
        resample_log_envelope(100.0, part, step, want);
        ASSERT_EQ(resample_log_envelope(part, got, ResamplePlan(100.0, nsrc, step, ndst)), 0);
        EXPECT_EQ(got, want) << nsrc << ' ' << step << ' ' << ndst;
      }
    }
  }
  dst.assign(3, 7.0);
  EXPECT_EQ(resample_log_envelope(src, dst, ResamplePlan(100.0, 78, 50.0, 3)), -1);
  EXPECT_EQ(resample_log_envelope(src, dst, ResamplePlan(100.0, 79, 50.0, 4)), -1);
  EXPECT_EQ(dst, std::vector<double>(3, 7.0));
}

// Every bin 1..N/2-1 gets amplitude sqrt(fs/N) exp(L), bins 0 and N/2
// none, whatever the ignored entries and the imaginary input hold. A plan
// changes nothing but speed: frames with and without one are the same
// bits, and both continue the same phase sequence; so does a frame of which
// only the first samples are wanted, and those are the same.
TEST(Noise, SpectrumPlannedOrNot) {
  for (const std::size_t n : {4u, 8u, 32u, 64u, 128u, 256u, 1024u}) {
    NoisePhaseSource a, b, c, d;
    const NoisePlan plan(n);
    const NoisePlan other(2 * n);  // a plan of another length is not used
    for (std::size_t frame = 0; frame < 3; ++frame) {
      std::vector<double> logamp(n, 9.0), im(n, 5.0);
      for (std::size_t k = 1; k < n / 2; ++k) {
        logamp[k] = -3.0 + 0.1 * static_cast<double>((k * 7 + frame) % 11);
      }
      std::vector<double> re = logamp, pre = re, pim = im, ore = re, oim = im;
      noise_from_log_spectrum(re, im, 16000.0, a);
      noise_from_log_spectrum(pre, pim, 16000.0, b, &plan);
      noise_from_log_spectrum(ore, oim, 16000.0, c, &other);
      ASSERT_EQ(re, pre) << n << ' ' << frame;
      ASSERT_EQ(re, ore) << n << ' ' << frame;
      std::vector<double> wre = logamp, wim(n, 5.0);
      const auto wanted = static_cast<std::ptrdiff_t>(n / 2 + 1);
      noise_from_log_spectrum(wre, wim, 16000.0, d, &plan, n / 2 + 1);
      wre.resize(n / 2 + 1);
      ASSERT_EQ(wre, std::vector<double>(re.begin(), re.begin() + wanted)) << n << ' ' << frame;
      im.assign(n, 0.0);
      forward_fft(re, im);
      for (std::size_t k = 0; k <= n / 2; ++k) {
        const double amp = k % (n / 2) == 0
                               ? 0.0
                               : std::sqrt(16000.0 * static_cast<double>(n)) * std::exp(logamp[k]);
        EXPECT_NEAR(std::hypot(re[k], im[k]), amp, 1e-9 * amp + 1e-9) << n << ' ' << k;
      }
    }
  }
}

// The noise high-pass, in dB: -30 at 0 Hz rising linearly to -18 at 0.8
// fmax, then to 0 at fmax; points from fmax up keep their values. Grids of
// whole and fractional steps, cut-offs on and between points, beyond the
// grid and not numbers.
TEST(Shaping, NoiseHighpass) {
  for (const double step : {100.0, 62.5, 37.0}) {
    for (const double fmax :
         {0.0, 100.0, 450.0, 4500.0, 4550.0, 7950.0, 1e9, std::numeric_limits<double>::infinity(),
          std::numeric_limits<double>::quiet_NaN()}) {
      for (const std::size_t size : {3u, 79u}) {
        std::vector<double> loga(size);
        for (std::size_t k = 0; k < size; ++k) {
          loga[k] = 0.01 * static_cast<double>(k);
        }
        apply_noise_highpass(step, loga, fmax);
        for (std::size_t k = 0; k < size; ++k) {
          const double f = static_cast<double>(k + 1) * step;
          double db = 0.0;
          if (f < fmax) {
            db = f < 0.8 * fmax ? -30.0 + 12.0 * f / (0.8 * fmax)
                                : -18.0 * (fmax - f) / (0.2 * fmax);
          }
          EXPECT_NEAR(loga[k] - 0.01 * static_cast<double>(k), db * std::log(10.0) / 20.0, 1e-12)
              << step << ' ' << fmax << ' ' << k;
        }
      }
    }
  }
}

// The postfilter's examples. Gamma 0 is off; one harmonic is its own
// one-pole model; no energy, or w0 a multiple of 2 pi, leaves nothing to
// weigh against.
TEST(Shaping, Postfilter) {
  const std::tuple<std::vector<double>, double, double, std::vector<double>> cases[] = {
      {{1.0, 1.0}, 0.5, 10.0, {0.54393, 1.30543}},
      {{1.0, 1.0}, 0.5, 0.5, {0.86248, 1.12077}},
      {{0.37}, 0.3, 10.0, {0.37}},
      {{1.0, 2.0, 3.0}, 0.4, 0.0, {1.0, 2.0, 3.0}},
      {{0.0, 0.0}, 0.4, 1.0, {0.0, 0.0}},
      {{1.0, 1.0}, 2 * std::numbers::pi, 1.0, {1.0, 1.0}}};
  for (auto [a, w0, gamma, expected] : cases) {
    postfilter_formants(a, w0, gamma);
    for (std::size_t k = 0; k < a.size(); ++k) {
      EXPECT_NEAR(a[k], expected[k], 5e-5) << "gamma " << gamma << " k " << k;
    }
  }
}

TEST(Harmonics, Counts) {
  // fv, f0 and the count: fv itself is not counted, fs/2 limits.
  const std::tuple<double, double, std::uint32_t> cases[] = {
      {4000, 100, 39}, {4000, 130, 30}, {20000, 100, 79}, {16000, 10, 799}, {4000, 4000, 0},
      {NAN, 100, 0},   {4000, NAN, 0},  {4000, 0, 0},     {4000, -100, 0}};
  for (const auto& [fv, f0, count] : cases) {
    EXPECT_EQ(count_harmonics(16000.0, fv, f0), count) << fv << ' ' << f0;
  }
}

// The fused evaluation gives the very values of the matrices times the row,
// for counts around the blocks of rows and lanes.
TEST(Harmonics, FusedEvaluationMatchesTheMatrices) {
  constexpr std::uint32_t kOrder = 24;
  std::vector<double> c(kOrder + 1);
  for (std::uint32_t j = 0; j <= kOrder; ++j) {
    c[j] = j == 0 ? -4.5 : 0.7 * std::cos(0.8 * j) / j;
  }
  for (const std::uint32_t n : {1u, 3u, 4u, 5u, 63u, 64u, 65u, 130u, 799u}) {
    const double f0 = 7990.0 / n;
    std::vector<double> a((kOrder + 1) * n), b(a.size()), amp(n), phase(n), ref(n), refp(n);
    ASSERT_EQ(harmonic_cepstral_matrices(kOrder, n, f0, 16000.0, 0.42, a, b), 0);
    matrix_product(a, c, ref, n, kOrder + 1, 1);
    matrix_product(b, c, refp, n, kOrder + 1, 1);
    ASSERT_EQ(harmonic_amplitudes_phases(kOrder, n, f0, 16000.0, 0.42, c, amp, phase), 0);
    EXPECT_EQ(amp, ref) << n;
    EXPECT_EQ(phase, refp) << n;
  }
  // A flat envelope has phase +0 (as the products summed from 0 give it).
  std::vector<double> flat(kOrder + 1, 0.0), amp(9), phase(9);
  flat[0] = -1.5;
  ASSERT_EQ(harmonic_amplitudes_phases(kOrder, 9, 300.0, 16000.0, 0.42, flat, amp, phase), 0);
  for (const double p : phase) {
    EXPECT_TRUE(p == 0.0 && !std::signbit(p));
  }
  EXPECT_EQ(amp, std::vector<double>(9, -1.5));
  phase.resize(3);
  EXPECT_EQ(harmonic_amplitudes_phases(kOrder, 4, 100.0, 16000.0, 0.42, c, amp, phase), -1);
}

// A row times a matrix held by columns gives matrix_product's very sums with the
// matrix transposed, for widths around the passes of 32, 16, 8 and 4
// points, and writes nothing past the stride.
TEST(Harmonics, RowTimesColumnsMatchesTheProduct) {
  for (const std::size_t rows : {1u, 25u}) {
    for (const std::size_t stride : {4u, 8u, 12u, 28u, 32u, 36u, 60u, 80u}) {
      std::vector<double> row(rows), cols(rows * stride), byrows(cols.size());
      for (std::size_t j = 0; j < rows; ++j) {
        row[j] = std::cos(1.7 * static_cast<double>(j)) / static_cast<double>(j + 1);
        for (std::size_t i = 0; i < stride; ++i) {
          cols[j * stride + i] = std::sin(0.37 * static_cast<double>(i * rows + j) + 0.1);
          byrows[i * rows + j] = cols[j * stride + i];
        }
      }
      std::vector<double> want(stride), got(stride + 1, 7.0);
      matrix_product(byrows, row, want, static_cast<std::uint32_t>(stride),
                     static_cast<std::uint32_t>(rows), 1);
      row_times_columns(row, cols.data(), stride, got.data());
      EXPECT_EQ(got.back(), 7.0) << rows << ' ' << stride;
      got.pop_back();
      EXPECT_EQ(got, want) << rows << ' ' << stride;
    }
  }
}

// Many harmonics over a frame longer than one pass of the generator, some
// of zero amplitude: harmonic h adds amp cos(h phi + phase + h w0 t) around
// the centre, to the recurrences' accuracy. Mode 0 leaves the noise already
// in the buffer alone, mode 1 modulates it. The cases: a plain long frame;
// an odd length, whose modulated halves differ by a sample and end in
// different passes; more harmonics than the steps kept from pass to pass.
TEST(Harmonics, ManyHarmonicsOverALongFrame) {
  struct Case {
    std::uint32_t left, right;
    double f0;
    std::size_t harmonics;
  };
  for (const Case c :
       {Case{320, 320, 97.0, 81}, Case{300, 301, 131.0, 60}, Case{150, 150, 3.0, 2600}}) {
    constexpr double kPhi = 2.5;
    const double w0 = 2.0 * std::numbers::pi * c.f0 / 16000.0;
    std::vector<double> amp(c.harmonics), phase(c.harmonics);
    for (std::size_t k = 0; k < amp.size(); ++k) {
      amp[k] = k % 7 == 0 ? 0.0 : 0.01 + 0.001 * static_cast<double>(k % 5);
      phase[k] = 0.3 * static_cast<double>(k) - 1.0;
    }
    std::vector<double> noise(std::size_t{c.left} + c.right);
    for (std::size_t i = 0; i < noise.size(); ++i) {
      noise[i] = 0.1 * std::sin(0.37 * static_cast<double>(i));
    }
    for (const std::uint8_t mode : {std::uint8_t{0}, std::uint8_t{1}}) {
      std::vector<double> y = noise;
      generate_harmonics(y, c.left, c.right, 16000.0, c.f0, amp, phase, kPhi, mode);
      for (std::size_t i = 0; i < y.size(); ++i) {
        const double t = static_cast<double>(i) - c.left;
        double want = mode == 0 ? noise[i]
                                : (2.0 + std::cos(kPhi + w0 * t)) * std::sqrt(2.0) / 3.0 * noise[i];
        for (std::size_t k = 0; k < amp.size(); ++k) {
          const double h = static_cast<double>(k + 1);
          want += amp[k] * std::cos(h * kPhi + phase[k] + h * w0 * t);
        }
        ASSERT_NEAR(y[i], want, 1e-10) << c.harmonics << ' ' << int{mode} << ' ' << i;
      }
    }
  }
}

}  // namespace vallisynth
