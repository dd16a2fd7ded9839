#include "synthesis/noise.h"

#include <cmath>

#include "dsp/fastmath.h"
#include "dsp/fft.h"

namespace vallisynth {

namespace {
// 2 pi / (2^31 - 1): maps the phase source's range onto [0, 2 pi].
constexpr double kPhaseScale = 2.925836159896768e-09;
}  // namespace

int resamplelogampenvelope(double stepsrc, std::span<const double> src, double stepdst,
                           std::span<double> dst) {
  const std::size_t nsrc = src.size();
  if (nsrc == 0 || dst.empty()) {
    return -1;
  }
  // Current segment [fa, fb] with end values va, vb; the extra point at 0 Hz
  // repeats src[0].
  double fa = 0.0;
  double fb = stepsrc;
  double va = src[0];
  double vb = src[0];
  std::size_t j = 0;
  for (std::size_t i = 0; i < dst.size(); ++i) {
    const double f = static_cast<double>(i + 1) * stepdst;
    while (j <= nsrc && f > fb) {
      ++j;
      fa = fb;
      fb = fb + stepsrc;
      va = vb;
      if (j < nsrc) {
        vb = src[j];  // past the last point the envelope stays flat
      }
    }
    dst[i] = (f - fa) * (vb - va) / stepsrc + va;
  }
  return 0;
}

int gennoisefromlogspectrum(std::span<double> re, std::span<double> im, double fs,
                            NoisePhaseSource& rng) {
  const std::size_t n = re.size();
  if (im.size() != n || n == 0) {
    return 0;
  }
  // Bin amplitude sqrt(fs/N) exp(L): the same power per hertz as a harmonic
  // of amplitude 2 sqrt(f0) exp(L) spaced f0 apart.
  const double g = std::sqrt(fs / static_cast<double>(n));
  const std::size_t h = n / 2;
  re[0] = 0.0;
  im[0] = 0.0;
  if (h < n) {
    re[h] = 0.0;
    im[h] = 0.0;
  }
  if (h > 1) {
    // Bins 1..h-1 in vector passes: the phases are drawn into im[1..h-1],
    // their cosines and sines land in the upper halves, which the mirror
    // overwrites last.
    const std::size_t bins = h - 1;
    const std::span<double> loga = re.subspan(1, bins);
    const std::span<double> phases = im.subspan(1, bins);
    const std::span<double> cosines = re.subspan(h + 1, bins);
    const std::span<double> sines = im.subspan(h + 1, bins);
    for (double& phi : phases) {
      phi = static_cast<double>(rng.next()) * kPhaseScale;
    }
    sincosvector(phases, cosines, sines);
    expvector(loga, loga);
    for (std::size_t k = 1; k < h; ++k) {
      const double a = re[k] * g;
      im[k] = a * im[h + k];
      re[k] = a * re[h + k];
    }
    for (std::size_t k = 1; k < h; ++k) {
      re[n - k] = re[k];
      im[n - k] = -im[k];
    }
  }
  ifftr(re, im);
  return 0;
}

}  // namespace vallisynth
