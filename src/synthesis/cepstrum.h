// Evaluation of a mel-cepstral envelope at equally spaced frequencies (the
// harmonics of f0, or the 100 Hz noise grid) on the all-pass-warped axis.
#ifndef VALLISYNTH_SYNTHESIS_CEPSTRUM_H_
#define VALLISYNTH_SYNTHESIS_CEPSTRUM_H_

#include <cstdint>
#include <span>

namespace vallisynth {

// Number of multiples k f0 (k >= 1) strictly below min(fv, fs/2); 0 when f0
// is not below both, or when f0, fv are not positive numbers. All in Hz.
std::uint32_t count_harmonics(double fs, double fv, double f0);

// Fills rows 0..n-1 (row stride order + 1) of the amplitude matrix a and,
// when b is not empty, of the phase matrix b, for the frequencies
// (i + 1) f0, i = 0..n-1, warped by alpha:
//   a[i][0] = 1, a[i][j] = 2 cos(j w_i);  b[i][0] = 0, b[i][j] = -2 sin(j w_i).
// a * c is then the natural-log amplitude of the cepstrum c at each
// frequency, b * c its minimum phase. Returns -1 when a is empty or a given matrix
// is too small for n rows (nothing written), else 0.
int harmonic_cepstral_matrices(std::uint32_t order, std::uint32_t n, double f0, double fs,
                               double alpha, std::span<double> a, std::span<double> b);

// The products of harmonic_cepstral_matrices's matrices with the cepstrum c (order + 1
// values), without forming the matrices: amp[i] = (a c)[i] and phase[i] =
// (b c)[i] for i = 0..n-1, the same values as harmonic_cepstral_matrices followed by
// matrix_product(a, c, amp, n, order + 1, 1) and matrix_product(b, c, phase, ...). Returns
// -1 when c, amp or phase is too short (nothing written), else 0.
int harmonic_amplitudes_phases(std::uint32_t order, std::uint32_t n, double f0, double fs,
                               double alpha, std::span<const double> c, std::span<double> amp,
                               std::span<double> phase);

// c (m x p) = a (m x n) times b (n x p), all row-major; c must not overlap a
// or b.
void matrix_product(std::span<const double> a, std::span<const double> b, std::span<double> c,
                    std::uint32_t m, std::uint32_t n, std::uint32_t p);

// out[i] = sum over j of row[j] cols[j * stride + i] for i < stride: a row
// times a matrix of row.size() rows held stride values apart (stride a
// multiple of 4), each sum taken from 0 in increasing j as matrix_product
// takes it, so that the result equals matrix_product of the matrix's
// transpose with row.
void row_times_columns(std::span<const double> row, const double* cols, std::size_t stride,
                       double* out);

}  // namespace vallisynth

#endif  // VALLISYNTH_SYNTHESIS_CEPSTRUM_H_
