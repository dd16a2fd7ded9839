#include "synthesis/harmonics.h"

#include <algorithm>
#include <cmath>

#include "dsp/fastmath.h"
#include "dsp/lanes.h"

namespace vallisynth {

namespace {
constexpr double kTwoPi = 6.283185307179586;
// sqrt(2)/3: scales the modulation (2 + cos) to unit mean square per period.
constexpr double kModulationScale = 0.47140452079103173;

// Harmonics per group: two sets of lanes, one harmonic per lane, so that two
// independent rotation chains are in flight.
constexpr std::size_t kGroup = 2 * kLaneCount;

// Rotates every lane's (c, s) by its own step (ch, sh).
inline void rotate(Lanes& c, Lanes& s, const Lanes& ch, const Lanes& sh) {
  const Lanes nc = c * ch - s * sh;
  s = c * sh + s * ch;
  c = nc;
}

}  // namespace

__attribute__((target_clones("arch=x86-64-v3", "default"))) int genharmonics(
    std::span<double> y, std::uint32_t left, std::uint32_t right, double fs, double f0,
    std::span<const double> amp, std::span<const double> phase, double phi, std::uint8_t mode) {
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
  // phase; its per-sample step is the rotation by h w0, itself advanced by
  // w0 from harmonic to harmonic. The harmonics run in groups of kGroup, one
  // per lane; lanes past the last harmonic get amplitude 0 and add nothing.
  double stepc = cw;
  double steps = sw;
  for (std::size_t k0 = 0; k0 < nh; k0 += kGroup) {
    Lanes a[2] = {};
    Lanes c[2] = {};
    Lanes s[2] = {};
    Lanes ch[2] = {};
    Lanes sh[2] = {};
    const std::size_t count = std::min(kGroup, nh - k0);
    double x[kGroup];
    double cx[kGroup];
    double sx[kGroup];
    for (std::size_t l = 0; l < count; ++l) {
      x[l] = static_cast<double>(k0 + l + 1) * theta + phase[k0 + l];
    }
    sincosvector(std::span<const double>(x, count), cx, sx);
    for (std::size_t l = 0; l < count; ++l) {
      const std::size_t v = l / kLaneCount;
      const std::size_t e = l % kLaneCount;
      a[v][e] = amp[k0 + l];
      c[v][e] = cx[l];
      s[v][e] = sx[l];
      ch[v][e] = stepc;
      sh[v][e] = steps;
      const double nstepc = stepc * cw - steps * sw;
      steps = stepc * sw + steps * cw;
      stepc = nstepc;
    }
    // Per sample the group's terms are summed pairwise, the same tree
    // whatever the vector width, and the sum is added to the sample.
    for (std::size_t i = 0; i < total; ++i) {
      const Lanes t = a[0] * c[0] + a[1] * c[1];
      y[i] = ((t[0] + t[2]) + (t[1] + t[3])) + y[i];
      rotate(c[0], s[0], ch[0], sh[0]);
      rotate(c[1], s[1], ch[1], sh[1]);
    }
  }
  return 0;
}

}  // namespace vallisynth
