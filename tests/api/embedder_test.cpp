// The library as an embedder meets it: values at the edges of every range,
// failures with their reasons, and the C interface reaching what the C++
// one does, structures of an older size included.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iterator>
#include <limits>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "support/testsupport.h"
#include "vallisynth/vallisynth.h"
#include "vallisynth/vallisynth.hpp"

namespace vallisynth::test {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Utterance {
  std::vector<double> lf0, cc, fv;
  std::size_t p() const {
    return cc.size() / lf0.size();
  }
};

Utterance load(const std::string& stem, bool withfv) {
  const std::string base = std::string(VALLISYNTH_SOURCE_DIR) + "/examples/" + stem;
  Utterance u{read_stream(base + ".lf0"), read_stream(base + ".cc"), {}};
  if (withfv) {
    u.fv = read_stream(base + ".fv");
  }
  return u;
}

// The Error that f throws (its code 0 when it throws none).
Error errorof(const std::function<void()>& f) {
  try {
    f();
  } catch (const Error& e) {
    return e;
  }
  return Error(static_cast<Errc>(0), "");
}

TEST(Embedding, PathsHoldingANulAreRefusedAndNameNoOtherFile) {
  TempDir dir;
  const std::string kept = dir.file("a");
  writebytes(kept, floatbytes({1.0f, 2.0f}));
  const std::string cut = kept + std::string(1, '\0') + ".wav";
  const std::vector<double> x(10, 0.5);
  for (const auto& call : std::vector<std::function<void()>>{
           [&] { write_wav(cut, x); }, [&] { WavWriter w(cut, 10, 16000); },
           [&] { static_cast<void>(read_stream(cut)); }, [&] { StreamReader r(cut); }}) {
    EXPECT_EQ(errorof(call).code(), Errc::bad_argument);
  }
  EXPECT_EQ(readbytes(kept), floatbytes({1.0f, 2.0f}));
}

// A finite c0 of 800 (a corrupt or byte-swapped stream) overflows the
// envelope: the frame renders as a row that is not finite does (silent over
// its span, out of the c0 range), it is counted, and no sample is infinite,
// with or without normalisation.
TEST(Embedding, AnOverflowingEnvelopeIsSilentCountedAndLeftOutOfTheStatistics) {
  Utterance u = load("utt02", false);
  const std::size_t p = u.p(), k = 120;
  std::vector<double> nanrow = u.cc;
  nanrow[k * p] = kNaN;
  for (const double huge : {800.0, 1e300}) {
    std::vector<double> cc = u.cc;
    cc[k * p] = huge;
    const UtteranceStats st = utterance_stats(u.lf0, cc, {}, {});
    const UtteranceStats ref = utterance_stats(u.lf0, nanrow, {}, {});
    EXPECT_EQ(st.overflowing, 1u);
    EXPECT_EQ(st.nonfinite, 1u);
    EXPECT_EQ(st.nonfinite_cc, 0u);
    EXPECT_EQ(st.c0_limits.highest_voiced, ref.c0_limits.highest_voiced);
    EXPECT_EQ(st.c0_limits.lowest, ref.c0_limits.lowest);
    EXPECT_EQ(count_nonfinite_frames(u.lf0, cc), 1u);
    EXPECT_EQ(render(u.lf0, cc), render(u.lf0, nanrow)) << huge;
    const std::vector<double> normalised = render(u.lf0, cc, {}, {.normalize = true});
    double peak = 0.0;
    for (const double v : normalised) {
      ASSERT_TRUE(std::isfinite(v));
      peak = std::max(peak, std::fabs(v));
    }
    EXPECT_DOUBLE_EQ(peak, 0.99);
  }
  // A gain that overflows the samples leaves none that is not finite.
  for (const double v : render(u.lf0, u.cc, {}, {.gain = 1e308})) {
    ASSERT_TRUE(std::isfinite(v));
  }
}

TEST(Embedding, UtteranceWideValuesThatAreNotFiniteAreRefused) {
  const Utterance u = load("utt03", false);
  const Options bad[] = {{.c0_limits = C0Limits{kNaN, 1.0}},
                         {.c0_limits = C0Limits{0.0, kInf}},
                         {.mean_lf0 = kNaN},
                         {.gain = kNaN},
                         {.gain = -kInf}};
  for (const Options& o : bad) {
    EXPECT_EQ(errorof([&] { static_cast<void>(render(u.lf0, u.cc, {}, o)); }).code(),
              Errc::bad_argument);
  }
  vallisynth_options c;
  vallisynth_options_init(&c);
  c.gain_set = 1;
  c.gain = kNaN;
  std::vector<double> out(vallisynth_rendered_length(u.lf0.size(), nullptr));
  EXPECT_EQ(vallisynth_render(u.lf0.data(), u.lf0.size(), u.cc.data(), u.cc.size(), nullptr, 0, &c,
                              nullptr, out.data(), out.size(), nullptr),
            VALLISYNTH_ERR_BAD_ARGUMENT);
  EXPECT_NE(std::strstr(vallisynth_last_error(), "gain"), nullptr) << vallisynth_last_error();
  // Without voiced frames the statistics' mean is NaN, and render needs no
  // centre: it renders pitch-range changes as before.
  const std::vector<double> unvoiced(u.lf0.size(), -1e10);
  EXPECT_EQ(render(unvoiced, u.cc, {}, {.pitch_range = 2.0}), render(unvoiced, u.cc));
}

TEST(Embedding, RenderedLengthSaturatesInsteadOfWrapping) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(rendered_length(kMax, {}), kMax);
  EXPECT_EQ(rendered_length(kMax / 80u, {}), kMax);
  EXPECT_EQ(rendered_length(kMax / 80u - 1u, {}), kMax / 80u * 80u + 1u);  // the last that fits
  EXPECT_EQ(vallisynth_rendered_length(kMax, nullptr), kMax);
  EXPECT_EQ(rendered_length(3, {}), 321u);
}

// -inf (the log of an f0 of 0) is an unvoiced marker, not a fault; a fault
// is reported for the stream that holds it.
TEST(Embedding, UnvoicedMarkersAreNoFaultAndFaultsAreCountedByStream) {
  Utterance u = load("utt01", true);
  std::vector<double> marked = u.lf0, minf = u.lf0;
  marked[30] = -1e10;
  minf[30] = -kInf;
  EXPECT_EQ(count_nonfinite_frames(minf, u.cc, u.fv), 0u);
  EXPECT_EQ(render(minf, u.cc, u.fv), render(marked, u.cc, u.fv));
  u.fv[40] = kNaN;
  u.lf0[50] = kNaN;
  u.cc[60 * u.p() + 2] = kInf;
  u.cc[61 * u.p()] = kNaN;
  const UtteranceStats st = utterance_stats(u.lf0, u.cc, u.fv, {});
  EXPECT_EQ(st.nonfinite_fv, 1u);
  EXPECT_EQ(st.nonfinite_lf0, 1u);
  EXPECT_EQ(st.nonfinite_cc, 2u);
  EXPECT_EQ(st.nonfinite, 4u);
}

TEST(Embedding, PartialInputsGiveErrorsNotPartialCounts) {
  const Utterance u = load("utt03", false);
  const std::span<const double> cc(u.cc);
  EXPECT_EQ(errorof([&] { count_nonfinite_frames(u.lf0, cc.first(cc.size() - 1)); }).code(),
            Errc::dimensions);
  EXPECT_EQ(errorof([&] { count_nonfinite_frames(u.lf0, u.cc, std::vector<double>(3)); }).code(),
            Errc::dimensions);
  EXPECT_EQ(count_nonfinite_frames({}, {}), 0u);
  const auto order = static_cast<std::uint32_t>(u.p() - 1);
  StatsScanner scanner(u.lf0, order, {});
  scanner.add(cc.first(u.p() * 10));
  EXPECT_EQ(errorof([&] { scanner.stats(); }).code(), Errc::dimensions);
  scanner.add(cc.subspan(u.p() * 10));
  const UtteranceStats whole = utterance_stats(u.lf0, u.cc, {}, {});
  EXPECT_EQ(scanner.stats().c0_limits.lowest, whole.c0_limits.lowest);
  EXPECT_EQ(errorof([&] { StatsScanner empty({}, order, {}); }).code(), Errc::bad_argument);
}

TEST(Embedding, AnF0TrackInHzIsRecognised) {
  const Utterance u = load("utt01", false);
  std::vector<double> hz(u.lf0.size());
  for (std::size_t k = 0; k < hz.size(); ++k) {
    hz[k] = u.lf0[k] > -1e10 ? std::exp(u.lf0[k]) : 0.0;  // pyworld's convention
  }
  EXPECT_TRUE(utterance_stats(hz, u.cc, {}, {}).lf0_in_hz);
  EXPECT_TRUE(vallisynth_lf0_looks_like_hz(hz.data(), hz.size()));
  EXPECT_FALSE(utterance_stats(u.lf0, u.cc, {}, {}).lf0_in_hz);
  EXPECT_FALSE(lf0_looks_like_hz(std::vector<double>(10, 0.0)));
  hz[3] = 5.0;  // a log-f0 among them: not a track in Hz
  EXPECT_FALSE(lf0_looks_like_hz(hz));
}

TEST(Embedding, FileFailuresCarryTheSystemsReason) {
  const Error missing = errorof([] { static_cast<void>(read_stream("/nonexistent/a.lf0")); });
  EXPECT_EQ(missing.code(), Errc::open_failed);
  EXPECT_EQ(missing.system_error(), ENOENT);
  EXPECT_EQ(missing.path(), "/nonexistent/a.lf0");
  EXPECT_NE(std::string(missing.what()).find("No such file or directory"), std::string::npos);
  const Error full = errorof([] { write_wav("/dev/full", std::vector<double>(100000, 0.1)); });
  EXPECT_EQ(full.code(), Errc::create_failed);
  EXPECT_EQ(full.system_error(), ENOSPC);
  EXPECT_EQ(std::string(full.what()), "could not create /dev/full: No space left on device");

  double* values = nullptr;
  std::size_t count = 0;
  EXPECT_EQ(vallisynth_read_stream("/nonexistent/a.lf0", &values, &count), VALLISYNTH_ERR_OPEN);
  EXPECT_EQ(vallisynth_last_system_error(), ENOENT);
  EXPECT_STREQ(vallisynth_last_error(), missing.what());
}

TEST(Embedding, SynthesizerMovesWithItsState) {
  const Utterance u = load("utt01", true);
  const std::size_t K = u.lf0.size(), half = K / 2, p = u.p();
  std::vector<double> x(rendered_length(K, {}));
  Synthesizer first(static_cast<std::uint32_t>(p - 1), true, {});
  std::size_t n = first.push(std::span(u.lf0).first(half), std::span(u.cc).first(half * p),
                             std::span(u.fv).first(half), x);
  Synthesizer moved(std::move(first));
  n += moved.push(std::span(u.lf0).subspan(half), std::span(u.cc).subspan(half * p),
                  std::span(u.fv).subspan(half, K - half), std::span(x).subspan(n));
  EXPECT_EQ(moved.frames(), K);
  n += moved.flush(std::span(x).subspan(n));
  EXPECT_EQ(n, x.size());
  EXPECT_EQ(x, render(u.lf0, u.cc, u.fv));
}

// Threads of this process, from /proc.
std::size_t threadcount() {
  const std::filesystem::directory_iterator tasks("/proc/self/task");
  return static_cast<std::size_t>(std::distance(tasks, std::filesystem::directory_iterator()));
}

// More threads than the cores (each would hold its own work areas) are not
// started, and a rendering too short to share out starts none.
TEST(Embedding, ThreadsBeyondWhatTheWorkCanUseAreNotStarted) {
  const Utterance u = load("utt01", true);
  // A thread started and joined first: a sanitizer's runtime adds a thread
  // of its own at the first one, which is not the library's.
  std::thread([] {}).join();
  const std::size_t before = threadcount();
  {
    Synthesizer synth(static_cast<std::uint32_t>(u.p() - 1), true, {.threads = 1024});
    EXPECT_LE(threadcount(), before + usable_threads() - 1);
  }
  NoiseSource noise;
  const std::size_t tenframes = 10;
  Synthesizer shortone(static_cast<std::uint32_t>(u.p() - 1), true, {.threads = 0}, noise,
                       tenframes);
  EXPECT_EQ(threadcount(), before);
  Options many{.threads = 1024};
  EXPECT_EQ(render(u.lf0, u.cc, u.fv, many), render(u.lf0, u.cc, u.fv));
}

// A program built against the header before threads existed passes the
// smaller struct: the library neither writes nor reads past it.
TEST(CInterface, AnOlderSizedOptionsStructKeepsTheNewFieldsDefaults) {
  const Utterance u = load("utt03", false);
  struct {
    vallisynth_options options;
    unsigned char guard[8];
  } old;
  std::memset(&old, 0xAB, sizeof old);
  const std::size_t oldsize = offsetof(vallisynth_options, threads);
  vallisynth_options_init_size(&old.options, oldsize);
  EXPECT_EQ(old.options.size, oldsize);
  EXPECT_EQ(old.options.threads, 0xABABABABu);  // left alone: past the caller's struct
  std::vector<double> x(vallisynth_rendered_length(u.lf0.size(), &old.options));
  ASSERT_EQ(vallisynth_render(u.lf0.data(), u.lf0.size(), u.cc.data(), u.cc.size(), nullptr, 0,
                              &old.options, nullptr, x.data(), x.size(), nullptr),
            VALLISYNTH_OK)
      << vallisynth_last_error();
  EXPECT_EQ(x, render(u.lf0, u.cc));

  vallisynth_options unset{};
  EXPECT_EQ(vallisynth_render(u.lf0.data(), u.lf0.size(), u.cc.data(), u.cc.size(), nullptr, 0,
                              &unset, nullptr, x.data(), x.size(), nullptr),
            VALLISYNTH_ERR_BAD_ARGUMENT);
  EXPECT_NE(std::strstr(vallisynth_last_error(), "vallisynth_options_init"), nullptr);

  vallisynth_stats oldstats;
  std::memset(&oldstats, 0xAB, sizeof oldstats);
  vallisynth_stats_init_size(&oldstats, offsetof(vallisynth_stats, nonfinite_lf0));
  ASSERT_EQ(vallisynth_utterance_stats(u.lf0.data(), u.lf0.size(), u.cc.data(), u.cc.size(),
                                       nullptr, 0, nullptr, &oldstats),
            VALLISYNTH_OK);
  EXPECT_EQ(oldstats.voiced, utterance_stats(u.lf0, u.cc, {}, {}).voiced);
  EXPECT_EQ(oldstats.nonfinite_lf0, 0xABABABABABABABABu);
}

// Threads, the stream reader, the streaming writer, the statistics scanner,
// the non-finite count and the rate defaults through the C interface give
// what the C++ interface gives.
TEST(CInterface, ReachesWhatTheCppInterfaceDoes) {
  const Utterance u = load("utt01", true);
  const std::size_t K = u.lf0.size(), p = u.p();
  vallisynth_options o;
  vallisynth_options_init(&o);
  o.threads = 3;
  std::vector<double> x(vallisynth_rendered_length(K, &o));
  ASSERT_EQ(vallisynth_render(u.lf0.data(), K, u.cc.data(), u.cc.size(), u.fv.data(), K, &o,
                              nullptr, x.data(), x.size(), nullptr),
            VALLISYNTH_OK);
  EXPECT_EQ(x, render(u.lf0, u.cc, u.fv));
  o.threads = 1025;
  EXPECT_EQ(vallisynth_render(u.lf0.data(), K, u.cc.data(), u.cc.size(), u.fv.data(), K, &o,
                              nullptr, x.data(), x.size(), nullptr),
            VALLISYNTH_ERR_BAD_ARGUMENT);
  o.threads = 1;

  const std::string path = std::string(VALLISYNTH_SOURCE_DIR) + "/examples/utt01.cc";
  vallisynth_reader* reader = nullptr;
  ASSERT_EQ(vallisynth_reader_open(path.c_str(), &reader), VALLISYNTH_OK);
  std::uint64_t size = 0;
  EXPECT_EQ(vallisynth_reader_size(reader, &size), 1);
  EXPECT_EQ(size, u.cc.size());
  std::vector<double> cc, piece(1000);
  for (std::size_t got = 1; got != 0;) {
    ASSERT_EQ(vallisynth_reader_read(reader, piece.data(), piece.size(), &got), VALLISYNTH_OK);
    cc.insert(cc.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(got));
  }
  EXPECT_EQ(cc, u.cc);
  EXPECT_EQ(vallisynth_reader_rewind(reader), 1);
  vallisynth_reader_close(reader);

  TempDir dir;
  vallisynth_wav* wav = nullptr;
  ASSERT_EQ(vallisynth_wav_open(dir.file("c.wav").c_str(), x.size(), 16000, &wav), VALLISYNTH_OK);
  ASSERT_EQ(vallisynth_wav_write(wav, x.data(), 1000), VALLISYNTH_OK);
  EXPECT_FALSE(std::filesystem::exists(dir.file("c.wav")));  // not before the commit
  ASSERT_EQ(vallisynth_wav_write(wav, x.data() + 1000, x.size() - 1000), VALLISYNTH_OK);
  ASSERT_EQ(vallisynth_wav_commit(wav), VALLISYNTH_OK);
  vallisynth_wav_close(wav);
  write_wav(dir.file("cpp.wav"), x);
  EXPECT_EQ(readbytes(dir.file("c.wav")), readbytes(dir.file("cpp.wav")));

  vallisynth_scanner* scanner = nullptr;
  ASSERT_EQ(
      vallisynth_scanner_create(u.lf0.data(), K, static_cast<std::uint32_t>(p - 1), &o, &scanner),
      VALLISYNTH_OK);
  vallisynth_stats st;
  vallisynth_stats_init(&st);
  ASSERT_EQ(vallisynth_scanner_add(scanner, u.cc.data(), 7 * p, u.fv.data(), 7), VALLISYNTH_OK);
  EXPECT_EQ(vallisynth_scanner_stats(scanner, &st), VALLISYNTH_ERR_DIMENSIONS);
  ASSERT_EQ(
      vallisynth_scanner_add(scanner, u.cc.data() + 7 * p, (K - 7) * p, u.fv.data() + 7, K - 7),
      VALLISYNTH_OK);
  ASSERT_EQ(vallisynth_scanner_stats(scanner, &st), VALLISYNTH_OK);
  vallisynth_scanner_destroy(scanner);
  const UtteranceStats want = utterance_stats(u.lf0, u.cc, u.fv, {});
  EXPECT_EQ(st.mean_lf0, want.mean_lf0);
  EXPECT_EQ(st.voiced, want.voiced);
  EXPECT_EQ(st.c0_highest_voiced, want.c0_limits.highest_voiced);

  std::uint64_t bad = 1;
  ASSERT_EQ(vallisynth_count_nonfinite_frames(u.lf0.data(), K, u.cc.data(), u.cc.size(), nullptr, 0,
                                              &o, &bad),
            VALLISYNTH_OK);
  EXPECT_EQ(bad, 0u);
  EXPECT_EQ(vallisynth_default_alpha(44100), default_alpha(44100));
  EXPECT_EQ(vallisynth_default_frame_shift(22050), 110u);
  o.duration_factor = 1.5;
  std::uint32_t shift = 0;
  ASSERT_EQ(vallisynth_synthesis_frame_shift(&o, &shift), VALLISYNTH_OK);
  EXPECT_EQ(shift, 120u);
  // A noise source saved and restored elsewhere goes on where it stood.
  vallisynth_noise* moved = vallisynth_noise_create();
  vallisynth_noise* restored = vallisynth_noise_create();
  ASSERT_EQ(vallisynth_noise_skip(moved, 1234, &o), VALLISYNTH_OK);
  std::uint8_t saved[VALLISYNTH_NOISE_SAVED_SIZE];
  ASSERT_EQ(vallisynth_noise_save(moved, saved, sizeof saved), VALLISYNTH_OK);
  EXPECT_EQ(vallisynth_noise_equal(moved, restored), 0);
  ASSERT_EQ(vallisynth_noise_restore(restored, saved, sizeof saved), VALLISYNTH_OK);
  EXPECT_EQ(vallisynth_noise_equal(moved, restored), 1);
  EXPECT_EQ(vallisynth_noise_restore(restored, saved, 3), VALLISYNTH_ERR_BAD_ARGUMENT);
  vallisynth_noise_destroy(moved);
  vallisynth_noise_destroy(restored);

  std::vector<double> y = x;
  vallisynth_normalize(y.data(), y.size());
  normalize(x);
  EXPECT_EQ(y, x);
}

}  // namespace
}  // namespace vallisynth::test
