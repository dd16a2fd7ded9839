#include "conditioning/warping.h"

#include <cmath>

#include "dsp/lanes.h"

namespace vallisynth {

namespace {
constexpr double kPi = 3.141592653589793;
}  // namespace

double warp_frequency(double w, double alpha) {
  // atan2((1 - a^2) sin w, (1 + a^2) cos w - 2a).
  double x = 0.0;
  double y = 0.0;
  warp_frequency_point(std::cos(w), std::sin(w), alpha, x, y);
  return std::atan2(y, x);
}

void unwarp_fv(std::span<double> fv, double fs, double alpha) {
  const double half = 0.5 * fs;
  const double r = kPi / half;  // radians per Hz
  const double h = 1.0 / r;     // Hz per radian
  if (alpha == 0.0) {
    return;
  }
  for (double& v : fv) {
    if (v <= 0.0) {
      v = 0.0;
    } else if (v >= half) {
      v = half;
    } else {
      v = warp_frequency(v * r, -alpha) * h;
    }
  }
}

// Four at a time.
VALLISYNTH_MULTIARCH void stored_to_plain_coefficients(std::span<const double> from,
                                                       std::span<double> to) {
  std::size_t j = 0;
  for (; j + kLaneCount <= from.size(); j += kLaneCount) {
    Lanes v;
    loadlanes(v, from.data() + j);
    storelanes(to.data() + j, 0.5 * v);
  }
  for (; j < from.size(); ++j) {
    to[j] = 0.5 * from[j];
  }
}

double sptk_c0_offset(double fs) {
  return 5.0 - std::log(32768.0) - std::log(std::sqrt(fs));
}

void sptk_to_stored_cepstrum(std::span<double> cc, std::uint32_t order, double fs) {
  const std::size_t p = std::size_t{order} + 1u;
  const double offset = sptk_c0_offset(fs);
  for (std::size_t i = 0; i + p <= cc.size(); i += p) {
    cc[i] = cc[i] + offset;
  }
}

double compose_warps(double alpha, double fwarpmod) {
  if (fwarpmod == 0.0) {
    return alpha;
  }
  return (alpha - fwarpmod) / (1.0 - fwarpmod * alpha);
}

}  // namespace vallisynth
