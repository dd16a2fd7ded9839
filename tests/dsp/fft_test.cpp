#include "dsp/fft.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstddef>
#include <numbers>
#include <random>
#include <vector>

namespace vallisynth {
namespace {

using Complex = std::complex<double>;

struct Signal {
  std::vector<double> re;
  std::vector<double> im;
};

Signal randomsignal(std::size_t n, std::mt19937& gen) {
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  Signal x{std::vector<double>(n), std::vector<double>(n)};
  for (std::size_t i = 0; i < n; ++i) {
    x.re[i] = dist(gen);
    x.im[i] = dist(gen);
  }
  return x;
}

// Reference transform by the defining sum, exponent sign `sign`.
std::vector<Complex> directdft(const Signal& x, double sign) {
  const std::size_t n = x.re.size();
  std::vector<Complex> out(n);
  for (std::size_t k = 0; k < n; ++k) {
    for (std::size_t t = 0; t < n; ++t) {
      // k t reduced modulo N keeps the angle accurate.
      const double angle =
          sign * 2.0 * std::numbers::pi * static_cast<double>((k * t) % n) / static_cast<double>(n);
      out[k] += Complex(x.re[t], x.im[t]) * std::polar(1.0, angle);
    }
  }
  return out;
}

// Signal-to-error ratio in dB of x against the reference.
double snrdb(const std::vector<Complex>& ref, const Signal& x) {
  double signal = 0.0;
  double error = 0.0;
  for (std::size_t i = 0; i < ref.size(); ++i) {
    signal += std::norm(ref[i]);
    error += std::norm(ref[i] - Complex(x.re[i], x.im[i]));
  }
  return error == 0.0 ? 400.0 : 10.0 * std::log10(signal / error);
}

TEST(FftTest, BothDirectionsMatchTheDirectSum) {
  std::mt19937 gen(12345);
  for (std::size_t n : {1u, 2u, 4u, 8u, 16u, 32u, 64u, 128u, 256u, 512u, 1024u}) {
    for (const auto direction : {std::int8_t{1}, std::int8_t{-1}}) {
      Signal x = randomsignal(n, gen);
      const auto ref = directdft(x, direction == -1 ? 1.0 : -1.0);
      ASSERT_EQ(dofftr(x.re, x.im, direction), 0);
      EXPECT_GT(snrdb(ref, x), 150.0) << "N=" << n << " direction=" << int{direction};
    }
  }
}

TEST(FftTest, ForwardThenInverseGivesNTimesInput) {
  std::mt19937 gen(777);
  for (std::size_t n : {1u, 2u, 16u, 256u, 1024u}) {
    Signal x = randomsignal(n, gen);
    std::vector<Complex> ref(n);
    for (std::size_t i = 0; i < n; ++i) {
      ref[i] = static_cast<double>(n) * Complex(x.re[i], x.im[i]);
    }
    fftr(x.re, x.im);
    ifftr(x.re, x.im);
    EXPECT_GT(snrdb(ref, x), 150.0) << "N=" << n;
  }
}

TEST(FftTest, SmallKnownTransforms) {
  for (const auto direction : {std::int8_t{1}, std::int8_t{-1}}) {
    // Impulse <-> all ones, and all ones -> N at index 0.
    std::vector<double> re(64, 0.0);
    std::vector<double> im(64, 0.0);
    re[0] = 1.0;
    dofftr(re, im, direction);
    std::vector<double> ones(64, 1.0);
    std::vector<double> zeros(64, 0.0);
    dofftr(ones, zeros, direction);
    for (std::size_t i = 0; i < 64; ++i) {
      EXPECT_NEAR(re[i], 1.0, 1e-12);
      EXPECT_NEAR(im[i], 0.0, 1e-12);
      EXPECT_NEAR(ones[i], i == 0 ? 64.0 : 0.0, 1e-12);
      EXPECT_NEAR(zeros[i], 0.0, 1e-12);
    }
    // Two points: sum and difference.
    std::vector<double> re2{3.0, 5.0};
    std::vector<double> im2{-1.0, 2.0};
    dofftr(re2, im2, direction);
    EXPECT_EQ(re2, (std::vector<double>{8.0, -2.0}));
    EXPECT_EQ(im2, (std::vector<double>{1.0, -3.0}));
    // One point: unchanged.
    std::vector<double> re1{0.25};
    std::vector<double> im1{-7.0};
    dofftr(re1, im1, direction);
    EXPECT_EQ(re1[0], 0.25);
    EXPECT_EQ(im1[0], -7.0);
  }
}

// The noise generator relies on this: a conjugate-symmetric spectrum gives a
// real signal.
TEST(FftTest, InverseOfConjugateSymmetricSpectrumIsReal) {
  constexpr std::size_t kN = 256;
  std::mt19937 gen(42);
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  std::vector<double> re(kN);
  std::vector<double> im(kN);
  re[0] = dist(gen);
  im[0] = 0.0;
  re[kN / 2] = dist(gen);
  im[kN / 2] = 0.0;
  for (std::size_t k = 1; k < kN / 2; ++k) {
    re[k] = dist(gen);
    im[k] = dist(gen);
    re[kN - k] = re[k];
    im[kN - k] = -im[k];
  }
  ifftr(re, im);
  for (std::size_t i = 0; i < kN; ++i) {
    EXPECT_NEAR(im[i], 0.0, 1e-12) << i;
  }
}

TEST(FftTest, RejectsInvalidLengthsUntouched) {
  for (std::size_t n : {0u, 3u, 6u, 12u, 100u}) {
    std::vector<double> re(n, 1.5);
    std::vector<double> im(n, -2.5);
    EXPECT_EQ(fftr(re, im), -1) << n;
    EXPECT_EQ(ifftr(re, im), -1) << n;
    EXPECT_EQ(re, std::vector<double>(n, 1.5));
    EXPECT_EQ(im, std::vector<double>(n, -2.5));
  }
  std::vector<double> re(8, 1.0);
  std::vector<double> im(4, 0.0);
  EXPECT_EQ(fftr(re, im), -1);
  EXPECT_EQ(re, std::vector<double>(8, 1.0));
}

}  // namespace
}  // namespace vallisynth
