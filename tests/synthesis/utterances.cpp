#include "synthesis/utterances.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

namespace vallisynth::test {

constexpr CepstrumForm sptk = CepstrumForm::sptk;

std::vector<Utterance> shippedutterances() {
  const struct {
    const char* stem;  // in examples/ or, with its folder, in tests/vectors/
    bool fv;
    Options options;
  } table[] = {
      {"utt01", false, {}},
      {"utt01", true, {.gamma = 0.4, .fv_alpha = 0.3}},
      {"utt02",
       false,
       {.gamma = 0.5,
        .pitch_factor = 1.3,
        .pitch_range = 1.5,
        .duration_factor = 0.8,
        .vocal_tract_warp = -0.1,
        .normalize = true}},
      {"utt03", false, {.sample_rate = 48000, .vocal_tract_warp = -0.2, .cepstrum_form = sptk}},
      {"v1-defaults/a", false, {}},
      {"v2-fv-postfilter-pitch/a", true, {.gamma = 0.5, .pitch_factor = 1.2, .pitch_range = 1.4}},
      {"v3-duration-warp-norm/a", true, {.duration_factor = 1.5, .vocal_tract_warp = 0.1}},
      {"v4-f0-rules-unwarp/b", true, {.frame_shift = 100, .fv_alpha = 0.42, .pitch_range = 0.0}},
      {"v5-index-list/u04", false, {}},
      {"v6-order0-one-frame/c", false, {}},
  };
  std::vector<Utterance> all;
  for (const auto& t : table) {
    const std::string stem = std::string(VALLISYNTH_SOURCE_DIR) +
                             (t.stem[0] == 'u' ? "/examples/" : "/tests/vectors/") + t.stem;
    all.push_back({std::string(t.stem) + (t.fv ? " fv" : ""), read_stream(stem + ".lf0"),
                   read_stream(stem + ".cc"),
                   t.fv ? read_stream(stem + ".fv") : std::vector<double>(), t.options});
  }
  Utterance u{"examples end to end", {}, {}, {}, {.gamma = 0.3}};
  for (const std::size_t i : {0u, 2u, 3u}) {
    u.lf0.insert(u.lf0.end(), all[i].lf0.begin(), all[i].lf0.end());
    u.cc.insert(u.cc.end(), all[i].cc.begin(), all[i].cc.end());
  }
  all.push_back(u);
  return all;
}

Utterance randomutterance(std::mt19937& gen, std::uint32_t shift, bool withfv) {
  std::uniform_real_distribution<double> u01(0.0, 1.0);
  const auto pick = [&](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(gen);
  };
  Utterance u;
  u.name = "random, shift " + std::to_string(shift) + (withfv ? ", fv" : "");
  const std::size_t order = pick(41), frames = 1 + pick(300);
  const double edges[] = {
      std::log(5.0), std::log(9.99), std::log(10.0), std::log(1000.0), std::log(1000.5), -1e10,
      NAN,           INFINITY,       -INFINITY};
  while (u.lf0.size() < frames) {
    const std::size_t run = 1 + pick(40), kind = pick(4);
    const double base = 60.0 + 340.0 * u01(gen);
    for (std::size_t i = 0; i < run && u.lf0.size() < frames; ++i) {
      u.lf0.push_back(kind == 0   ? -1e10
                      : kind == 1 ? std::log(base)
                      : kind == 2 ? std::log(base * (1.0 + 0.01 * static_cast<double>(i)))
                                  : edges[pick(9)]);
    }
  }
  for (std::size_t k = 0; k < frames; ++k) {
    for (std::size_t j = 0; j <= order; ++j) {
      u.cc.push_back(j == 0 ? 3.0 + 3.0 * u01(gen)
                            : (u01(gen) - 0.5) / (static_cast<double>(j) + 1.0));
    }
    if (withfv) {
      u.fv.push_back(u01(gen) < 0.1 ? 0.0 : 9000.0 * u01(gen));
    }
  }
  if (u01(gen) < 0.3) {
    u.cc[pick(u.cc.size())] = INFINITY;
  }
  Options& o = u.options;
  o.sample_rate = shift == 240 ? 48000 : 16000;
  o.frame_shift = shift;
  o.alpha = 0.6 * u01(gen) - 0.1;
  o.gamma = u01(gen) < 0.5 ? 0.0 : u01(gen);
  o.pitch_factor = u01(gen) < 0.3 ? 1.3 : 1.0;
  o.pitch_range = u01(gen) < 0.3 ? 2.0 : 1.0;
  o.fv_alpha = withfv && u01(gen) < 0.5 ? 0.3 : 0.0;
  o.cepstrum_form = u01(gen) < 0.25 ? CepstrumForm::sptk : CepstrumForm::stored;
  return u;
}

Options declared(const Utterance& u) {
  Options o = u.options;
  const UtteranceStats stats = utterance_stats(u.lf0, u.cc, u.fv, o);
  o.c0_limits = stats.c0_limits;
  o.mean_lf0 = stats.mean_lf0;
  if (o.normalize) {
    Options plain = u.options;
    plain.normalize = false;
    double peak = 0.0;
    for (const double v : render(u.lf0, u.cc, u.fv, plain)) {
      peak = std::max(peak, std::fabs(v));
    }
    o.gain = 0.99 / peak;
  }
  return o;
}

std::vector<std::size_t> randomcut(std::mt19937& gen, std::size_t frames, std::size_t most) {
  std::vector<std::size_t> cut;
  for (std::size_t k = 0; k < frames;) {
    cut.push_back(std::uniform_int_distribution<std::size_t>(0, most)(gen));
    k += cut.back();
  }
  return cut;
}

std::vector<double> streamed(Synthesizer& s, const Utterance& u,
                             const std::vector<std::size_t>& cuts) {
  const std::size_t frames = u.lf0.size(), p = u.order() + 1u, L = s.latency();
  const std::span<const double> lf0(u.lf0), cc(u.cc), fv(u.fv);
  std::vector<double> x(frames * L + L + 1, -1.0);
  std::size_t k = 0;
  for (std::size_t i = 0; k < frames; ++i) {
    const std::size_t n = std::min(cuts[i % cuts.size()], frames - k);
    EXPECT_EQ(s.push(lf0.subspan(k, n), cc.subspan(k * p, n * p),
                     fv.empty() ? fv : fv.subspan(k, n), std::span(x).subspan(k * L)),
              n * L);
    k += n;
  }
  EXPECT_EQ(s.frames(), frames);
  EXPECT_EQ(s.flush(std::span(x).subspan(frames * L)), L + 1);
  EXPECT_EQ(s.frames(), 0u);
  return x;
}

bool identical(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

}  // namespace vallisynth::test
