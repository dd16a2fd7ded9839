// Low-pass filtering and decimation of the input to the pitch tracker's
// internal rate, so that every sampling rate is searched at about 8 kHz and
// behaves alike.
#ifndef VALLISYNTH_ANALYSIS_DECIMATOR_H_
#define VALLISYNTH_ANALYSIS_DECIMATOR_H_

#include <cstdint>
#include <span>
#include <vector>

namespace vallisynth {

class Decimator {
 public:
  // fs: input rate in Hz. The factor is the largest integer that keeps the
  // internal rate at 8 kHz or above (1 at 8 to 15.9 kHz).
  explicit Decimator(double fs);

  std::uint32_t factor() const {
    return factor_;
  }
  double rate() const {
    return rate_;
  }
  // Input samples the filter reaches on either side of its centre.
  std::uint32_t half_length() const {
    return half_;
  }
  // Output sample m is the filter centred on input sample m x factor():
  // taps holds the 2 half_length() + 1 input samples around it.
  double output(std::span<const double> taps) const;

 private:
  std::uint32_t factor_;
  double rate_;
  std::uint32_t half_;
  std::vector<double> h_;
};

}  // namespace vallisynth

#endif  // VALLISYNTH_ANALYSIS_DECIMATOR_H_
