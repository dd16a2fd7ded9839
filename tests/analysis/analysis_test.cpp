// The analysis against signals whose truth is known (the decoder's own
// renderings of made-up tracks), streaming against one-shot, hard inputs
// and the audio reader. This program counts the process's allocations (its
// own operator new) to check the real-time rule.
#include "vallisynth/analysis.hpp"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "analysis/envelope.h"
#include "support/allocations.h"
#include "support/testsupport.h"
#include "vallisynth/vallisynth.h"
#include "vallisynth/vallisynth.hpp"

namespace vallisynth {
namespace {

constexpr double kUnvoiced = -1e10;

// A vowel-like envelope in the stored form: a level, a tilt and two bumps.
std::vector<double> vowel_row(std::uint32_t order) {
  std::vector<double> row(order + 1, 0.0);
  row[0] = -1.8;
  const double shape[] = {1.2, 0.5, -0.3, 0.2, 0.15, -0.1};
  for (std::size_t j = 1; j <= order && j <= 6; ++j) {
    row[j] = shape[j - 1];
  }
  return row;
}

struct Rendering {
  std::vector<double> x, f0, fv;  // f0 0 when unvoiced
  int fs = 16000;
  std::uint32_t shift = 80;
};

// Voiced stretches with vibrato and glides around base Hz, between unvoiced
// ones, rendered by the decoder with an fv track wandering from 2.5 to 6 kHz
// (held below the Nyquist frequency).
Rendering render_known(int fs, double base, double seconds = 2.0,
                       const std::vector<double>& row = vowel_row(24)) {
  Rendering r;
  r.fs = fs;
  r.shift = default_frame_shift(fs);
  const auto frames = static_cast<std::size_t>(seconds * 200.0);
  std::vector<double> lf0(frames), cc, fv(frames);
  for (std::size_t k = 0; k < frames; ++k) {
    const double t = static_cast<double>(k) / 200.0;
    const bool voiced = std::fmod(t, 0.7) > 0.15;
    const double f = base * std::exp(0.25 * std::sin(2.0 * 3.14159 * 0.8 * t) +
                                     0.03 * std::sin(2.0 * 3.14159 * 5.5 * t));
    lf0[k] = voiced ? std::log(f) : kUnvoiced;
    fv[k] = std::min(0.45 * fs, 4250.0 + 1750.0 * std::sin(2.0 * 3.14159 * 0.35 * t));
    r.f0.push_back(voiced ? f : 0.0);
    r.fv.push_back(voiced ? fv[k] : 0.0);
    cc.insert(cc.end(), row.begin(), row.end());
  }
  Options o;
  o.sample_rate = fs;
  r.x = render(lf0, cc, fv, o);
  return r;
}

AnalysisOptions at_rate(int fs) {
  AnalysisOptions o;
  o.sample_rate = fs;
  return o;
}

double level_db(std::span<const double> a, std::span<const double> b) {
  double ea = 0.0, eb = 0.0;
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    ea += a[i] * a[i];
    eb += b[i] * b[i];
  }
  return 10.0 * std::log10(eb / ea);
}

struct PitchScore {
  double gross = 0.0, median = 0.0, voicing = 0.0;
};

PitchScore score(const Rendering& r, const Analysis& a) {
  std::vector<double> fine;
  std::size_t both = 0, gross = 0, wrong_voicing = 0;
  const std::size_t n = std::min(r.f0.size(), a.frames());
  for (std::size_t k = 0; k < n; ++k) {
    const bool tv = r.f0[k] > 0.0, ev = a.lf0[k] > -1e9;
    wrong_voicing += tv != ev ? 1u : 0u;
    if (tv && ev) {
      ++both;
      const double e = std::fabs(std::exp(a.lf0[k]) / r.f0[k] - 1.0);
      if (e > 0.2) {
        ++gross;
      } else {
        fine.push_back(e);
      }
    }
  }
  std::sort(fine.begin(), fine.end());
  return {100.0 * static_cast<double>(gross) / static_cast<double>(both),
          100.0 * fine[fine.size() / 2],
          100.0 * static_cast<double>(wrong_voicing) / static_cast<double>(n)};
}

TEST(AnalysisAccuracy, KnownPitchIsFoundAtLagZeroAtEveryRateAndRange) {
  const struct {
    int fs;
    double base;
  } cases[] = {{16000, 105.0}, {16000, 240.0}, {48000, 120.0}, {22050, 420.0}, {8000, 180.0}};
  for (const auto& c : cases) {
    const Rendering r = render_known(c.fs, c.base);
    const PitchScore s = score(r, analyse(r.x, at_rate(c.fs)));
    SCOPED_TRACE(std::to_string(c.fs) + " Hz around " + std::to_string(c.base) + " Hz");
    EXPECT_LE(s.gross, 1.0);
    EXPECT_LE(s.median, 0.2);
    EXPECT_LE(s.voicing, 6.0);
  }
}

TEST(AnalysisAccuracy, DecodingTheAnalysisKeepsTheLevelAndTheLength) {
  for (int fs : {8000, 16000, 22050, 48000}) {
    for (double base : {110.0, 300.0}) {
      const Rendering r = render_known(fs, base, 1.5);
      const Analysis a = analyse(r.x, at_rate(fs));
      Options o;
      o.sample_rate = fs;
      const std::vector<double> y = render(a.lf0, a.cc, a.fv, o);
      SCOPED_TRACE(std::to_string(fs) + " Hz, f0 about " + std::to_string(base) + " Hz");
      EXPECT_LE(std::fabs(static_cast<double>(y.size()) - static_cast<double>(r.x.size())),
                r.shift / 2 + 1.0);
      EXPECT_LE(std::fabs(level_db(r.x, y)), 1.0);
    }
  }
}

// Two sharp formants (resonances of 80 and 100 Hz bandwidth) as a stored-form
// mel-cepstrum of order 24: the log envelope sampled on the warped axis.
std::vector<double> formant_row(int fs, double f1, double f2) {
  const double alpha = default_alpha(fs);
  constexpr int kPoints = 1024;
  std::vector<double> row(25, 0.0);
  for (int i = 0; i <= kPoints; ++i) {
    const double wt = 3.141592653589793 * i / kPoints;
    const double w = wt - 2.0 * std::atan(alpha * std::sin(wt) / (1.0 + alpha * std::cos(wt)));
    double log_env = 0.0;
    for (const auto& [f, b] : {std::pair{f1, 80.0}, std::pair{f2, 100.0}}) {
      const double r = std::exp(-3.141592653589793 * b / fs), th = 6.283185307179586 * f / fs;
      // |1 - 2 r cos(th) z^-1 + r^2 z^-2| on the unit circle.
      const double re = 1.0 - 2.0 * r * std::cos(th) * std::cos(w) + r * r * std::cos(2.0 * w);
      const double im = 2.0 * r * std::cos(th) * std::sin(w) - r * r * std::sin(2.0 * w);
      log_env -= 0.5 * std::log(re * re + im * im);
    }
    const double weight = (i == 0 || i == kPoints) ? 0.5 : 1.0;
    for (std::size_t j = 1; j <= 24; ++j) {
      row[j] += 2.0 * weight * log_env * std::cos(static_cast<double>(j) * wt) / kPoints;
    }
  }
  row[0] = -2.0;
  return row;
}

// A high voice samples its formants at few harmonics: the level must be
// calibrated on those harmonics, not on the smooth envelope between them.
TEST(AnalysisAccuracy, HighVoicesWithSharpFormantsKeepTheirLevel) {
  for (int fs : {16000, 48000}) {
    for (double base : {250.0, 450.0}) {
      const std::vector<double> row = formant_row(fs, 600.0, 1700.0);
      const std::size_t frames = 300;
      std::vector<double> lf0(frames), cc, fv(frames, 5000.0);
      for (std::size_t k = 0; k < frames; ++k) {
        lf0[k] =
            std::log(base) + 0.1 * std::sin(2.0 * 3.14159 * 0.8 * static_cast<double>(k) / 200.0);
        cc.insert(cc.end(), row.begin(), row.end());
      }
      Options o;
      o.sample_rate = fs;
      const std::vector<double> x = render(lf0, cc, fv, o);
      const Analysis a = analyse(x, at_rate(fs));
      const std::vector<double> y = render(a.lf0, a.cc, a.fv, o);
      EXPECT_LE(std::fabs(level_db(x, y)), 0.2) << fs << " Hz, f0 about " << base << " Hz";
    }
  }
}

// fv of a voice whose f0 glides and trembles, low and high: an f0 off by a
// fraction of a percent must not stop the split at the first harmonics it
// puts off their bands.
TEST(AnalysisAccuracy, KnownVoicedFrequencyIsFollowed) {
  for (int fs : {16000, 48000}) {
    for (double base : {105.0, 220.0}) {
      const Rendering r = render_known(fs, base);
      const Analysis a = analyse(r.x, at_rate(fs));
      std::vector<double> err;
      for (std::size_t k = 0; k < std::min(r.fv.size(), a.frames()); ++k) {
        if (r.f0[k] > 0.0 && a.lf0[k] > -1e9) {
          err.push_back(std::fabs(a.fv[k] - r.fv[k]));
        }
      }
      std::sort(err.begin(), err.end());
      const auto within =
          std::count_if(err.begin(), err.end(), [](double e) { return e <= 500.0; });
      SCOPED_TRACE(std::to_string(fs) + " Hz, f0 about " + std::to_string(base) + " Hz");
      EXPECT_LE(err[err.size() / 2], 300.0);
      EXPECT_GE(static_cast<double>(within), 0.8 * static_cast<double>(err.size()));
    }
  }
}

// Voiced stretches of low and high voices between noise as loud as they
// are, each begun and ended on a frame boundary: at lag 0 the analysis
// should voice the same frames. A frame at an edge holds both sides, so
// some edges lose a frame, but not most of them, and none gains one.
TEST(AnalysisAccuracy, VoicedStretchesBeginAndEndWhereTheyDo) {
  const int fs = 16000;
  const std::size_t frames = 1200;
  std::size_t edges = 0, short_by = 0, long_by = 0;
  for (double base : {90.0, 150.0, 300.0, 450.0}) {
    std::vector<double> lf0(frames), cc, fv(frames, 5000.0);
    const std::vector<double> row = vowel_row(24);
    std::vector<bool> voiced(frames);
    for (std::size_t k = 0; k < frames; ++k) {
      // Stretches of 39 to 61 frames between gaps of 40 to 62.
      const std::size_t cycle = k % 100, n = k / 100;
      voiced[k] = cycle >= 13 + n % 18 && cycle < 74 - n % 43;
      const double t = static_cast<double>(k) / 200.0;
      lf0[k] = voiced[k] ? std::log(base) + 0.1 * std::sin(2.0 * 3.14159 * 1.3 * t) : kUnvoiced;
      edges += k > 0 && voiced[k] != voiced[k - 1] ? 1u : 0u;
      cc.insert(cc.end(), row.begin(), row.end());
    }
    Options o;
    o.sample_rate = fs;
    const Analysis a = analyse(render(lf0, cc, fv, o), at_rate(fs));
    ASSERT_EQ(a.frames(), frames);
    for (std::size_t k = 0; k < frames; ++k) {
      const bool found = a.lf0[k] > -1e9;
      short_by += voiced[k] && !found ? 1u : 0u;
      long_by += !voiced[k] && found ? 1u : 0u;
    }
  }
  EXPECT_LE(2 * short_by, edges);
  EXPECT_EQ(long_by, 0u);
}

// The strongest harmonics sit beside a sharp first formant, whose phase
// bends their peaks while f0 moves: the refined f0 must not follow them.
TEST(AnalysisAccuracy, AVoiceThroughSharpFormantsIsFollowedClosely) {
  for (int fs : {16000, 48000}) {
    for (double base : {120.0, 230.0}) {
      const Rendering r = render_known(fs, base, 3.0, formant_row(fs, 500.0, 1500.0));
      const PitchScore s = score(r, analyse(r.x, at_rate(fs)));
      EXPECT_LE(s.median, 0.07) << fs << " Hz around " << base << " Hz";
    }
  }
}

// A period twice the voice's correlates as well as the voice's own: the
// frame's spectrum tells them apart, for the odd multiples of the halved
// f0 are empty. Harmonics of 120 Hz whose odd ones are scaled by odd_gain,
// over one analysis window centred on the frame.
TEST(AnalysisEnvelope, AVoiceWithoutItsOddHarmonicsIsAnOctaveUp) {
  const int fs = 16000;
  const double f0 = 120.0;
  EnvelopeAnalyser envelope(fs, 24, 0.42, 50.0, 800.0);
  std::vector<double> segment(2 * envelope.half_window(f0) + 1), cc(25);
  auto missing = [&](double odd_gain) {
    for (std::size_t i = 0; i < segment.size(); ++i) {
      const double t = static_cast<double>(i) / fs;
      double x = 0.0;
      for (int k = 1; k * f0 < 0.45 * fs; ++k) {
        x += (k % 2 == 1 ? odd_gain : 1.0) / k * std::cos(2.0 * 3.14159265358979 * k * f0 * t + k);
      }
      segment[i] = 0.1 * x;
    }
    const EnvelopeAnalyser::Result r = envelope.analyse(segment, f0, cc);
    return envelope.odd_harmonics_missing(r.f0);
  };
  EXPECT_TRUE(missing(0.0));
  EXPECT_TRUE(missing(0.2));   // 14 dB down: troughs
  EXPECT_FALSE(missing(0.5));  // 6 dB down: the voice's own, if weak
  EXPECT_FALSE(missing(1.0));
}

// Pushes x in random pieces (empty ones included) and collects the frames.
Analysis push_in_pieces(Analyser& analyser, std::span<const double> x, std::mt19937& gen) {
  Analysis all;
  std::uniform_int_distribution<std::size_t> size(0, 3000);
  std::size_t i = 0;
  auto append = [&](const Analysis& part) {
    all.lf0.insert(all.lf0.end(), part.lf0.begin(), part.lf0.end());
    all.cc.insert(all.cc.end(), part.cc.begin(), part.cc.end());
    all.fv.insert(all.fv.end(), part.fv.begin(), part.fv.end());
  };
  while (i < x.size()) {
    std::size_t n = std::min(x.size() - i, gen() % 4 == 0 ? gen() % 3 : size(gen));
    append(analyser.push(x.subspan(i, n)));
    i += n;
  }
  append(analyser.flush());
  return all;
}

TEST(AnalysisStreaming, EveryWayOfCuttingTheInputGivesTheOneShotFrames) {
  std::mt19937 gen(7);
  for (int fs : {8000, 16000, 44100}) {
    const Rendering r = render_known(fs, 150.0, 1.2);
    AnalysisOptions o = at_rate(fs);
    o.cepstrum_form = fs == 44100 ? CepstrumForm::sptk : CepstrumForm::stored;
    const Analysis one = analyse(r.x, o);
    Analyser analyser(o);
    for (int cut = 0; cut < 4; ++cut) {
      const Analysis s = push_in_pieces(analyser, r.x, gen);
      EXPECT_EQ(s.lf0, one.lf0) << fs << " Hz, cutting " << cut;
      EXPECT_EQ(s.cc, one.cc) << fs << " Hz, cutting " << cut;
      EXPECT_EQ(s.fv, one.fv) << fs << " Hz, cutting " << cut;
    }
    // A reset mid-recording starts afresh.
    (void)analyser.push(std::span<const double>(r.x).first(5000));
    analyser.reset();
    EXPECT_EQ(push_in_pieces(analyser, r.x, gen).cc, one.cc);
  }
}

TEST(AnalysisStreaming, FramesArriveWithinTheStatedLatencyAndPushesAllocateNothing) {
  for (int fs : {8000, 16000, 22050, 48000}) {
    const Rendering r = render_known(fs, 100.0, 1.0);
    Analyser analyser(at_rate(fs));
    EXPECT_LE(analyser.latency(), fs / 10) << fs << " Hz";
    const std::size_t piece = 37;
    const std::size_t cap = analyser.max_frames(piece);
    std::vector<double> lf0(cap), fv(cap), cc(cap * 25);
    std::vector<double> lf0f(analyser.max_frames(0)), fvf(lf0f.size()), ccf(lf0f.size() * 25);
    const long before = test::allocation_count();
    std::size_t released = 0;
    for (std::size_t i = 0; i + piece <= r.x.size(); i += piece) {
      released += analyser.push(std::span<const double>(r.x).subspan(i, piece), lf0, cc, fv);
      // Every frame whose centre lies latency() samples back is out.
      const std::size_t pushed = i + piece;
      if (pushed >= analyser.latency() + r.shift) {
        EXPECT_GE(released, (pushed - analyser.latency()) / r.shift - 1) << fs << " Hz";
      }
    }
    released += analyser.flush(lf0f, ccf, fvf);
    EXPECT_EQ(test::allocation_count(), before) << fs << " Hz";
    EXPECT_EQ(released, analysis_frames(r.x.size() / piece * piece, r.shift));
  }
}

bool renderable(const Analysis& a, int fs) {
  for (std::size_t k = 0; k < a.frames(); ++k) {
    const bool lf0_ok =
        a.lf0[k] == kUnvoiced || (a.lf0[k] >= std::log(40.0) && a.lf0[k] <= std::log(1000.0));
    const bool fv_ok = a.fv[k] >= 0.0 && a.fv[k] <= fs / 2.0 && (a.lf0[k] > -1e9 || a.fv[k] == 0.0);
    if (!lf0_ok || !fv_ok) {
      return false;
    }
  }
  return std::all_of(a.cc.begin(), a.cc.end(),
                     [](double v) { return std::isfinite(v) && std::fabs(v) < 1e3; });
}

double voiced_share(const Analysis& a) {
  const auto v = std::count_if(a.lf0.begin(), a.lf0.end(), [](double x) { return x > -1e9; });
  return a.frames() ? static_cast<double>(v) / static_cast<double>(a.frames()) : 0.0;
}

TEST(AnalysisInput, HardSignalsGiveStreamsTheDecoderRenders) {
  const int fs = 16000;
  std::mt19937 gen(3);
  std::normal_distribution<double> normal(0.0, 0.3);
  const Rendering speech = render_known(fs, 140.0, 1.0);
  struct Case {
    std::string name;
    std::vector<double> x;
    double most_voiced, least_voiced;
  };
  std::vector<Case> cases = {
      {"empty", {}, 0.0, 0.0},
      {"shorter than a frame and a half", std::vector<double>(119, 0.1), 0.0, 0.0},
      {"silence", std::vector<double>(16000, 0.0), 0.0, 0.0},
      {"offset", std::vector<double>(16000, 0.5), 0.0, 0.0}};
  // Noise through one narrow resonance (250 Hz, 15 Hz wide) correlates at
  // the resonance's period, but has no harmonics above it.
  Case noise{"white noise", {}, 0.1, 0.0}, resonance{"noise through a resonance", {}, 0.15, 0.0},
      sine{"a 440 Hz sine", {}, 1.0, 0.9}, clipped{"speech clipped", {}, 1.0, 0.3},
      loud{"speech at 1e5 x full scale", {}, 1.0, 0.3},
      biased{"speech with an offset", {}, 1.0, 0.3};
  const double radius = std::exp(-3.141592653589793 * 15.0 / fs);
  const double pull = 2.0 * radius * std::cos(2.0 * 3.141592653589793 * 250.0 / fs);
  double y1 = 0.0, y2 = 0.0;
  for (int i = 0; i < 2 * fs; ++i) {
    const double y = normal(gen) + pull * y1 - radius * radius * y2;
    resonance.x.push_back(0.01 * y);
    y2 = y1;
    y1 = y;
  }
  for (int i = 0; i < fs; ++i) {
    noise.x.push_back(normal(gen));
    sine.x.push_back(0.5 * std::sin(2.0 * 3.141592653589793 * 440.0 * i / fs));
  }
  for (double v : speech.x) {
    clipped.x.push_back(std::clamp(8.0 * v, -1.0, 1.0));
    loud.x.push_back(1e5 * v);
    biased.x.push_back(v + 0.3);
  }
  cases.insert(cases.end(), {noise, resonance, sine, clipped, loud, biased});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Analysis a = analyse(c.x, at_rate(fs));
    EXPECT_EQ(a.frames(), analysis_frames(c.x.size(), 80));
    EXPECT_TRUE(renderable(a, fs));
    EXPECT_LE(voiced_share(a), c.most_voiced);
    EXPECT_GE(voiced_share(a), c.least_voiced);
  }
}

TEST(AnalysisInput, NonFiniteAndHugeSamplesAreRefusedWithNothingConsumed) {
  std::vector<double> x(4000, 0.01);
  for (double bad : {std::nan(""), HUGE_VAL, -2e6}) {
    x[1234] = bad;
    try {
      (void)analyse(x);
      ADD_FAILURE() << bad << " accepted";
    } catch (const Error& e) {
      EXPECT_EQ(e.code(), Errc::bad_argument);
      EXPECT_NE(std::string(e.what()).find("sample 1234"), std::string::npos) << e.what();
    }
  }
  Analyser analyser;
  EXPECT_THROW((void)analyser.push(x), Error);
  x[1234] = 0.01;
  EXPECT_EQ(analyser.push(x).frames() + analyser.flush().frames(), analysis_frames(4000, 80));
}

TEST(AnalysisOptions, ValuesOutOfRangeAreRefused) {
  auto with = [](auto change) {
    AnalysisOptions o;
    change(o);
    return o;
  };
  const AnalysisOptions bad[] = {
      with([](AnalysisOptions& o) { o.sample_rate = 7999; }),
      with([](AnalysisOptions& o) { o.sample_rate = 96000; }),
      with([](AnalysisOptions& o) { o.frame_shift = 0u; }),
      with([](AnalysisOptions& o) { o.frame_shift = 1601u; }),
      with([](AnalysisOptions& o) { o.order = 201; }),
      with([](AnalysisOptions& o) { o.alpha = 1.0; }),
      with([](AnalysisOptions& o) { o.alpha = std::nan(""); }),
      with([](AnalysisOptions& o) { o.f0_min = 30.0; }),
      with([](AnalysisOptions& o) { o.f0_max = 1200.0; }),
      with([](AnalysisOptions& o) { o.f0_min = 300.0, o.f0_max = 200.0; }),
      with([](AnalysisOptions& o) { o.cepstrum_form = static_cast<CepstrumForm>(2); }),
  };
  for (const AnalysisOptions& o : bad) {
    EXPECT_THROW(Analyser{o}, Error);
  }
}

// Writes x as a file of the given libsndfile format and channel count
// (every channel the same signal, scaled by its number).
void write_sound(const std::string& path, const std::vector<double>& x, int fs, int format,
                 int channels) {
  SF_INFO info{};
  info.samplerate = fs;
  info.channels = channels;
  info.format = format;
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
  std::vector<double> frames;
  for (double v : x) {
    for (int c = 1; c <= channels; ++c) {
      frames.push_back(v * c);
    }
  }
  sf_writef_double(f, frames.data(), static_cast<sf_count_t>(x.size()));
  sf_close(f);
}

TEST(AudioReader, FormatsChannelsAndRatesComeInAsMonoFullScale) {
  test::TempDir dir;
  std::vector<double> x(4410);
  for (std::size_t i = 0; i < x.size(); ++i) {
    x[i] = 0.25 * std::sin(0.05 * static_cast<double>(i));
  }
  const std::string f32 = dir.file("f.wav"), st = dir.file("s.flac");
  write_sound(f32, x, 44100, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1);
  write_sound(st, x, 44100, SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 2);
  const Audio a = read_audio(f32);
  EXPECT_EQ(a.sample_rate, 44100);
  EXPECT_EQ(a.samples.size(), x.size());
  EXPECT_NEAR(a.samples[100], x[100], 1e-7);
  const Audio mixed = read_audio(st);
  EXPECT_EQ(mixed.channels, 2);
  EXPECT_NEAR(mixed.samples[100], 1.5 * x[100], 1e-6);
  EXPECT_NEAR(read_audio(st, std::nullopt, 2).samples[100], 2.0 * x[100], 1e-6);
  const Audio down = read_audio(st, 16000);
  EXPECT_EQ(down.sample_rate, 16000);
  EXPECT_EQ(down.file_rate, 44100);
  EXPECT_NEAR(static_cast<double>(down.samples.size()), 1600.0, 2.0);
}

TEST(AudioReader, BadFilesAreRefusedNamingTheFile) {
  test::TempDir dir;
  const std::string text = dir.file("text.wav"), nan = dir.file("nan.wav"),
                    low = dir.file("low.wav");
  test::writebytes(text, "not audio at all\n");
  std::vector<double> x(1000, 0.1);
  x[500] = std::nan("");
  write_sound(nan, x, 16000, SF_FORMAT_WAV | SF_FORMAT_DOUBLE, 1);
  write_sound(low, std::vector<double>(100, 0.1), 6000, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1);
  const struct {
    std::string path;
    std::optional<int> fs;
    int channel;
    Errc code;
    std::string words;
  } cases[] = {{dir.file("missing.wav"), std::nullopt, 0, Errc::open_failed, "missing.wav"},
               {dir.path.string(), std::nullopt, 0, Errc::open_failed, "folder"},
               {text, std::nullopt, 0, Errc::open_failed, "text.wav"},
               {nan, std::nullopt, 0, Errc::open_failed, "sample 500"},
               {low, std::nullopt, 0, Errc::open_failed, "6000 Hz"},
               {low, 4000, 0, Errc::bad_argument, "4000"},
               {low, 16000, 2, Errc::bad_argument, "channel 2"}};
  for (const auto& c : cases) {
    try {
      (void)read_audio(c.path, c.fs, c.channel);
      ADD_FAILURE() << c.path << " accepted";
    } catch (const Error& e) {
      EXPECT_EQ(e.code(), c.code) << e.what();
      EXPECT_NE(std::string(e.what()).find(c.words), std::string::npos) << e.what();
    }
  }
  EXPECT_EQ(read_audio(low, 16000).samples.size(), 267u);
}

TEST(AnalysisCInterface, GivesTheFramesOfTheCppInterface) {
  const Rendering r = render_known(22050, 200.0, 0.6);
  vallisynth_analysis_options o;
  vallisynth_analysis_options_init(&o);
  o.sample_rate = 22050;
  o.order = 12;
  o.cepstrum_form = VALLISYNTH_CC_SPTK;
  AnalysisOptions cpp = at_rate(22050);
  cpp.order = 12;
  cpp.cepstrum_form = CepstrumForm::sptk;
  const Analysis want = analyse(r.x, cpp);

  double *lf0 = nullptr, *cc = nullptr, *fv = nullptr;
  std::size_t frames = 0;
  ASSERT_EQ(vallisynth_analyse(r.x.data(), r.x.size(), &o, &lf0, &cc, &fv, &frames), VALLISYNTH_OK);
  EXPECT_EQ(std::vector<double>(cc, cc + frames * 13), want.cc);
  EXPECT_EQ(std::vector<double>(lf0, lf0 + frames), want.lf0);
  vallisynth_free(lf0);
  vallisynth_free(cc);
  vallisynth_free(fv);

  vallisynth_analyser* a = nullptr;
  ASSERT_EQ(vallisynth_analyser_create(&o, &a), VALLISYNTH_OK);
  const std::size_t cap = vallisynth_analyser_max_frames(a, r.x.size());
  std::vector<double> l(cap), c(cap * 13), v(cap);
  std::size_t n = 0, m = 0;
  ASSERT_EQ(
      vallisynth_analyser_push(a, r.x.data(), r.x.size(), l.data(), c.data(), v.data(), cap, &n),
      VALLISYNTH_OK);
  ASSERT_EQ(
      vallisynth_analyser_flush(a, l.data() + n, c.data() + n * 13, v.data() + n, cap - n, &m),
      VALLISYNTH_OK);
  c.resize((n + m) * 13);
  EXPECT_EQ(c, want.cc);
  EXPECT_EQ(
      vallisynth_analyser_push(a, r.x.data(), r.x.size(), l.data(), c.data(), v.data(), 1, &n),
      VALLISYNTH_ERR_BAD_ARGUMENT);
  vallisynth_analyser_destroy(a);

  o.size = 8;  // a struct from some other library's version
  EXPECT_EQ(vallisynth_analyser_create(&o, &a), VALLISYNTH_ERR_BAD_ARGUMENT);
  EXPECT_NE(std::string(vallisynth_last_error()).find("options.size"), std::string::npos);
  double* samples = nullptr;
  std::size_t count = 0;
  EXPECT_EQ(vallisynth_read_audio("/nonexistent.wav", 0, 0, &samples, &count, nullptr, nullptr),
            VALLISYNTH_ERR_OPEN);
  // The failure's message names the file and the system's reason.
  EXPECT_NE(std::string(vallisynth_last_error()).find("/nonexistent.wav"), std::string::npos);
  EXPECT_EQ(vallisynth_last_system_error(), ENOENT);
}

}  // namespace
}  // namespace vallisynth
