// The streaming decoder through the public interface: for every utterance
// and every way of cutting it into pushes, the samples are render()'s, bit
// for bit, once the decoder is given the utterance-wide values that
// utterance_stats() works out; configurations that need the whole utterance
// are refused when the decoder is made.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <random>

#include "vallisynth/vallisynth.h"
#include "vallisynth/vallisynth.hpp"

namespace vallisynth {
namespace {

namespace fs = std::filesystem;
const fs::path kSource = VALLISYNTH_SOURCE_DIR;

struct Utterance {
  std::string name;
  std::vector<double> lf0, cc, fv;
  Options options;
};

// The options with the utterance-wide values render() would work out.
Options declared(const Utterance& u) {
  Options o = u.options;
  const UtteranceStats stats = utterance_stats(u.lf0, u.cc, u.fv, o);
  o.c0_limits = stats.c0_limits;
  o.mean_lf0 = stats.mean_lf0;
  return o;
}

// Renders u through a Synthesizer, cut into pushes of the given sizes
// (repeated until the utterance ends).
std::vector<double> streamed(const Utterance& u, const Options& o,
                             const std::vector<std::size_t>& cuts) {
  const std::size_t K = u.lf0.size();
  const std::size_t p = u.cc.size() / K;
  Synthesizer synth(static_cast<std::uint32_t>(p - 1), !u.fv.empty(), o);
  const std::size_t L = synth.latency();
  std::vector<double> x;
  std::vector<double> out(K * L + L + 1);
  std::size_t k = 0;
  for (std::size_t i = 0; k < K; ++i) {
    const std::size_t n = std::min(cuts[i % cuts.size()], K - k);
    const std::span<const double> fv =
        u.fv.empty() ? std::span<const double>() : std::span<const double>(u.fv).subspan(k, n);
    const std::size_t got =
        synth.push(std::span(u.lf0).subspan(k, n), std::span(u.cc).subspan(k * p, n * p), fv, out);
    EXPECT_EQ(got, n * L);
    x.insert(x.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(got));
    k += n;
  }
  EXPECT_EQ(synth.frames(), K);
  const std::size_t got = synth.flush(out);
  EXPECT_EQ(got, L + 1);
  x.insert(x.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(got));
  return x;
}

bool identical(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

std::vector<Utterance> utterances() {
  std::vector<Utterance> all;
  const fs::path ex = kSource / "examples";
  const fs::path vec = kSource / "tests" / "vectors";
  const auto load = [](const fs::path& p) { return read_stream(p.string()); };
  all.push_back({"utt01", load(ex / "utt01.lf0"), load(ex / "utt01.cc"), {}, {}});
  all.push_back({"utt01 fv",
                 load(ex / "utt01.lf0"),
                 load(ex / "utt01.cc"),
                 load(ex / "utt01.fv"),
                 {.gamma = 0.4, .fv_alpha = 0.3}});
  all.push_back({"utt02 pitch",
                 load(ex / "utt02.lf0"),
                 load(ex / "utt02.cc"),
                 {},
                 {.pitch_factor = 1.3, .pitch_range = 1.6, .duration_factor = 1.5}});
  all.push_back(
      {"utt03 48k sptk",
       load(ex / "utt03.lf0"),
       load(ex / "utt03.cc"),
       {},
       {.sample_rate = 48000, .vocal_tract_warp = -0.2, .cepstrum_form = CepstrumForm::sptk}});
  all.push_back({"v2",
                 load(vec / "v2-fv-postfilter-pitch/a.lf0"),
                 load(vec / "v2-fv-postfilter-pitch/a.cc"),
                 load(vec / "v2-fv-postfilter-pitch/a.fv"),
                 {.gamma = 0.5, .pitch_factor = 1.2, .pitch_range = 1.4}});
  all.push_back({"v4",
                 load(vec / "v4-f0-rules-unwarp/b.lf0"),
                 load(vec / "v4-f0-rules-unwarp/b.cc"),
                 {},
                 {.pitch_range = 0.0}});
  all.push_back({"v6",
                 load(vec / "v6-order0-one-frame/c.lf0"),
                 load(vec / "v6-order0-one-frame/c.cc"),
                 {},
                 {}});
  // Random utterances: voiced runs across the f0 limits, unvoiced runs,
  // values that are not finite, orders from 0, short and odd shifts.
  std::mt19937 rng(12345);
  std::uniform_real_distribution<double> u01(0.0, 1.0);
  for (int i = 0; i < 8; ++i) {
    const std::size_t K = 1 + rng() % 90;
    const std::size_t p = 1 + rng() % 30;
    Utterance u{"random " + std::to_string(i), {}, {}, {}, {}};
    for (std::size_t k = 0; k < K; ++k) {
      const double r = u01(rng);
      u.lf0.push_back(r < 0.2    ? -1e10
                      : r < 0.25 ? std::log(5.0 + 2000.0 * u01(rng))
                      : r < 0.27 ? NAN
                                 : std::log(60.0 + 300.0 * u01(rng)));
      for (std::size_t j = 0; j < p; ++j) {
        u.cc.push_back(j == 0 ? 3.0 + 4.0 * u01(rng) : 0.5 * (u01(rng) - 0.5));
      }
    }
    if (i % 3 == 1) {
      u.cc[rng() % u.cc.size()] = INFINITY;
    }
    if (i % 2 == 0) {
      for (std::size_t k = 0; k < K; ++k) {
        u.fv.push_back(8000.0 * u01(rng));
      }
    }
    const std::uint32_t shifts[] = {1, 7, 33, 80, 111};
    u.options.frame_shift = shifts[i % 5];
    u.options.pitch_range = i % 4 == 3 ? 2.0 : 1.0;
    u.options.gamma = i % 3 == 0 ? 0.3 : 0.0;
    all.push_back(u);
  }
  return all;
}

TEST(Streaming, EveryCutGivesTheOneShotSamples) {
  std::mt19937 rng(777);
  for (const Utterance& u : utterances()) {
    SCOPED_TRACE(u.name);
    const Options o = declared(u);
    const std::vector<double> whole = render(u.lf0, u.cc, u.fv, u.options);
    // The declared values are exactly those render() works out.
    ASSERT_TRUE(identical(render(u.lf0, u.cc, u.fv, o), whole));
    std::vector<std::size_t> random;
    for (int i = 0; i < 50; ++i) {
      random.push_back(rng() % 9);  // zero-frame pushes included
    }
    random.push_back(1);
    for (const auto& cuts : {std::vector<std::size_t>{u.lf0.size()}, std::vector<std::size_t>{1},
                             random, std::vector<std::size_t>{300}}) {
      EXPECT_TRUE(identical(streamed(u, o, cuts), whole)) << "cut " << cuts[0];
    }
  }
}

TEST(Streaming, NormalisationAsAFixedGain) {
  const Utterance u = utterances()[2];
  Options o = declared(u);
  std::vector<double> peaked = render(u.lf0, u.cc, u.fv, {.normalize = true});
  const std::vector<double> plain = render(u.lf0, u.cc, u.fv, u.options);
  double peak = 0.0;
  for (const double v : plain) {
    peak = std::max(peak, std::fabs(v));
  }
  Options norm = u.options;
  norm.normalize = true;
  o.gain = 0.99 / peak;
  EXPECT_TRUE(identical(streamed(u, o, {5}), render(u.lf0, u.cc, u.fv, norm)));
  EXPECT_FALSE(peaked.empty());
}

TEST(Streaming, ConfigurationsThatNeedTheWholeUtteranceAreRefused) {
  const auto code = [](std::uint32_t order, bool fv, Options o) {
    try {
      Synthesizer s(order, fv, o);
    } catch (const Error& e) {
      return static_cast<int>(e.code());
    }
    return 0;
  };
  EXPECT_EQ(code(24, false, {}), VALLISYNTH_ERR_NOT_STREAMABLE);  // fv from c0
  EXPECT_EQ(code(24, true, {}), 0);
  EXPECT_EQ(code(24, true, {.pitch_range = 2.0}), VALLISYNTH_ERR_NOT_STREAMABLE);
  EXPECT_EQ(code(24, true, {.pitch_range = 2.0, .mean_lf0 = 5.0}), 0);
  EXPECT_EQ(code(24, true, {.normalize = true}), VALLISYNTH_ERR_NOT_STREAMABLE);
  EXPECT_EQ(code(24, true, {.normalize = true, .gain = 2.0}), 0);
  EXPECT_EQ(code(24, false, {.c0_limits = C0Limits{1.0, 6.0}}), 0);
  EXPECT_EQ(code(24, true, {.alpha = 1.0}), VALLISYNTH_ERR_BAD_ARGUMENT);
  // Pushes whose sizes do not fit are refused with nothing rendered.
  Synthesizer s(2, true, {});
  std::vector<double> lf0(4, std::log(100.0)), cc(12, 0.1), fv(4, 3000.0), out(400);
  EXPECT_THROW(s.push(lf0, std::span(cc).first(11), fv, out), Error);
  EXPECT_THROW(s.push(lf0, cc, std::span(fv).first(3), out), Error);
  EXPECT_THROW(s.push(lf0, cc, fv, std::span(out).first(319)), Error);
  EXPECT_THROW(s.flush(std::span(out).first(80)), Error);
  EXPECT_EQ(s.frames(), 0u);
  EXPECT_EQ(s.latency(), 80u);
}

TEST(Streaming, ResetAndTheNoiseSource) {
  const Utterance u = utterances()[1];
  const std::vector<double> whole = render(u.lf0, u.cc, u.fv, u.options);
  NoiseSource noise;
  Synthesizer synth(24, true, u.options, noise);
  std::vector<double> out(whole.size());
  // Half an utterance, abandoned: reset with a restarted source renders the
  // utterance afresh.
  synth.push(std::span(u.lf0).first(10), std::span(u.cc).first(250), std::span(u.fv).first(10),
             out);
  synth.reset(true);
  const std::size_t K = u.lf0.size();
  std::size_t n = synth.push(u.lf0, u.cc, u.fv, out);
  n += synth.flush(std::span(out).subspan(n));
  EXPECT_TRUE(identical(out, whole));
  // The source runs on into the next utterance, as in a batch.
  NoiseSource batch;
  render(u.lf0, u.cc, u.fv, u.options, batch);
  const std::vector<double> second = render(u.lf0, u.cc, u.fv, u.options, batch);
  n = synth.push(u.lf0, u.cc, u.fv, out);
  synth.flush(std::span(out).subspan(n));
  EXPECT_TRUE(identical(out, second));
  EXPECT_EQ(n, K * 80u);

  // The C interface gives the same samples.
  vallisynth_options co;
  vallisynth_options_init(&co);
  co.gamma = 0.4;
  co.fv_alpha = 0.3;
  vallisynth_synth* cs = nullptr;
  ASSERT_EQ(vallisynth_synth_create(24, 1, &co, nullptr, &cs), VALLISYNTH_OK);
  EXPECT_EQ(vallisynth_synth_latency(cs), 80u);
  std::size_t got = 0;
  ASSERT_EQ(vallisynth_synth_push(cs, u.lf0.data(), K, u.cc.data(), u.cc.size(), u.fv.data(), K,
                                  out.data(), out.size(), &got),
            VALLISYNTH_OK);
  std::size_t tail = 0;
  ASSERT_EQ(vallisynth_synth_flush(cs, out.data() + got, out.size() - got, &tail), VALLISYNTH_OK);
  EXPECT_TRUE(identical(out, whole));
  vallisynth_synth_destroy(cs);
  vallisynth_options_init(&co);
  EXPECT_EQ(vallisynth_synth_create(24, 0, &co, nullptr, &cs), VALLISYNTH_ERR_NOT_STREAMABLE);
  EXPECT_EQ(cs, nullptr);
}

}  // namespace
}  // namespace vallisynth
