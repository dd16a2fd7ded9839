// The spectral envelope, the refined f0 and the maximum voiced frequency of
// one frame, from one pitch-adaptive spectrum.
//
// The window spans four periods (Hann), so that the harmonics are resolved;
// the power spectrum is then averaged over one f0 width, which turns the
// harmonic comb into its mean level whatever the window's shape, and
// sampled on the all-pass-warped axis, whose cosine series is the
// mel-cepstrum. Levels are set so that the decoder's harmonics and noise
// reproduce the frame's power per hertz.
#ifndef VALLISYNTH_ANALYSIS_ENVELOPE_H_
#define VALLISYNTH_ANALYSIS_ENVELOPE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "dsp/fft.h"

namespace vallisynth {

class EnvelopeAnalyser {
 public:
  // fs in Hz; order and alpha of the mel-cepstrum; the f0 range (Hz) sets
  // the longest window.
  EnvelopeAnalyser(double fs, std::uint32_t order, double alpha, double f0_min, double f0_max);

  // Samples the window reaches either side of the frame centre for f0 (Hz;
  // 0: unvoiced), and the most for any f0.
  std::size_t half_window(double f0) const;
  std::size_t max_half_window() const {
    return half_window(f0_min_);
  }

  struct Result {
    double f0 = 0.0;  // refined, Hz; 0 when unvoiced
    double fv = 0.0;  // Hz; 0 when unvoiced
  };
  // segment: 2 half_window(f0) + 1 samples centred on the frame's centre;
  // f0 from the tracker (0: unvoiced). Writes order + 1 coefficients into
  // cc: ln amplitude = cc[0] + 2 sum cc[j] cos(j w~), the decoder's form.
  Result analyse(std::span<const double> segment, double f0, std::span<double> cc);
  // The share of the last analysed frame's power above hz.
  double power_share_above(double hz) const;
  // True when, in the last analysed frame, the bands at the odd multiples
  // of f0 are troughs between the even ones: f0 is half the voice's.
  bool odd_harmonics_missing(double f0) const;

 private:
  double refine(double f0, double bins_per_hz) const;
  double voiced_frequency(double f0, double bins_per_hz) const;
  double cumulative(double position) const;
  void power_spectrum(const FftPlan& plan, std::size_t half);
  void match_power(std::span<double> cc, double f0, double fv);

  double fs_;
  std::uint32_t order_;
  double f0_min_, f0_max_;
  std::size_t grid_;                     // warped points - 1
  std::vector<double> grid_hz_;          // linear frequency of each warped point
  std::vector<double> grid_correction_;  // the decoder's lift above 3.5 kHz, negated
  std::size_t grid_stride_ = 0;          // grid_ + 1 rounded up to whole blocks of lanes
  std::size_t coefficient_stride_ = 0;   // order + 1, likewise
  std::vector<double> cosines_;          // (grid_ + 1) x coefficient_stride_ trapezoid weights
  std::vector<double> series_;           // order x grid_stride_: 2 cos(j w~) at each point
  std::vector<double> coefficients_;     // coefficient_stride_: the cepstrum, padded
  std::vector<double> grid_weight_;      // Hz per grid point, times the decoder's gains
  std::vector<double> grid_span_;        // Hz per grid point
  std::vector<double> density_;          // the frame's power density (floored) on the grid
  std::vector<double> model_;            // the series' log envelope on the grid
  double lift_slope_ = 0.0;              // the decoder's lift per Hz above 3.5 kHz
  std::size_t low_index_ = 0;            // grid interval holding 100 Hz,
  double low_frac_ = 0.0;                // and where in it
  std::vector<std::unique_ptr<FftPlan>> plans_;  // by log2 of the length
  // e^{-j2 pi k / n} for k < n / 2, for each transform length n from 16
  // up, the table of n beginning at n / 2 - 8.
  std::vector<double> twiddle_cos_, twiddle_sin_;
  std::size_t len_ = 0;  // samples of the current frame
  std::vector<double> frame_, re_, im_, power_, sums_, log_env_;
  std::size_t n_ = 0;       // transform length of the current frame
  std::size_t margin_ = 0;  // mirrored bins before bin 0 in sums_
};

}  // namespace vallisynth

#endif  // VALLISYNTH_ANALYSIS_ENVELOPE_H_
