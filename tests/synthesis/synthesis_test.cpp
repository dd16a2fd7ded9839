#include "synthesis/synthesis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "dsp/fft.h"
#include "synthesis/cepstrum.h"
#include "synthesis/noisesource.h"
#include "synthesis/shaping.h"

namespace vallisynth {
namespace {

constexpr double kFs = 16000.0;
constexpr std::uint32_t kShift = 80;
constexpr std::uint32_t kOrder = 24;
constexpr double kAlpha = 0.42;

TEST(SynthesisGeometryTest, Lengths) {
  EXPECT_EQ(getwinlengthceilpot2(160), 256u);
  EXPECT_EQ(getwinlengthceilpot2(256), 256u);
  EXPECT_EQ(getwinlengthceilpot2(257), 512u);
  EXPECT_EQ(getwinlengthceilpot2(0), 1u);
  EXPECT_EQ(getwinlengthceilpot2(1), 1u);
  EXPECT_EQ(getwinlengthceilpot2(1u << 31), 1u << 31);
  EXPECT_EQ(getxsize(80, 100), 8081u);
  EXPECT_EQ(getxsize(80, 0), 81u);
}

TEST(OlaTriangTest, WeightsRiseAndFall) {
  std::vector<double> x(7, 1.0);
  const std::vector<double> y(6, 2.0);
  EXPECT_EQ(olatriang(x, y, 1, 3, 7), 0);
  EXPECT_EQ(x, (std::vector<double>{1.0, 1.0, 2.0, 3.0, 2.5, 2.0, 1.5}));
}

TEST(OlaTriangTest, NeighbouringFramesSumToOne) {
  constexpr std::uint32_t kFrames = 5;
  std::vector<double> x(getxsize(kShift, kFrames), 0.0);
  const std::vector<double> ones(2 * kShift, 1.0);
  for (std::uint32_t k = 0; k < kFrames; ++k) {
    olatriang(x, ones, k * kShift, (k + 1) * kShift, (k + 2) * kShift);
  }
  const double l = kShift;
  for (std::uint32_t n = 0; n < x.size(); ++n) {
    double expected = 1.0;
    if (n < kShift) {
      expected = n / l;
    } else if (n > kFrames * kShift) {
      expected = (l - (n - kFrames * kShift)) / l;
    }
    EXPECT_DOUBLE_EQ(x[n], expected) << n;
  }
  EXPECT_EQ(x.back(), 0.0);
}

// A synthetic utterance: cepstral rows of a three-formant envelope whose
// level drifts slowly, and an f0 track of voiced and unvoiced stretches.
struct Utterance {
  std::vector<double> f0;
  std::vector<double> fv;
  std::vector<double> cc;
};

Utterance makeutterance() {
  constexpr std::size_t kFrames = 300;
  Utterance u;
  u.f0.assign(kFrames, 0.0);
  u.fv.assign(kFrames, 0.0);
  u.cc.assign(kFrames * (kOrder + 1), 0.0);
  for (std::size_t k = 0; k < kFrames; ++k) {
    if (k >= 40 && k < 160) {
      u.f0[k] = 125.0;  // steady: an exactly periodic stretch
    } else if (k >= 200 && k < 280) {
      u.f0[k] = 110.0 + 0.4 * static_cast<double>(k - 200);
    }
    u.fv[k] = u.f0[k] > 0.0 ? 4000.0 : 0.0;
    double* row = u.cc.data() + k * (kOrder + 1);
    // Level: steady in the 125 Hz vowel, loudest in a final unvoiced burst.
    row[0] = -7.5 + 0.5 * std::sin(0.03 * static_cast<double>(k));
    if (k >= 40 && k < 160) {
      row[0] = -7.5;
    } else if (k >= 280) {
      row[0] = -6.8;
    }
    // Each resonance (pole radius r at angle theta on the warped axis)
    // contributes r^j cos(j theta) / j to coefficient j.
    for (const auto& [r, theta] :
         {std::pair{0.9, 0.45}, std::pair{0.85, 1.0}, std::pair{0.8, 2.1}}) {
      for (std::uint32_t j = 1; j <= kOrder; ++j) {
        const double dj = j;
        row[j] += std::pow(r, dj) * std::cos(dj * theta) / dj;
      }
    }
  }
  return u;
}

std::vector<double> render(Utterance u, NoisePhaseSource& rng, bool withfv = true,
                           double gamma = 0.0) {
  std::vector<double> x(getxsize(kShift, static_cast<std::uint32_t>(u.f0.size())), 0.0);
  const int result = ccs2waveform(x, kFs, kShift, u.f0, withfv ? u.fv : std::vector<double>(),
                                  kOrder, u.cc, kAlpha, gamma, rng);
  EXPECT_EQ(result, 0);
  return x;
}

double power(const std::vector<double>& re, const std::vector<double>& im, std::size_t from,
             std::size_t to) {
  double p = 0.0;
  for (std::size_t k = from; k <= to; ++k) {
    p += re[k] * re[k] + im[k] * im[k];
  }
  return p;
}

TEST(Ccs2WaveformTest, RendersAWholeUtterance) {
  NoisePhaseSource rng;
  const Utterance u = makeutterance();
  for (double gamma : {0.0, 0.6}) {
    const auto x = render(u, rng, true, gamma);
    ASSERT_EQ(x.size(), (u.f0.size() + 1) * kShift + 1);
    EXPECT_EQ(x.back(), 0.0);
    double peak = 0.0;
    for (double v : x) {
      ASSERT_TRUE(std::isfinite(v));
      peak = std::max(peak, std::abs(v));
    }
    EXPECT_GT(peak, 0.01);
    EXPECT_LT(peak, 10.0) << "full scale is 1";

    // 4096 samples inside the 125 Hz stretch hold 32 whole periods, so the
    // harmonics fall on bins 32 h. Their power dwarfs that between them.
    std::vector<double> re(x.begin() + 4000, x.begin() + 4000 + 4096);
    std::vector<double> im(4096, 0.0);
    fftr(re, im);
    for (std::size_t h = 1; h <= 24; ++h) {
      const double onharmonic = power(re, im, 32 * h - 1, 32 * h + 1);
      const double between = power(re, im, 32 * h + 8, 32 * h + 24);
      EXPECT_GT(onharmonic, 30.0 * between) << "harmonic " << h << " gamma " << gamma;
    }
    if (gamma != 0.0) {
      continue;
    }
    // Without the postfilter each harmonic's amplitude is 2 sqrt(f0) times
    // the lifted envelope, faded out towards fv = 4000 Hz; the noise moves
    // the measurement by a few per cent.
    constexpr std::uint32_t kHarmonics = 31;
    std::vector<double> matrix(kHarmonics * (kOrder + 1));
    std::vector<double> amps(kHarmonics);
    matccharmonic(kOrder, kHarmonics, 125.0, kFs, kAlpha, matrix, {});
    prodmat(matrix, std::span(u.cc).subspan(100 * (kOrder + 1), kOrder + 1), amps, kHarmonics,
            kOrder + 1, 1);
    highfreqenhancelog(125.0, amps, kFs);
    for (double& a : amps) {
      a = 2.0 * std::sqrt(125.0) * std::exp(a);
    }
    applyantihpfilter(125.0, amps, 4000.0);
    for (std::size_t h = 1; h <= kHarmonics; ++h) {
      const double measured = 2.0 * std::hypot(re[32 * h], im[32 * h]) / 4096.0;
      EXPECT_NEAR(measured, amps[h - 1], 0.06 * amps[h - 1]) << "harmonic " << h;
    }
  }
}

TEST(Ccs2WaveformTest, NoiseFollowsTheSourcePosition) {
  const Utterance u = makeutterance();
  NoisePhaseSource first;
  NoisePhaseSource second;
  const auto a = render(u, first);
  EXPECT_EQ(a, render(u, second));
  // Both sources now stand at the same position, past the first utterance.
  EXPECT_EQ(render(u, first), render(u, second));
  NoisePhaseSource advanced;
  advanced.next();
  EXPECT_NE(render(u, advanced), a);
}

TEST(Ccs2WaveformTest, FvFromC0WithoutAnFvTrack) {
  const Utterance u = makeutterance();
  NoisePhaseSource rng;
  NoisePhaseSource rng2;
  const auto x = render(u, rng, false);
  for (double v : x) {
    ASSERT_TRUE(std::isfinite(v));
  }
  EXPECT_EQ(x.back(), 0.0);

  // The same as an fv track that maps the smallest c0 of all frames to 0 Hz
  // and the largest c0 of the voiced frames to 4500 Hz.
  Utterance withtrack = u;
  double c0min = 1e300;
  double c0max = -1e300;
  for (std::size_t k = 0; k < u.f0.size(); ++k) {
    const double c0 = u.cc[k * (kOrder + 1)];
    c0min = std::min(c0min, c0);
    c0max = u.f0[k] > 0.0 ? std::max(c0max, c0) : c0max;
  }
  for (std::size_t k = 0; k < u.f0.size(); ++k) {
    withtrack.fv[k] = (u.cc[k * (kOrder + 1)] - c0min) * 4500.0 / (c0max - c0min);
  }
  EXPECT_EQ(x, render(withtrack, rng2, true));
}

TEST(Ccs2WaveformTest, F0Rules) {
  Utterance u = makeutterance();
  u.cc.resize(8 * (kOrder + 1));
  u.f0 = {5.0, 100.0, 1000.5, 100.0, 10.0, 1000.0, 0.0, 200.0};
  u.fv.assign(8, 4000.0);
  const std::vector<double> ruled{0.0, 100.0, 0.0, 100.0, 10.0, 1000.0, 0.0, 200.0};

  std::vector<double> x(getxsize(kShift, 8));
  NoisePhaseSource rng;
  ccs2waveform(x, kFs, kShift, u.f0, u.fv, kOrder, u.cc, kAlpha, 0.0, rng);
  EXPECT_EQ(u.f0, ruled);

  // Frames made unvoiced by the rules sound like unvoiced frames.
  Utterance v = u;
  NoisePhaseSource rng2;
  EXPECT_EQ(render(v, rng2), x);
  // 10 Hz and 1000 Hz stay voiced: unvoicing them changes the output.
  v.f0[4] = 0.0;
  v.f0[5] = 0.0;
  NoisePhaseSource rng3;
  EXPECT_NE(render(v, rng3), x);
}

TEST(Ccs2WaveformTest, NoFramesGiveSilence) {
  std::vector<double> x(getxsize(kShift, 0), 3.0);
  NoisePhaseSource rng;
  EXPECT_EQ(ccs2waveform(x, kFs, kShift, {}, {}, kOrder, {}, kAlpha, 0.0, rng), 0);
  EXPECT_EQ(x, std::vector<double>(kShift + 1, 0.0));
}

TEST(Ccs2WaveformTest, InconsistentArgumentsLeaveTheOutputAlone) {
  const Utterance u = makeutterance();
  const auto frames = static_cast<std::uint32_t>(u.f0.size());
  const std::size_t xsize = getxsize(kShift, frames);
  struct Case {
    std::uint32_t shift;
    std::size_t xsize;
    std::size_t ccsize;
    std::size_t fvsize;
  };
  const std::size_t rows = u.cc.size();
  const std::vector<Case> cases{
      {0, xsize, rows, frames},                    // no frame shift
      {kShift, xsize - 2, rows, frames},           // output too short
      {kShift, xsize, rows - 1, frames},           // ragged cepstra
      {kShift, xsize, rows - kOrder - 1, frames},  // a row missing
      {kShift, xsize, rows, frames - 1},           // fv too short
  };
  for (const auto& c : cases) {
    std::vector<double> x(c.xsize, 3.0);
    std::vector<double> f0 = u.f0;
    NoisePhaseSource rng;
    EXPECT_EQ(ccs2waveform(x, kFs, c.shift, f0, std::span(u.fv).first(c.fvsize), kOrder,
                           std::span(u.cc).first(c.ccsize), kAlpha, 0.0, rng),
              -1);
    EXPECT_EQ(x, std::vector<double>(c.xsize, 3.0));
    EXPECT_EQ(f0, u.f0);
    EXPECT_EQ(rng.next(), NoisePhaseSource().next());
  }
}

}  // namespace
}  // namespace vallisynth
