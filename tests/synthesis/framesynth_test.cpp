// The frame synthesizer against the one-shot synthesis: every way of cutting
// an utterance into pushes gives the one-shot samples bit for bit, and
// pushing never allocates. This program counts the allocations of the whole
// process (its own operator new), which is why it is a test program of its
// own.
#include "synthesis/framesynth.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/testsupport.h"
#include "synthesis/synthesis.h"
#include "vallisynth/vallisynth.hpp"

namespace {
std::atomic<long> allocations{0};
}  // namespace

// The replacements below pair malloc with free by design; the compiler sees
// only the free side once they are inlined into the standard allocator.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t n) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n == 0 ? 1 : n)) {
    return p;
  }
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
  return ::operator new(n);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}

namespace vallisynth {
namespace {

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

std::vector<double> readfloats(const std::filesystem::path& path) {
  const std::string bytes = test::readbytes(path.string());
  std::vector<float> v(bytes.size() / 4);
  std::memcpy(v.data(), bytes.data(), v.size() * 4);
  return {v.begin(), v.end()};
}

// log-f0 streams mark unvoiced frames with -1e10.
std::vector<double> hz(const std::vector<double>& lf0) {
  std::vector<double> f0(lf0.size());
  std::transform(lf0.begin(), lf0.end(), f0.begin(),
                 [](double v) { return v <= -1e10 ? 0.0 : std::exp(v); });
  return f0;
}

// Every stream set of the examples and the conformance vectors whose rows
// fit their frames, with the vector's frame shift and postfilter.
std::vector<Utterance> shippedutterances() {
  namespace fs = std::filesystem;
  const fs::path root(VALLISYNTH_SOURCE_DIR);
  std::vector<Utterance> all;
  const auto add = [&](const fs::path& lf0, std::uint32_t L, double gamma) {
    Utterance u;
    u.name = lf0.string();
    u.L = L;
    u.gamma = gamma;
    u.f0 = hz(readfloats(lf0));
    u.cc = readfloats(fs::path(lf0).replace_extension(".cc"));
    const fs::path fv = fs::path(lf0).replace_extension(".fv");
    if (fs::exists(fv)) {
      u.fv = readfloats(fv);
    }
    if (u.f0.empty() || u.cc.size() % u.f0.size() != 0 ||
        (!u.fv.empty() && u.fv.size() < u.f0.size())) {
      return;
    }
    u.fv.resize(u.fv.empty() ? 0 : u.f0.size());
    u.order = static_cast<std::uint32_t>(u.cc.size() / u.f0.size() - 1);
    all.push_back(u);
  };
  for (const char* name : {"utt01", "utt02", "utt03"}) {
    add(root / "examples" / (std::string(name) + ".lf0"), 80, 0.0);
  }
  for (const auto& dir : fs::directory_iterator(root / "tests" / "vectors")) {
    if (!dir.is_directory()) {
      continue;
    }
    const std::string args = test::readbytes((dir.path() / "args").string());
    std::uint32_t L = 80;
    double gamma = 0.0;
    if (const auto at = args.find("--LFRAME="); at != std::string::npos) {
      L = static_cast<std::uint32_t>(std::stoul(args.substr(at + 9)));
    }
    if (const auto at = args.find("--GAMMA="); at != std::string::npos) {
      gamma = std::stod(args.substr(at + 8));
    }
    for (const auto& f : fs::directory_iterator(dir.path())) {
      if (f.path().extension() == ".lf0") {
        add(f.path(), L, gamma);
      }
    }
  }
  return all;
}

// Random f0 in runs (unvoiced, steady, gliding, and the f0 rules' edge
// values, NaN among them), a random order, shift and fv track.
Utterance randomutterance(std::mt19937& gen, std::uint32_t L, bool withfv) {
  std::uniform_real_distribution<double> u01(0.0, 1.0);
  Utterance u;
  u.name = "random L=" + std::to_string(L) + (withfv ? " fv" : "");
  u.L = L;
  u.order = std::uniform_int_distribution<std::uint32_t>(0, 40)(gen);
  u.alpha = 0.6 * u01(gen) - 0.1;
  u.gamma = u01(gen) < 0.5 ? 0.0 : u01(gen);
  const std::size_t frames = std::uniform_int_distribution<std::size_t>(0, 300)(gen);
  const double edges[] = {5.0, 9.99, 10.0, 1000.0, 1000.5, -3.0, NAN, 7999.0};
  while (u.f0.size() < frames) {
    const std::size_t run = std::uniform_int_distribution<std::size_t>(1, 40)(gen);
    const int kind = std::uniform_int_distribution<int>(0, 3)(gen);
    const double base = 60.0 + 340.0 * u01(gen);
    for (std::size_t i = 0; i < run && u.f0.size() < frames; ++i) {
      u.f0.push_back(kind == 0   ? 0.0
                     : kind == 1 ? base
                     : kind == 2 ? base * (1.0 + 0.01 * static_cast<double>(i))
                                 : edges[std::uniform_int_distribution<int>(0, 7)(gen)]);
    }
  }
  for (std::size_t k = 0; k < frames; ++k) {
    for (std::uint32_t j = 0; j <= u.order; ++j) {
      u.cc.push_back(j == 0 ? -6.0 + 3.0 * u01(gen) : (u01(gen) - 0.5) / (j + 1.0));
    }
    if (withfv) {
      u.fv.push_back(u01(gen) < 0.1 ? 0.0 : 9000.0 * u01(gen));
    }
  }
  return u;
}

std::vector<double> oneshot(const Utterance& u, NoisePhaseSource& rng) {
  std::vector<double> f0 = u.f0;
  std::vector<double> x(getxsize(u.L, static_cast<std::uint32_t>(f0.size())));
  EXPECT_EQ(ccs2waveform(x, u.fs, u.L, f0, u.fv, u.order, u.cc, u.alpha, u.gamma, rng), 0);
  return x;
}

std::optional<C0Range> declaredrange(const Utterance& u) {
  if (!u.fv.empty()) {
    return std::nullopt;
  }
  C0Range r;
  EXPECT_EQ(addc0range(r, u.f0, u.cc, u.order), 0);
  return r;
}

// Pushes the utterance in pieces of the given sizes (the rest in one last
// push), then flushes.
std::vector<double> streamed(FrameSynthesizer& s, const Utterance& u,
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

bool identical(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

TEST(FrameSynthesizer, EveryCutGivesTheOneShotSamples) {
  std::mt19937 gen(12);
  std::vector<Utterance> all = shippedutterances();
  ASSERT_GE(all.size(), 8u);
  for (const std::uint32_t L : {1u, 2u, 7u, 33u, 80u, 111u, 240u}) {
    all.push_back(randomutterance(gen, L, false));
    all.push_back(randomutterance(gen, L, true));
  }
  for (const Utterance& u : all) {
    SCOPED_TRACE(u.name);
    NoisePhaseSource rng;
    const std::vector<double> want = oneshot(u, rng);
    const std::size_t frames = u.f0.size();
    std::vector<std::vector<std::size_t>> cuts = {{}, std::vector<std::size_t>(frames, 1)};
    for (int c = 0; c < 3; ++c) {
      std::vector<std::size_t> cut;
      for (std::size_t k = 0; k < frames;) {
        cut.push_back(std::uniform_int_distribution<std::size_t>(0, 50)(gen));
        k += cut.back();
      }
      cuts.push_back(cut);
    }
    for (const auto& cut : cuts) {
      NoisePhaseSource rng2;
      FrameSynthesizer s(u.fs, u.L, u.order, u.alpha, u.gamma, declaredrange(u), rng2);
      EXPECT_TRUE(identical(streamed(s, u, cut), want)) << cut.size() << " pushes";
    }
  }
}

TEST(FrameSynthesizer, C0RangeAddsUpInPieces) {
  std::mt19937 gen(3);
  const Utterance u = randomutterance(gen, 80, false);
  C0Range whole;
  ASSERT_EQ(addc0range(whole, u.f0, u.cc, u.order), 0);
  const std::size_t p = std::size_t{u.order} + 1;
  for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{300}}) {
    C0Range r;
    for (std::size_t k = 0; k < u.f0.size(); k += piece) {
      const std::size_t n = std::min(piece, u.f0.size() - k);
      ASSERT_EQ(addc0range(r, std::span(u.f0).subspan(k, n), std::span(u.cc).subspan(k * p, n * p),
                           u.order),
                0);
    }
    EXPECT_EQ(std::bit_cast<std::uint64_t>(r.min), std::bit_cast<std::uint64_t>(whole.min))
        << piece;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(r.max), std::bit_cast<std::uint64_t>(whole.max))
        << piece;
  }
  C0Range r;
  EXPECT_EQ(addc0range(r, u.f0, std::span(u.cc).first(u.cc.size() - 1), u.order), -1);
}

TEST(FrameSynthesizer, ResetFlushAndBatches) {
  std::mt19937 gen(5);
  Utterance a = randomutterance(gen, 80, true);
  while (a.f0.size() < 30) {
    a = randomutterance(gen, 80, true);
  }
  // Voiced where the state would carry over: the last frame, and the
  // frames on either side of an abandoned push.
  a.f0[0] = a.f0[19] = a.f0.back() = 150.0;
  a.fv[0] = a.fv[19] = a.fv.back() = 4000.0;
  Utterance b = a;
  std::reverse(b.f0.begin(), b.f0.end());
  std::reverse(b.fv.begin(), b.fv.end());
  NoisePhaseSource rng;
  const std::vector<double> wanta = oneshot(a, rng), wantb = oneshot(b, rng);

  // One object, one source passed on: two utterances as two one-shot calls.
  NoisePhaseSource rng2;
  FrameSynthesizer s(16000.0, 80, a.order, a.alpha, a.gamma, std::nullopt, rng2);
  EXPECT_TRUE(identical(streamed(s, a, {3, 1}), wanta));
  EXPECT_EQ(s.framecount(), 0u);  // flushed
  EXPECT_TRUE(identical(streamed(s, b, {}), wantb));

  // A half-rendered utterance abandoned: reset and a restarted source give
  // the utterance afresh.
  std::vector<double> scratch(std::size_t{20} * 80);
  ASSERT_EQ(s.push(std::span(a.f0).first(20), std::span(a.fv).first(20),
                   std::span(a.cc).first(std::size_t{20} * (a.order + 1)), scratch),
            0);
  EXPECT_EQ(s.framecount(), 20u);
  s.reset();
  rng2 = NoisePhaseSource();
  EXPECT_TRUE(identical(streamed(s, a, {7}), wanta));
}

TEST(FrameSynthesizer, RefusesInconsistentCalls) {
  NoisePhaseSource rng;
  EXPECT_THROW(FrameSynthesizer(16000.0, 0, 24, 0.42, 0.0, std::nullopt, rng),
               std::invalid_argument);
  EXPECT_THROW(FrameSynthesizer(NAN, 80, 24, 0.42, 0.0, std::nullopt, rng), std::invalid_argument);
  FrameSynthesizer s(16000.0, 80, 2, 0.42, 0.0, C0Range{-5.0, -1.0}, rng);
  std::vector<double> f0 = {100.0, 0.0}, cc(6, -3.0), fv = {4000.0, 0.0}, out(160, 7.0);
  EXPECT_EQ(s.push(f0, fv, cc, out), -1);  // an fv track against a declared c0 range
  EXPECT_EQ(s.push(f0, {}, std::span(cc).first(5), out), -1);
  EXPECT_EQ(s.push(f0, {}, cc, std::span(out).first(159)), -1);
  EXPECT_EQ(s.flush(std::span(out).first(79)), -1);
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](double v) { return v == 7.0; }));
  EXPECT_EQ(s.framecount(), 0u);
  EXPECT_EQ(s.push(f0, {}, cc, out), 0);
}

TEST(FrameSynthesizer, PushAndFlushNeverAllocate) {
  // The costliest frames (10 Hz with fv at fs/2: every harmonic below
  // Nyquist) beside ordinary ones, at 16 and 48 kHz, with the postfilter.
  for (const auto& [fs, L] : {std::pair{16000.0, 80u}, std::pair{48000.0, 240u}}) {
    constexpr std::uint32_t kOrder = 39;
    const std::size_t frames = 40;
    std::vector<double> f0(frames), fv(frames, fs / 2.0), cc(frames * (kOrder + 1), 0.01);
    for (std::size_t k = 0; k < frames; ++k) {
      f0[k] = k % 4 == 3 ? 0.0 : k % 2 == 0 ? 10.0 : 180.0;
      cc[k * (kOrder + 1)] = -4.0;
    }
    std::vector<double> out(frames * L), tail(L + 1);
    NoisePhaseSource rng;
    const long start = allocations.load();
    FrameSynthesizer s(fs, L, kOrder, 0.55, 0.5, std::nullopt, rng);
    FrameSynthesizer c(fs, L, kOrder, 0.55, 0.5, C0Range{-6.0, -4.0}, rng);
    const long before = allocations.load();
    ASSERT_GT(before, start);  // the count sees the work areas being made
    s.push(f0, fv, cc, out);
    s.push(std::span(f0).first(1), std::span(fv).first(1), std::span(cc).first(kOrder + 1),
           std::span(out).first(L));
    s.flush(tail);
    c.push(f0, {}, cc, out);
    s.reset();
    EXPECT_EQ(allocations.load() - before, 0) << fs;
  }
}

// The public streaming decoder adds only the per-frame conditioning, in
// buffers of its own made with it: its pushes allocate nothing either.
TEST(FrameSynthesizer, PublicPushNeverAllocates) {
  const std::size_t frames = 700;  // more than one conditioning piece
  std::vector<double> lf0(frames), cc(frames * 25, 0.02), fv(frames, 5000.0);
  for (std::size_t k = 0; k < frames; ++k) {
    lf0[k] = k % 5 == 0 ? -1e10 : std::log(k % 3 == 0 ? 10.0 : 150.0);
    cc[k * 25] = 4.0;
  }
  Options o;
  o.sample_rate = 48000;
  o.pitch_factor = 1.5;
  o.pitch_range = 2.0;
  o.mean_lf0 = 5.0;
  o.fv_alpha = 0.4;
  o.gain = 0.5;
  o.cepstrum_form = CepstrumForm::sptk;
  std::vector<double> out(frames * 240 + 241);
  vallisynth::Synthesizer synth(24, true, o);
  const long before = allocations.load();
  const std::size_t n = synth.push(lf0, cc, fv, out);
  synth.flush(std::span(out).subspan(n));
  synth.reset(true);
  synth.push(std::span(lf0).first(3), std::span(cc).first(75), std::span(fv).first(3), out);
  EXPECT_EQ(allocations.load() - before, 0);
}

}  // namespace
}  // namespace vallisynth
