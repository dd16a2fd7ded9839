// First-order all-pass frequency warping, and the two conditioning passes
// built on it: undoing the stored cepstral adaptation and unwarping a
// maximum-voiced-frequency track.
#ifndef VALLISYNTH_CONDITIONING_WARPING_H_
#define VALLISYNTH_CONDITIONING_WARPING_H_

#include <cstdint>
#include <span>

namespace vallisynth {

// Angular frequency w (radians, 0..pi) mapped through the all-pass function
// of constant alpha (|alpha| < 1). warp_frequency(., -alpha) inverts warp_frequency(., alpha).
double warp_frequency(double w, double alpha);

// The point (x, y) whose angle warp_frequency() returns, atan2(y, x), from the cosine
// and sine of the angle w. Inline, so that
// loops over many angles vectorise.
inline void warp_frequency_point(double cosw, double sinw, double alpha, double& x, double& y) {
  const double a = (alpha * alpha + 1.0) * cosw;
  y = sinw * (1.0 - alpha * alpha);
  x = a + (-2.0) * alpha;
}

// Unwarps fv (Hz) in place for sampling rate fs, undoing a warping by alpha:
// values <= 0 become 0, values >= fs/2 become fs/2. alpha == 0 leaves the
// track untouched.
void unwarp_fv(std::span<double> fv, double fs, double alpha);

// Undo the stored form of the cepstral rows (order + 1 coefficients each):
// c0 - 5, and the higher coefficients halved (from may be to itself).
inline double stored_to_plain_c0(double c0) {
  constexpr double kStoredC0Offset = 5.0;  // the stored form raises c0 by 5
  return c0 - kStoredC0Offset;
}
void stored_to_plain_coefficients(std::span<const double> from, std::span<double> to);

// Brings mel-cepstra as SPTK's mcep and hts_engine write them to the stored
// form: their c0 is on the 16-bit sample scale with power-normalised analysis
// windows, so it is raised by 5 - ln 32768 - ln sqrt(fs); their coefficients
// 1 and up are already doubled, as stored. fs in Hz.
void sptk_to_stored_cepstrum(std::span<double> cc, std::uint32_t order, double fs);

// The amount sptk_to_stored_cepstrum adds to c0 at fs Hz.
double sptk_c0_offset(double fs);

// The cepstral warping constant with the vocal-tract modification fwarpmod
// folded in: warping by alpha followed by warping by -fwarpmod.
double compose_warps(double alpha, double fwarpmod);

}  // namespace vallisynth

#endif  // VALLISYNTH_CONDITIONING_WARPING_H_
