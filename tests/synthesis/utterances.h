// Utterances for the streaming decoder's tests: the shipped stream sets and
// random ones with the options to decode them, pushing them in pieces, and
// the process's allocation count (this program replaces operator new).
#ifndef VALLISYNTH_TESTS_SYNTHESIS_UTTERANCES_H_
#define VALLISYNTH_TESTS_SYNTHESIS_UTTERANCES_H_

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "vallisynth/vallisynth.hpp"

namespace vallisynth::test {

struct Utterance {
  std::string name;
  std::vector<double> lf0, cc, fv;  // fv empty: fv follows c0
  Options options;
  std::uint32_t order() const {
    return static_cast<std::uint32_t>(cc.size() / lf0.size() - 1);
  }
};

// The examples and the conformance vectors' inputs with options like those
// of their command lines, and the examples end to end: long enough for
// blocks of several hundred frames, whose noise positions are reached by
// jumps.
std::vector<Utterance> shippedutterances();

// log-f0 in runs (unvoiced, steady, gliding, and values at and beyond the
// f0 rules' limits or not finite), a random order from 0 to 40, cepstral
// rows with the odd value that is not finite, and random options.
Utterance randomutterance(std::mt19937& gen, std::uint32_t shift, bool withfv);

// The options with the utterance-wide values that render() works out: the
// c0 range, the mean log-f0, and the gain that normalisation applies.
Options declared(const Utterance& u);

// Random push sizes from 0 to most (empty pushes included), at least
// frames in all.
std::vector<std::size_t> randomcut(std::mt19937& gen, std::size_t frames, std::size_t most);

// Pushes u into s in pieces of the sizes of cuts, taken in turn, then
// flushes; checks the sample count of each call.
std::vector<double> streamed(Synthesizer& s, const Utterance& u,
                             const std::vector<std::size_t>& cuts);

// Same length and the same bits.
bool identical(const std::vector<double>& a, const std::vector<double>& b);

}  // namespace vallisynth::test

#endif  // VALLISYNTH_TESTS_SYNTHESIS_UTTERANCES_H_
