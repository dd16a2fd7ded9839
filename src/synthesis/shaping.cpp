#include "synthesis/shaping.h"

#include <cmath>

#include "dsp/fastmath.h"
#include "dsp/lanes.h"

namespace vallisynth {

namespace {

constexpr double kEnhanceStart = 3500.0;            // Hz; the lift starts above it
constexpr double kEnhanceGain = 1.151292546497023;  // ln(10)/2: +10 dB at fs/2
constexpr double kHpFloor = -3.4538776394910693;    // ln(10^-1.5): -30 dB at 0 Hz
constexpr double kHpKnee = -2.0723265836946414;     // ln(10^-0.9): -18 dB at the knee
constexpr double kKneeRatio = 0.8;                  // knee frequency / cut-off
constexpr double kMinWeight = 0.5;                  // postfilter weight limits
constexpr double kMaxWeight = 1.2;
constexpr std::size_t kGainBlock = 64;  // high-pass gains exponentiated together

// High-pass log gain at f < fmax: linear in dB from the floor at 0 Hz to the
// knee at fk, then from the knee to 0 dB at fmax.
double highpass_gain(double f, double fk, double fmax) {
  if (f < fk) {
    return (kHpKnee - kHpFloor) * f / fk + kHpFloor;
  }
  return (1.0 - (f - fk) / (fmax - fk)) * kHpKnee;
}

}  // namespace

void lift_high_frequencies(double step, std::span<double> loga, double fs) {
  const double slope = kEnhanceGain / (0.5 * fs - kEnhanceStart);
  double f = step;
  for (double& v : loga) {
    if (f > kEnhanceStart) {
      v += (f - kEnhanceStart) * slope;
    }
    f += step;
  }
}

VALLISYNTH_MULTIARCH void apply_noise_highpass(double step, std::span<double> loga, double fmax) {
  const double fk = kKneeRatio * fmax;
  double f = step;
  std::size_t k = 0;
  // A whole number of hertz (the noise grid's step) makes every running
  // sum f an exact whole number, (k + 1) step: then four points go at a
  // time, each lane taking the branch's operations that its point takes.
  constexpr double kExactBelow = 9007199254740992.0;  // 2^53
  if (step > 0.0 && step == std::floor(step) &&
      step * static_cast<double>(loga.size() + 1) < kExactBelow) {
    const Lanes rise = {kHpKnee - kHpFloor, kHpKnee - kHpFloor, kHpKnee - kHpFloor,
                        kHpKnee - kHpFloor};
    const Lanes floor = {kHpFloor, kHpFloor, kHpFloor, kHpFloor};
    Lanes freq = {step, 2.0 * step, 3.0 * step, 4.0 * step};
    for (; k + kLaneCount <= loga.size() && freq[kLaneCount - 1] < fmax; k += kLaneCount) {
      const Lanes below = rise * freq / fk + floor;
      const Lanes above = (1.0 - (freq - fk) / (fmax - fk)) * kHpKnee;
      Lanes v;
      loadlanes(v, loga.data() + k);
      storelanes(loga.data() + k, v + (freq < fk ? below : above));
      freq = freq + 4.0 * step;
    }
    f = freq[0];
  }
  for (; k < loga.size() && f < fmax; ++k) {
    loga[k] += highpass_gain(f, fk, fmax);
    f += step;
  }
}

// The gains go a block at a time: their exponentials in one vector pass.
VALLISYNTH_MULTIARCH void apply_highpass_complement(double step, std::span<double> amps,
                                                    double fmax) {
  const double fk = kKneeRatio * fmax;
  double f = step;
  double freq[kGainBlock];
  double g[kGainBlock];
  for (std::size_t k = 0; k < amps.size() && f < fmax;) {
    // The frequencies are a running sum of the step; their gains are then
    // independent of each other and go in vector registers.
    std::size_t count = 0;
    for (; count < kGainBlock && k + count < amps.size() && f < fmax; ++count) {
      freq[count] = f;
      f += step;
    }
    for (std::size_t i = 0; i < count; ++i) {
      g[i] = highpass_gain(freq[i], fk, fmax);
    }
    const std::span<double> gains(g, count);
    exp_vector(gains, gains);
    for (std::size_t i = 0; i < count; ++i) {
      amps[k + i] = amps[k + i] * std::sqrt(1.0 - g[i] * g[i]);
    }
    k += count;
  }
}

void postfilter_formants(std::span<double> amps, double w0, double gamma) {
  if (gamma == 0.0 || amps.empty()) {
    return;
  }
  // Autocorrelation of the harmonic power spectrum at lags 0 and 1.
  double e = 0.0;
  double c = 0.0;
  for (std::size_t k = 0; k < amps.size(); ++k) {
    const double a2 = amps[k] * amps[k];
    e += a2;
    c += a2 * std::cos(static_cast<double>(k + 1) * w0);
  }
  const double det = e * e - c * c;
  if (!(e > 0.0) || !(det > 0.0)) {
    return;  // no one-pole model to weigh against
  }
  // n times the inverse one-pole power spectrum: P + Q cos x.
  const double q = static_cast<double>(amps.size()) / (det * e);
  const double p = (c * c + e * e) * q;
  const double qq = -2.0 * q * e * c;
  double enew = 0.0;
  for (std::size_t k = 0; k < amps.size(); ++k) {
    const double x = static_cast<double>(k + 1) * w0;
    const double r = std::pow(amps[k] * std::sqrt(p + qq * std::cos(x)), gamma);
    double w = r;
    if (r < kMinWeight) {
      w = kMinWeight;
    } else if (r > kMaxWeight) {
      w = kMaxWeight;
    }
    amps[k] = w * amps[k];
    enew += amps[k] * amps[k];
  }
  const double restore = std::sqrt(e / enew);
  for (double& a : amps) {
    a = a * restore;
  }
}

}  // namespace vallisynth
