// Timing of the synthesis engine: its stages per frame, and render() of
// a 60-second utterance (12000 frames at the default 5 ms shift, order 24,
// f0 gliding between about 120 and 220 Hz with unvoiced stretches, fv
// 4500 Hz), for which the real-time factor is reported.
//
// The per-frame stages take a harmonic count: 30 is a typical voiced speech
// frame (f0 about 150 Hz, fv 4500 Hz), 799 the costliest frame (f0 10 Hz,
// fv 8000 Hz). The frame synthesizer is timed per push, the way a real-time
// caller uses it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <vector>

#include "dsp/fft.h"
#include "synthesis/cepstrum.h"
#include "synthesis/framesynth.h"
#include "synthesis/harmonics.h"
#include "synthesis/noise.h"
#include "synthesis/noisesource.h"
#include "synthesis/parallelsynth.h"
#include "synthesis/shaping.h"
#include "synthesis/synthesis.h"
#include "vallisynth/vallisynth.hpp"

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

// One cepstral row of the synthetic utterance.
std::vector<double> makerow() {
  std::vector<double> c(kOrder + 1);
  c[0] = -5.0;
  for (std::uint32_t j = 1; j <= kOrder; ++j) {
    c[j] = 0.8 * std::cos(0.9 * j) / j;
  }
  return c;
}

// Noise frame: the 79-point envelope resampled onto the bins of the
// N-point FFT (arg 0: frame shift; N is the power of two not below twice
// it), random phases and the inverse transform, with the tables made once
// as the synthesis makes them.
void BM_noiseframe(benchmark::State& state) {
  const auto shift = static_cast<std::uint32_t>(state.range(0));
  const std::uint32_t n = std::bit_ceil(2 * shift);
  std::vector<double> envelope(79);
  for (std::size_t k = 0; k < envelope.size(); ++k) {
    envelope[k] = -4.0 - 0.03 * static_cast<double>(k);
  }
  std::vector<double> re(n);
  std::vector<double> im(n);
  vallisynth::NoisePhaseSource rng;
  const vallisynth::NoisePlan plan(n);
  for (auto _ : state) {
    vallisynth::resample_log_envelope(100.0, envelope, kFs / n,
                                      std::span<double>(re).subspan(1, n / 2 - 1));
    vallisynth::noise_from_log_spectrum(re, im, kFs, rng, &plan);
    benchmark::DoNotOptimize(re.data());
  }
}
BENCHMARK(BM_noiseframe)->Arg(80)->Arg(320);

// The inverse FFT alone (arg 0: N).
void BM_ifftr(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  std::vector<double> re(n, 0.25);
  std::vector<double> im(n, -0.5);
  for (auto _ : state) {
    vallisynth::inverse_fft(re, im);
    benchmark::DoNotOptimize(re.data());
  }
}
BENCHMARK(BM_ifftr)->Arg(256)->Arg(1024);

// The noise envelope of a frame: the cepstral row times the 100 Hz grid's
// matrix (kept transposed, as the synthesis keeps it), then the lift.
void BM_noiseenvelope(benchmark::State& state) {
  const std::vector<double> row = makerow();
  constexpr std::uint32_t kGrid = 79;
  constexpr std::size_t kStride = 80;  // whole lanes
  std::vector<double> rows((kOrder + 1) * kGrid);
  std::vector<double> cols((kOrder + 1) * kStride, 0.0);
  vallisynth::harmonic_cepstral_matrices(kOrder, kGrid, 100.0, kFs, 0.42, rows, {});
  for (std::size_t i = 0; i < kGrid; ++i) {
    for (std::size_t j = 0; j <= kOrder; ++j) {
      cols[j * kStride + i] = rows[i * (kOrder + 1) + j];
    }
  }
  std::vector<double> envelope(kStride);
  for (auto _ : state) {
    vallisynth::row_times_columns(row, cols.data(), kStride, envelope.data());
    vallisynth::lift_high_frequencies(100.0, std::span<double>(envelope).first(kGrid), kFs);
    benchmark::DoNotOptimize(envelope.data());
  }
}
BENCHMARK(BM_noiseenvelope);

// Cepstral evaluation of a voiced frame: the harmonics' log amplitudes and
// minimum phases from the row (arg 0: harmonic count).
void BM_cepstrum(benchmark::State& state) {
  const auto nh = static_cast<std::uint32_t>(state.range(0));
  const std::vector<double> row = makerow();
  std::vector<double> amps(nh);
  std::vector<double> phases(nh);
  const double f0 = 7990.0 / nh;
  for (auto _ : state) {
    vallisynth::harmonic_amplitudes_phases(kOrder, nh, f0, kFs, 0.42, row, amps, phases);
    benchmark::DoNotOptimize(amps.data());
    benchmark::DoNotOptimize(phases.data());
  }
}
BENCHMARK(BM_cepstrum)->Arg(30)->Arg(799);

// Shaping of a voiced frame: lift and high-pass of the noise envelope, lift,
// linear amplitudes, complementary high-pass and postfilter of the
// harmonics (arg 0: harmonic count).
void BM_shaping(benchmark::State& state) {
  const auto nh = static_cast<std::size_t>(state.range(0));
  const double f0 = 7990.0 / static_cast<double>(nh);
  std::vector<double> envelope(79);
  std::vector<double> amps(nh);
  for (auto _ : state) {
    std::fill(envelope.begin(), envelope.end(), -4.0);
    std::fill(amps.begin(), amps.end(), -3.0);
    vallisynth::lift_high_frequencies(100.0, envelope, kFs);
    vallisynth::apply_noise_highpass(100.0, envelope, 7990.0);
    vallisynth::lift_high_frequencies(f0, amps, kFs);
    for (double& v : amps) {
      v = std::exp(v) * 2.0 * std::sqrt(f0);
    }
    vallisynth::apply_highpass_complement(f0, amps, 7990.0);
    vallisynth::postfilter_formants(amps, 2.0 * M_PI * f0 / kFs, 0.5);
    benchmark::DoNotOptimize(amps.data());
  }
}
BENCHMARK(BM_shaping)->Arg(30)->Arg(799);

// Harmonic generation with the noise modulation (arg 0: harmonic count,
// arg 1: frame shift; the frame is two shifts long).
void BM_genharmonics(benchmark::State& state) {
  const auto nh = static_cast<std::size_t>(state.range(0));
  const auto shift = static_cast<std::uint32_t>(state.range(1));
  const double f0 = 7990.0 / static_cast<double>(nh);
  std::vector<double> amps(nh, 0.01);
  std::vector<double> phases(nh);
  for (std::size_t k = 0; k < nh; ++k) {
    phases[k] = 0.1 * static_cast<double>(k);
  }
  std::vector<double> y(2 * std::size_t{shift}, 0.001);
  double phi = 0.0;
  for (auto _ : state) {
    vallisynth::generate_harmonics(y, shift, shift, kFs, f0, amps, phases, phi, 1);
    phi += 0.3;
    benchmark::DoNotOptimize(y.data());
  }
}
BENCHMARK(BM_genharmonics)->Args({30, 80})->Args({799, 320});

// The whole utterance through the public render() (arg 0: threads, 0:
// every usable core): conditioning, frames and overlap-add, as a library
// user renders it.
void BM_render60s(benchmark::State& state) {
  const Utterance u = makeutterance();
  std::vector<double> lf0(kFrames);
  std::transform(u.f0.begin(), u.f0.end(), lf0.begin(),
                 [](double f0) { return f0 > 0.0 ? std::log(f0) : -1e10; });
  vallisynth::Options options;
  options.threads = static_cast<unsigned>(state.range(0));
  std::vector<double> x(vallisynth::rendered_length(kFrames, options));
  vallisynth::NoiseSource noise;
  for (auto _ : state) {
    const std::size_t samples = vallisynth::render(lf0, u.cc, u.fv, options, noise, x);
    benchmark::DoNotOptimize(samples);
    benchmark::DoNotOptimize(x.data());
  }
  const double audio = static_cast<double>(kFrames) * kShift / kFs;
  state.counters["rtf"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * audio,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_render60s)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

// Pushes of arg 0 frames of the speech-like utterance (fv following c0) on
// arg 1 threads, in wall-clock time per frame: where sharing a push out
// starts to pay.
void BM_parallelpush(benchmark::State& state) {
  const auto frames = static_cast<std::size_t>(state.range(0));
  const auto threads = static_cast<unsigned>(state.range(1));
  const Utterance u = makeutterance();
  constexpr std::size_t kP = kOrder + 1;
  vallisynth::C0Range range;
  vallisynth::add_c0_range(range, u.f0, u.cc, kOrder);
  vallisynth::NoisePhaseSource rng;
  vallisynth::ParallelFrameSynthesizer synth(kFs, kShift, kOrder, 0.42, 0.0, range, rng, threads);
  std::vector<double> out(frames * kShift);
  std::size_t k = 0;
  for (auto _ : state) {
    if (k + frames > kFrames) {
      k = 0;
    }
    synth.push(std::span(u.f0).subspan(k, frames), {}, std::span(u.cc).subspan(k * kP, frames * kP),
               out);
    benchmark::DoNotOptimize(out.data());
    k += frames;
  }
  state.counters["us_per_frame"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * static_cast<double>(frames),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert, benchmark::Counter::OneK::kIs1000);
}
BENCHMARK(BM_parallelpush)
    ->ArgsProduct({{16, 32, 64, 96, 128, 192, 256, 1024}, {1, 2}})
    ->UseRealTime();

// One frame per push, as a real-time caller pushes them (arg 0: sampling
// rate, arg 1: frame shift, arg 2: 0 for the speech-like utterance above
// with fv following c0, 1 for the costliest frame, 10 Hz with fv at fs/2:
// 799 harmonics at 16 kHz, 2399 at 48 kHz). Reports the mean, 99th
// percentile and worst push times in microseconds and the worst against
// the frame period (the real-time budget of one frame). The wall-clock
// worst includes any time the thread was preempted; the thread's CPU time
// (worst_cpu_us) is the push's own cost, which on a busy machine is the
// figure to compare.
void BM_pushframe(benchmark::State& state) {
  const auto fs = static_cast<double>(state.range(0));
  const auto shift = static_cast<std::uint32_t>(state.range(1));
  const bool costliest = state.range(2) != 0;
  const Utterance u = makeutterance();
  constexpr std::size_t kP = kOrder + 1;
  std::optional<vallisynth::C0Range> range;
  if (!costliest) {
    range.emplace();
    vallisynth::add_c0_range(*range, u.f0, u.cc, kOrder);
  }
  vallisynth::NoisePhaseSource rng;
  vallisynth::FrameSynthesizer synth(fs, shift, kOrder, fs > 30000.0 ? 0.55 : 0.42, 0.0, range,
                                     rng);
  std::vector<double> out(shift);
  const double lowest = 10.0;
  const double nyquist = fs / 2.0;
  std::vector<double> times;
  times.reserve(1u << 20);
  double worstcpu = 0.0;
  std::size_t k = 0;
  for (auto _ : state) {
    const auto row = std::span(u.cc).subspan(k * kP, kP);
    timespec c0{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c0);
    const auto t0 = std::chrono::steady_clock::now();
    if (costliest) {
      synth.push(std::span(&lowest, 1), std::span(&nyquist, 1), row, out);
    } else {
      synth.push(std::span(u.f0).subspan(k, 1), {}, row, out);
    }
    const auto t1 = std::chrono::steady_clock::now();
    timespec c1{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c1);
    worstcpu = std::max(worstcpu, 1e6 * static_cast<double>(c1.tv_sec - c0.tv_sec) +
                                      1e-3 * static_cast<double>(c1.tv_nsec - c0.tv_nsec));
    benchmark::DoNotOptimize(out.data());
    if (times.size() < times.capacity()) {
      times.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    k = (k + 1) % kFrames;
  }
  std::sort(times.begin(), times.end());
  double sum = 0.0;
  for (const double t : times) {
    sum += t;
  }
  const double period = 1e6 * shift / fs;
  const double worst = times.empty() ? 0.0 : times.back();
  state.counters["mean_us"] = times.empty() ? 0.0 : sum / static_cast<double>(times.size());
  state.counters["p99_us"] = times.empty() ? 0.0 : times[times.size() * 99 / 100];
  state.counters["p999_us"] = times.empty() ? 0.0 : times[times.size() * 999 / 1000];
  state.counters["worst_us"] = worst;
  state.counters["worst_cpu_us"] = worstcpu;
  state.counters["period_us"] = period;
  state.counters["worst/period"] = worst / period;
}
BENCHMARK(BM_pushframe)
    ->Args({16000, 80, 0})
    ->Args({16000, 80, 1})
    ->Args({48000, 240, 0})
    ->Args({48000, 240, 1});

}  // namespace

BENCHMARK_MAIN();
