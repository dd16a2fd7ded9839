#include "synthesis/harmonics.h"

#include <cmath>

namespace vallisynth {

namespace {
constexpr double kTwoPi = 6.283185307179586;
// sqrt(2)/3: scales the modulation (2 + cos) to unit mean square per period.
constexpr double kModulationScale = 0.47140452079103173;
}  // namespace

int genharmonics(std::span<double> y, std::uint32_t left, std::uint32_t right, double fs,
                 double f0, std::span<const double> amp, std::span<const double> phase,
                 double phi, std::uint8_t mode) {
  const std::size_t total = std::size_t{left} + right;
  const std::size_t nh = amp.size();
  if (nh == 0 || total == 0 || y.size() < total || phase.size() < nh) {
    return 0;
  }
  const double w0 = kTwoPi * f0 / fs;
  const double cw = std::cos(w0);
  const double sw = std::sin(w0);
  // Linear phase of the fundamental at sample 0.
  const double theta = static_cast<double>(left) * -w0 + phi;

  if (mode == 1) {
    // Pitch-synchronous modulation of the noise: loudest where the
    // fundamental's phase is a multiple of 2 pi.
    double c = std::cos(theta);
    double s = std::sin(theta);
    for (std::size_t i = 0; i < total; ++i) {
      y[i] = (2.0 + c) * kModulationScale * y[i];
      const double nc = c * cw - s * sw;
      s = c * sw + s * cw;
      c = nc;
    }
  }

  // Each harmonic restarts its rotation from an exact cos/sin of its start
  // phase; the per-sample step (ch, sh) is the rotation by h w0.
  double ch = cw;
  double sh = sw;
  for (std::size_t k = 0; k < nh; ++k) {
    const double a = amp[k];
    if (a != 0.0) {
      const double x = static_cast<double>(k + 1) * theta + phase[k];
      double c = std::cos(x);
      double s = std::sin(x);
      for (std::size_t i = 0; i < total; ++i) {
        y[i] = a * c + y[i];
        const double nc = c * ch - s * sh;
        s = c * sh + s * ch;
        c = nc;
      }
    }
    const double nch = ch * cw - sh * sw;
    sh = ch * sw + sh * cw;
    ch = nch;
  }
  return 0;
}

}  // namespace vallisynth
