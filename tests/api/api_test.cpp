// The public interface as a program embedding the library uses it: every
// error code, the C interface, values that are not finite, and renderings
// from several threads at once (which the sanitizer builds check for
// races). (The library's bytes against the command line's, with every
// option and in batches, are the Python package's tests; streaming is the
// streaming decoder's.)
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <set>
#include <thread>

#include "api/options.h"
#include "support/testsupport.h"
#include "vallisynth/vallisynth.h"
#include "vallisynth/vallisynth.hpp"

namespace vallisynth::test {
namespace {

std::string example(const std::string& name) {
  return std::string(VALLISYNTH_SOURCE_DIR) + "/examples/" + name;
}

struct Utterance {
  std::vector<double> lf0, cc, fv;
};

Utterance load(const std::string& stem, bool withfv) {
  Utterance u{read_stream(example(stem + ".lf0")), read_stream(example(stem + ".cc")), {}};
  if (withfv) {
    u.fv = read_stream(example(stem + ".fv"));
  }
  return u;
}

// The code of the Error that f throws, or 0.
int codeof(const std::function<void()>& f) {
  try {
    f();
  } catch (const Error& e) {
    EXPECT_GT(std::strlen(e.what()), 10u);
    return static_cast<int>(e.code());
  }
  return 0;
}

// A row whose envelope bound (c0 + the sum of |cj| / 2, in the engine's
// form) lies within a few units in the last place of the limit is judged
// by that bound summed in order, whatever a faster pass finds; a value
// that is not finite is found wherever it stands.
TEST(Api, RowsAtTheEnvelopeLimitAreJudgedByTheSumInOrder) {
  constexpr double kLimit = 300.0;
  const ResolvedOptions o;
  std::mt19937_64 gen(7);
  std::uniform_real_distribution<double> mantissa(-1.0, 1.0);
  std::uniform_int_distribution<int> exponent(-30, 5);
  for (int trial = 0; trial < 4000; ++trial) {
    std::vector<double> row(static_cast<std::size_t>(2 + trial % 41));
    double bound = 0.0;
    for (std::size_t j = 1; j < row.size(); ++j) {
      row[j] = std::ldexp(mantissa(gen), exponent(gen));
      bound += std::fabs(row[j]);
    }
    row[0] = kLimit - 0.5 * bound + 5.0;
    for (int nudge = 0; nudge < trial % 7; ++nudge) {
      row[0] = std::nextafter(row[0], trial % 2 == 0 ? INFINITY : -INFINITY);
    }
    const bool over = engine_c0(row[0], o) + 0.5 * bound > kLimit;
    EXPECT_EQ(classify_row(row, o), over ? RowKind::overflowing : RowKind::renderable) << trial;
  }
  for (const std::size_t at : {0u, 1u, 4u, 24u}) {
    std::vector<double> row(25, 0.1);
    row[at] = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(classify_row(row, o), RowKind::not_finite) << at;
    row[at] = -INFINITY;
    EXPECT_EQ(classify_row(row, o), RowKind::not_finite) << at;
    row[at] = at == 0 ? 1e308 : -1e308;  // finite, but its exponential is not
    EXPECT_EQ(classify_row(row, o), RowKind::overflowing) << at;
  }
}

TEST(Api, EveryFailureHasItsCode) {
  const Utterance u = load("utt03", false);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::vector<double> small(10);
  std::vector<std::int16_t> pcm(5);
  // The checks that the Python package's tests do not make by name.
  const Options bad[] = {
      {.sample_rate = 48001},      {.alpha = nan},
      {.gamma = INFINITY},         {.pitch_range = nan},
      {.vocal_tract_warp = 0.995}, {.cepstrum_form = static_cast<CepstrumForm>(2)}};
  for (const Options& o : bad) {
    EXPECT_EQ(codeof([&] { static_cast<void>(render(u.lf0, u.cc, {}, o)); }),
              VALLISYNTH_ERR_BAD_ARGUMENT);
  }
  NoiseSource n;
  const std::pair<std::function<void()>, int> calls[] = {
      {[&] { static_cast<void>(render(u.lf0, u.cc, {}, {.frame_shift = 1073741814})); },
       VALLISYNTH_ERR_TOO_LONG},
      {[&] { static_cast<void>(render(u.lf0, u.cc, {}, {}, n, small)); },
       VALLISYNTH_ERR_BAD_ARGUMENT},
      {[&] { write_wav("/tmp/x.wav", small, 100); }, VALLISYNTH_ERR_BAD_ARGUMENT},
      {[&] { to_pcm16(small, pcm); }, VALLISYNTH_ERR_BAD_ARGUMENT}};
  for (const auto& [call, code] : calls) {
    EXPECT_EQ(codeof(call), code);
  }

  // Out of memory, in a child whose address space is too small for the
  // output of a long utterance (the sanitizers reserve far more address
  // space than such a limit allows).
#if !defined(__SANITIZE_ADDRESS__)
  const auto outofmemory = [] {
    const rlimit limit{512u << 20, 512u << 20};
    setrlimit(RLIMIT_AS, &limit);
    const std::vector<double> lf0(3000, std::log(100.0)), ccs(3000, 0.0);
    const int code =
        codeof([&] { static_cast<void>(render(lf0, ccs, {}, {.frame_shift = 100000})); });
    std::_Exit(code == VALLISYNTH_ERR_OUT_OF_MEMORY ? 0 : 1);
  };
  EXPECT_EXIT(outofmemory(), testing::ExitedWithCode(0), "");
#endif
}

// The C interface: the C++ interface's samples one-shot and streamed, its
// noise source, its PCM conversion, and the C++ interface's error codes,
// each with a sentence of its own.
TEST(Api, CInterfaceGivesTheSameSamplesAndCodes) {
  const Utterance u = load("utt01", true);
  const std::size_t K = u.lf0.size();
  vallisynth_options o;
  vallisynth_options_init(&o);
  const std::uint64_t n = vallisynth_rendered_length(K, &o);
  const std::vector<double> want = render(u.lf0, u.cc, u.fv);
  std::vector<double> x(n), y(n);
  std::size_t written = 0;
  vallisynth_noise* noise = vallisynth_noise_create();
  const auto crender = [&](std::vector<double>& out, std::size_t* count) {
    return vallisynth_render(u.lf0.data(), K, u.cc.data(), u.cc.size(), u.fv.data(), K, &o, noise,
                             out.data(), out.size(), count);
  };
  ASSERT_EQ(crender(x, &written), VALLISYNTH_OK);
  EXPECT_EQ(written, n);
  EXPECT_EQ(x, want);
  // The source ran on: a second rendering differs until it is reset.
  crender(y, nullptr);
  EXPECT_NE(x, y);
  vallisynth_noise_reset(noise);
  crender(y, nullptr);
  EXPECT_EQ(x, y);
  vallisynth_noise_destroy(noise);
  std::vector<std::int16_t> a(n);
  ASSERT_EQ(vallisynth_to_pcm16(x.data(), x.size(), a.data()), VALLISYNTH_OK);
  EXPECT_EQ(a, to_pcm16(x));

  vallisynth_synth* cs = nullptr;
  ASSERT_EQ(vallisynth_synth_create(24, 1, &o, nullptr, &cs), VALLISYNTH_OK);
  EXPECT_EQ(vallisynth_synth_latency(cs), 80u);
  std::size_t got = 0, tail = 0;
  ASSERT_EQ(vallisynth_synth_push(cs, u.lf0.data(), K, u.cc.data(), u.cc.size(), u.fv.data(), K,
                                  y.data(), y.size(), &got),
            VALLISYNTH_OK);
  ASSERT_EQ(vallisynth_synth_flush(cs, y.data() + got, y.size() - got, &tail), VALLISYNTH_OK);
  EXPECT_EQ(got + tail, n);
  EXPECT_EQ(y, want);
  vallisynth_synth_destroy(cs);

  EXPECT_EQ(vallisynth_synth_create(24, 0, &o, nullptr, &cs), VALLISYNTH_ERR_NOT_STREAMABLE);
  EXPECT_EQ(cs, nullptr);
  EXPECT_EQ(vallisynth_render(u.lf0.data(), K, u.cc.data(), u.cc.size() - 1, nullptr, 0, &o,
                              nullptr, x.data(), x.size(), nullptr),
            VALLISYNTH_ERR_DIMENSIONS);
  double* values = nullptr;
  std::size_t count = 0;
  EXPECT_EQ(vallisynth_read_stream("/nonexistent", &values, &count), VALLISYNTH_ERR_OPEN);
  std::set<std::string> sentences;
  for (int code = 0; code >= VALLISYNTH_ERR_NOT_STREAMABLE; --code) {
    sentences.insert(vallisynth_strerror(code));
  }
  EXPECT_EQ(sentences.size(), 8u);
  EXPECT_STREQ(vallisynth_version(), version());
}

// A value that is not finite changes only its own frame. A cepstral row
// (c0 or another coefficient) in a voiced frame without an fv track is
// silence over its two frame shifts, in the samples as in the 16-bit
// output; elsewhere the output is that of an ordinary row there (a c0
// inside the range), so every other frame kept its maximum voiced
// frequency. (The frame after it is unvoiced, where the harmonic phase
// restarts.) A log-f0 that is not finite, or whose f0 is not, makes its
// frame unvoiced, bit for bit, under pitch-range factors too.
TEST(Api, ValuesThatAreNotFiniteChangeOnlyTheirFrame) {
  Utterance u = load("utt02", false);
  const std::size_t p = u.cc.size() / u.lf0.size(), k = 188;  // voiced, before an unvoiced one
  std::copy_n(u.cc.begin() + static_cast<std::ptrdiff_t>((k - 1) * p), p,
              u.cc.begin() + static_cast<std::ptrdiff_t>(k * p));
  const std::vector<double> ref = render(u.lf0, u.cc);
  for (const double bad : {INFINITY, -INFINITY, NAN}) {
    for (const std::size_t at : {std::size_t{0}, std::size_t{3}}) {
      std::vector<double> cc = u.cc;
      cc[k * p + at] = bad;
      const std::vector<double> x = render(u.lf0, cc);
      ASSERT_EQ(x.size(), ref.size());
      for (std::size_t i = 0; i < x.size(); ++i) {
        const bool inside = i >= k * 80 && i < (k + 2) * 80;
        ASSERT_EQ(x[i], inside ? 0.0 : ref[i]) << i << " with " << bad << " at " << at;
      }
    }
  }
  for (const double range : {2.0, 0.0}) {
    std::vector<double> lf0 = u.lf0;
    lf0[k] = -1e10;
    const std::vector<double> unvoiced = render(lf0, u.cc, {}, {.pitch_range = range});
    for (const double bad : {double{INFINITY}, 1e38, double{NAN}}) {
      lf0[k] = bad;
      EXPECT_EQ(render(lf0, u.cc, {}, {.pitch_range = range}), unvoiced) << bad << ' ' << range;
    }
  }
}

// Renderings in several threads at once, each with its own noise source and
// some with a pool of their own: each gives the bytes of rendering alone.
TEST(Api, ThreadsRenderingAtOnceGiveTheirOwnSamples) {
  const Utterance u = load("utt01", true);
  Options options;
  NoiseSource alone;
  const std::vector<double> expected = render(u.lf0, u.cc, u.fv, options, alone);
  std::vector<std::vector<double>> got(4);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < got.size(); ++t) {
    threads.emplace_back([&, t] {
      Options own = options;
      own.threads = static_cast<unsigned>(t % 2 + 1);
      NoiseSource noise;
      got[t] = render(u.lf0, u.cc, u.fv, own, noise);
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  for (const std::vector<double>& g : got) {
    EXPECT_TRUE(g == expected);
  }
}

}  // namespace
}  // namespace vallisynth::test
