// Timing of the synthesis engine on a 60-second utterance: 12000 frames at
// the default 5 ms shift, order 24, f0 gliding between about 120 and 220 Hz
// with unvoiced stretches, fv 4500 Hz. Reports the real-time factor.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "synthesis/noisesource.h"
#include "synthesis/synthesis.h"

namespace {

constexpr double kFs = 16000.0;
constexpr std::uint32_t kShift = 80;
constexpr std::uint32_t kFrames = 12000;
constexpr std::uint32_t kOrder = 24;

struct Utterance {
  std::vector<double> f0;
  std::vector<double> fv;
  std::vector<double> cc;
};

// A vowel-like envelope that drifts slowly; every fifth 100-frame stretch
// is unvoiced.
Utterance makeutterance() {
  Utterance u;
  u.f0.resize(kFrames);
  u.fv.assign(kFrames, 4500.0);
  u.cc.resize(std::size_t{kFrames} * (kOrder + 1));
  for (std::uint32_t k = 0; k < kFrames; ++k) {
    const double t = k * 0.005;
    const bool voiced = (k / 100) % 5 != 4;
    u.f0[k] = voiced ? 170.0 + 50.0 * std::sin(2.0 * M_PI * 0.3 * t) : 0.0;
    double* c = &u.cc[std::size_t{k} * (kOrder + 1)];
    c[0] = -5.0 + 0.5 * std::sin(2.0 * M_PI * 0.7 * t);
    for (std::uint32_t j = 1; j <= kOrder; ++j) {
      c[j] = 0.8 * std::cos(0.9 * j + 0.2 * std::sin(2.0 * M_PI * 0.5 * t)) / j;
    }
  }
  return u;
}

void BM_ccs2waveform60s(benchmark::State& state) {
  const Utterance u = makeutterance();
  const std::uint32_t xlen = vallisynth::getxsize(kShift, kFrames);
  std::vector<double> x(xlen);
  std::vector<double> f0 = u.f0;
  vallisynth::NoisePhaseSource rng;
  for (auto _ : state) {
    f0 = u.f0;
    vallisynth::ccs2waveform(x, kFs, kShift, f0, u.fv, kOrder, u.cc, 0.42, 0.0, rng);
    benchmark::DoNotOptimize(x.data());
  }
  const double audio = static_cast<double>(kFrames) * kShift / kFs;
  state.counters["rtf"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * audio,
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ccs2waveform60s)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
