#include "analysis/decimator.h"

#include <cmath>

namespace vallisynth {

namespace {
constexpr double kPi = 3.141592653589793;
constexpr double kInternalRate = 8000.0;  // Hz, the lowest rate analysed
// Pass band edge as a fraction of the internal Nyquist frequency: pitch
// needs the lower harmonics only, and the transition band must end before
// the folding frequency.
constexpr double kCutoff = 0.42;
constexpr std::uint32_t kTapsPerFactor = 8;  // filter half length per unit of factor
}  // namespace

Decimator::Decimator(double fs) {
  factor_ = static_cast<std::uint32_t>(std::max(1.0, std::floor(fs / kInternalRate)));
  rate_ = fs / factor_;
  half_ = factor_ == 1 ? 0 : kTapsPerFactor * factor_;
  h_.resize(2 * half_ + 1);
  if (factor_ == 1) {
    h_[0] = 1.0;
    return;
  }
  // Windowed sinc (Blackman), normalised to unit gain at 0 Hz.
  const double fc = kCutoff / factor_;  // cycles per input sample
  double sum = 0.0;
  for (std::uint32_t i = 0; i <= 2 * half_; ++i) {
    const double t = static_cast<double>(i) - half_;
    const double sinc = t == 0.0 ? 2.0 * fc : std::sin(2.0 * kPi * fc * t) / (kPi * t);
    const double x = static_cast<double>(i) / (2.0 * half_);
    const double w = 0.42 - 0.5 * std::cos(2.0 * kPi * x) + 0.08 * std::cos(4.0 * kPi * x);
    h_[i] = sinc * w;
    sum += h_[i];
  }
  for (double& v : h_) {
    v /= sum;
  }
}

double Decimator::output(std::span<const double> taps) const {
  double y = 0.0;
  for (std::size_t i = 0; i < h_.size(); ++i) {
    y += h_[i] * taps[i];
  }
  return y;
}

}  // namespace vallisynth
