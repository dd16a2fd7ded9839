// Utterances shared by the engine's tests: the shipped stream sets and
// random ones, their one-shot renderings, and the process's allocation
// count (this program replaces operator new).
#ifndef VALLISYNTH_TESTS_SYNTHESIS_UTTERANCES_H_
#define VALLISYNTH_TESTS_SYNTHESIS_UTTERANCES_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "synthesis/framesynth.h"
#include "synthesis/noisesource.h"
#include "synthesis/synthesis.h"

namespace vallisynth::test {

struct Utterance {
  std::string name;
  double fs = 16000.0;
  std::uint32_t L = 80;
  std::uint32_t order = 24;
  double alpha = 0.42;
  double gamma = 0.0;
  std::vector<double> f0;  // Hz, 0 unvoiced
  std::vector<double> fv;  // empty: fv follows c0
  std::vector<double> cc;
};

// Every stream set of the examples and the conformance vectors whose rows
// fit their frames, with the vector's frame shift and postfilter.
std::vector<Utterance> shippedutterances();

// Random f0 in runs (unvoiced, steady, gliding, and the f0 rules' edge
// values, NaN among them), a random order, shift and fv track.
Utterance randomutterance(std::mt19937& gen, std::uint32_t L, bool withfv);

// ccs2waveform's samples for the utterance.
std::vector<double> oneshot(const Utterance& u, NoisePhaseSource& rng, unsigned threads = 1);

// The c0 range a streaming caller declares: none with an fv track.
std::optional<C0Range> declaredrange(const Utterance& u);

// Pushes the utterance in pieces of the given sizes (the rest in one last
// push), then flushes: the samples
// of a FrameSynthesizer or a ParallelFrameSynthesizer.
template <typename Synthesizer>
std::vector<double> streamed(Synthesizer& s, const Utterance& u,
                             const std::vector<std::size_t>& pieces) {
  const std::size_t p = std::size_t{u.order} + 1, frames = u.f0.size();
  std::vector<double> x(getxsize(u.L, static_cast<std::uint32_t>(frames)), -1.0);
  std::size_t k = 0;
  std::vector<std::size_t> all = pieces;
  all.push_back(frames);
  for (std::size_t n : all) {
    n = std::min(n, frames - k);
    const std::span<const double> fv(u.fv);
    EXPECT_EQ(s.push(std::span(u.f0).subspan(k, n), fv.empty() ? fv : fv.subspan(k, n),
                     std::span(u.cc).subspan(k * p, n * p), std::span(x).subspan(k * u.L, n * u.L)),
              0);
    k += n;
  }
  EXPECT_EQ(s.flush(std::span(x).subspan(frames * u.L)), 0);
  return x;
}

// Same length and the same bits.
bool identical(const std::vector<double>& a, const std::vector<double>& b);

// Calls of operator new in this program so far.
long allocationcount();

}  // namespace vallisynth::test

#endif  // VALLISYNTH_TESTS_SYNTHESIS_UTTERANCES_H_
