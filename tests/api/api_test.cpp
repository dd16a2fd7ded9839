// The public interface as a program embedding the library uses it: the
// command line's bytes from memory, batches through one noise source, every
// error code, the PCM conversion's limits, and rendering from several
// threads at once.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <set>
#include <thread>

#include "support/testsupport.h"
#include "vallisynth/vallisynth.h"
#include "vallisynth/vallisynth.hpp"

namespace vallisynth::test {
namespace {

const std::filesystem::path kExamples = std::filesystem::path(VALLISYNTH_SOURCE_DIR) / "examples";

std::string example(const std::string& name) {
  return (kExamples / name).string();
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

std::string wavbytes(const std::vector<double>& x, int fs, const TempDir& dir) {
  const std::string path = dir.file("api.wav");
  write_wav(path, x, fs);
  return readbytes(path);
}

TEST(Api, OneShotGivesTheCommandLinesBytes) {
  TempDir dir;
  const struct {
    const char* stem;
    bool fv;
    std::vector<std::string> args;
    Options options;
  } cases[] = {
      {"utt01", true, {}, {}},
      {"utt01", false, {}, {}},
      {"utt02",
       false,
       {"--FPITCH=1.5", "--FVPITCH=0.5", "--FDUR=1.5", "--FWARP=0.1", "--GAMMA=0.4", "--WAVNORM=1"},
       {.gamma = 0.4,
        .pitch_factor = 1.5,
        .pitch_range = 0.5,
        .duration_factor = 1.5,
        .vocal_tract_warp = 0.1,
        .normalize = true}},
      {"utt01", true, {"--FS=22050", "--FVALPHA=0.3"}, {.sample_rate = 22050, .fv_alpha = 0.3}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.stem) + (c.fv ? " with fv" : ""));
    const Utterance u = load(c.stem, c.fv);
    std::vector<std::string> args = {example(std::string(c.stem) + ".lf0"),
                                     example(std::string(c.stem) + ".cc")};
    if (c.fv) {
      args.push_back(example(std::string(c.stem) + ".fv"));
    }
    args.push_back(dir.file("cli.wav"));
    args.insert(args.end(), c.args.begin(), c.args.end());
    ASSERT_EQ(runvallisynth(args).exitcode, 0);
    const std::vector<double> x = render(u.lf0, u.cc, u.fv, c.options);
    EXPECT_EQ(x.size(), rendered_length(u.lf0.size(), c.options));
    EXPECT_TRUE(wavbytes(x, c.options.sample_rate, dir) == readbytes(dir.file("cli.wav")));
  }
}

TEST(Api, OneNoiseSourceAcrossUtterancesIsTheCommandLinesBatch) {
  TempDir dir;
  const auto r = runvallisynth(
      {example("utt??.lf0"), example("utt??.cc"), dir.file("out??.wav"), "--INDLIST=1-3"});
  ASSERT_EQ(r.exitcode, 0) << r.out;
  NoiseSource noise;
  for (const char* n : {"01", "02", "03"}) {
    const Utterance u = load(std::string("utt") + n, false);
    const std::vector<double> x = render(u.lf0, u.cc, {}, {}, noise);
    EXPECT_TRUE(wavbytes(x, 16000, dir) == readbytes(dir.file(std::string("out") + n + ".wav")))
        << n;
  }
  // A copy is a snapshot of the position; reset starts the sequence again.
  const Utterance u = load("utt02", false);
  NoiseSource copy = noise;
  const std::vector<double> a = render(u.lf0, u.cc, {}, {}, noise);
  EXPECT_EQ(render(u.lf0, u.cc, {}, {}, copy), a);
  noise.reset();
  EXPECT_EQ(render(u.lf0, u.cc, {}, {}, noise), render(u.lf0, u.cc));
}

// The code of the Error that f throws, or 0.
template <typename F>
int codeof(F&& f) {
  try {
    f();
  } catch (const Error& e) {
    EXPECT_GT(std::strlen(e.what()), 10u);
    return static_cast<int>(e.code());
  }
  return 0;
}

TEST(Api, EveryFailureHasItsCode) {
  const Utterance u = load("utt03", false);
  const std::vector<double> cc(u.cc.begin(), u.cc.end() - 1);
  const std::vector<double> shortfv(u.lf0.size() - 1, 1000.0);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::vector<double> small(10);
  const auto bad = [&](Options o) { return codeof([&] { render(u.lf0, u.cc, {}, o); }); };
  EXPECT_EQ(bad({.sample_rate = 7999}), VALLISYNTH_ERR_BAD_ARGUMENT);
  EXPECT_EQ(bad({.sample_rate = 48001}), VALLISYNTH_ERR_BAD_ARGUMENT);
  EXPECT_EQ(bad({.frame_shift = 0}), VALLISYNTH_ERR_BAD_ARGUMENT);
  EXPECT_EQ(bad({.alpha = 1.0}), VALLISYNTH_ERR_BAD_ARGUMENT);
  EXPECT_EQ(bad({.alpha = nan}), VALLISYNTH_ERR_BAD_ARGUMENT);
  EXPECT_EQ(bad({.gamma = INFINITY}), VALLISYNTH_ERR_BAD_ARGUMENT);
  EXPECT_EQ(bad({.fv_alpha = -1.0}), VALLISYNTH_ERR_BAD_ARGUMENT);
  EXPECT_EQ(bad({.pitch_factor = 4.5}), VALLISYNTH_ERR_BAD_ARGUMENT);
  EXPECT_EQ(bad({.pitch_range = nan}), VALLISYNTH_ERR_BAD_ARGUMENT);
  EXPECT_EQ(bad({.duration_factor = 0.2}), VALLISYNTH_ERR_BAD_ARGUMENT);
  EXPECT_EQ(bad({.vocal_tract_warp = 0.995}), VALLISYNTH_ERR_BAD_ARGUMENT);
  EXPECT_EQ(bad({.cepstrum_form = static_cast<CepstrumForm>(2)}), VALLISYNTH_ERR_BAD_ARGUMENT);
  EXPECT_EQ(bad({.frame_shift = 1073741814}), VALLISYNTH_ERR_TOO_LONG);
  EXPECT_EQ(codeof([&] { render({}, u.cc); }), VALLISYNTH_ERR_BAD_ARGUMENT);
  EXPECT_EQ(codeof([&] { render(u.lf0, cc); }), VALLISYNTH_ERR_DIMENSIONS);
  EXPECT_EQ(codeof([&] { render(u.lf0, u.cc, shortfv); }), VALLISYNTH_ERR_DIMENSIONS);
  EXPECT_EQ(codeof([&] {
              NoiseSource n;
              render(u.lf0, u.cc, {}, {}, n, small);
            }),
            VALLISYNTH_ERR_BAD_ARGUMENT);
  EXPECT_EQ(codeof([&] { read_stream("/nonexistent/x.lf0"); }), VALLISYNTH_ERR_OPEN);
  EXPECT_EQ(codeof([&] { write_wav("/nonexistent/x.wav", small); }), VALLISYNTH_ERR_CREATE);
  EXPECT_EQ(codeof([&] { write_wav("/tmp/x.wav", small, 100); }), VALLISYNTH_ERR_BAD_ARGUMENT);
  std::vector<std::int16_t> pcm(5);
  EXPECT_EQ(codeof([&] { to_pcm16(small, pcm); }), VALLISYNTH_ERR_BAD_ARGUMENT);

  // Out of memory, in a child whose address space is too small for the
  // output of a long utterance (the sanitizers reserve far more address
  // space than such a limit allows).
#if !defined(__SANITIZE_ADDRESS__)
  const pid_t pid = fork();
  if (pid == 0) {
    const rlimit limit{512u << 20, 512u << 20};
    setrlimit(RLIMIT_AS, &limit);
    const std::vector<double> lf0(3000, std::log(100.0)), ccs(3000, 0.0);
    const int code = codeof([&] { render(lf0, ccs, {}, {.frame_shift = 100000}); });
    std::_Exit(code == VALLISYNTH_ERR_OUT_OF_MEMORY ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
#endif

  // The C interface returns the same codes, with a sentence for each.
  vallisynth_options o;
  vallisynth_options_init(&o);
  o.pitch_factor = 5.0;
  double out[4];
  EXPECT_EQ(vallisynth_render(u.lf0.data(), u.lf0.size(), u.cc.data(), u.cc.size(), nullptr, 0, &o,
                              nullptr, out, 4, nullptr),
            VALLISYNTH_ERR_BAD_ARGUMENT);
  vallisynth_options_init(&o);
  EXPECT_EQ(vallisynth_render(u.lf0.data(), u.lf0.size(), cc.data(), cc.size(), nullptr, 0, &o,
                              nullptr, out, 4, nullptr),
            VALLISYNTH_ERR_DIMENSIONS);
  EXPECT_EQ(vallisynth_render(u.lf0.data(), u.lf0.size(), u.cc.data(), u.cc.size(), nullptr, 0, &o,
                              nullptr, out, 4, nullptr),
            VALLISYNTH_ERR_BAD_ARGUMENT);  // out too small
  double* values = nullptr;
  std::size_t count = 0;
  EXPECT_EQ(vallisynth_read_stream("/nonexistent", &values, &count), VALLISYNTH_ERR_OPEN);
  EXPECT_EQ(vallisynth_write_wav("/nonexistent/x.wav", out, 4, 16000, 0), VALLISYNTH_ERR_CREATE);
  std::set<std::string> sentences;
  for (int code = 0; code >= VALLISYNTH_ERR_NOT_STREAMABLE; --code) {
    sentences.insert(vallisynth_strerror(code));
  }
  EXPECT_EQ(sentences.size(), 8u);
  EXPECT_STREQ(vallisynth_version(), version());
}

TEST(Api, CInterfaceGivesTheSameSamples) {
  const Utterance u = load("utt01", true);
  vallisynth_options o;
  vallisynth_options_init(&o);
  const std::uint64_t n = vallisynth_rendered_length(u.lf0.size(), &o);
  std::vector<double> x(n);
  std::size_t written = 0;
  vallisynth_noise* noise = vallisynth_noise_create();
  ASSERT_EQ(vallisynth_render(u.lf0.data(), u.lf0.size(), u.cc.data(), u.cc.size(), u.fv.data(),
                              u.fv.size(), &o, noise, x.data(), x.size(), &written),
            VALLISYNTH_OK);
  EXPECT_EQ(written, n);
  EXPECT_EQ(x, render(u.lf0, u.cc, u.fv));
  // The source ran on: a second rendering differs until it is reset.
  std::vector<double> y(n);
  vallisynth_render(u.lf0.data(), u.lf0.size(), u.cc.data(), u.cc.size(), u.fv.data(), u.fv.size(),
                    &o, noise, y.data(), y.size(), nullptr);
  EXPECT_NE(x, y);
  vallisynth_noise_reset(noise);
  vallisynth_render(u.lf0.data(), u.lf0.size(), u.cc.data(), u.cc.size(), u.fv.data(), u.fv.size(),
                    &o, noise, y.data(), y.size(), nullptr);
  EXPECT_EQ(x, y);
  vallisynth_noise_destroy(noise);
  std::vector<std::int16_t> a(n);
  ASSERT_EQ(vallisynth_to_pcm16(x.data(), x.size(), a.data()), VALLISYNTH_OK);
  EXPECT_EQ(a, to_pcm16(x));
}

TEST(Api, PcmConversionLimits) {
  const double x[] = {0.0, 0.5,      -0.5,      32767.0 / 32768.0, 0.99996,
                      1.0, 7.0,      -1.0,      -1.0001,           -7.0,
                      NAN, INFINITY, -INFINITY, 1.0 / 65536.0,     -0.99999};
  const std::int16_t expect[] = {0,      16384,  -16384, 32767, 32766,  32767, 32767, -32768,
                                 -32768, -32768, 0,      32767, -32768, 0,     -32767};
  EXPECT_EQ(to_pcm16(x), std::vector<std::int16_t>(std::begin(expect), std::end(expect)));
  std::vector<double> y = {0.25, -0.5, 0.0};
  normalize(y);
  EXPECT_EQ(y, (std::vector<double>{0.495, -0.99, 0.0}));
}

TEST(Api, ThreadsRenderingAtOnceGiveTheSerialBytes) {
  const Utterance utts[] = {load("utt01", true), load("utt02", false), load("utt03", false),
                            load("utt01", false)};
  const Options opts[] = {{}, {.pitch_factor = 1.3}, {.sample_rate = 48000}, {.gamma = 0.3}};
  std::vector<double> serial[4];
  for (int i = 0; i < 4; ++i) {
    serial[i] = render(utts[i].lf0, utts[i].cc, utts[i].fv, opts[i]);
  }
  for (int round = 0; round < 3; ++round) {
    std::vector<double> parallel[4];
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
      threads.emplace_back(
          [&, i] { parallel[i] = render(utts[i].lf0, utts[i].cc, utts[i].fv, opts[i]); });
    }
    for (std::thread& t : threads) {
      t.join();
    }
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(parallel[i], serial[i]) << i;
    }
  }
}

}  // namespace
}  // namespace vallisynth::test

namespace vallisynth::test {
namespace {

// A frame whose cepstral row is not finite is silence over its span, in
// the samples as in the 16-bit output, and changes nothing else.
TEST(Api, FramesThatAreNotFiniteAreSilentSamples) {
  const Utterance u = load("utt02", false);
  const std::size_t p = u.cc.size() / u.lf0.size();
  const std::size_t k = 40;
  std::vector<double> cc = u.cc;
  cc[k * p + 3] = NAN;
  const std::vector<double> clean = render(u.lf0, u.cc);
  const std::vector<double> x = render(u.lf0, cc);
  for (std::size_t i = 0; i < x.size(); ++i) {
    const bool inside = i >= k * 80 && i < (k + 2) * 80;
    ASSERT_TRUE(inside ? x[i] == 0.0 : std::isfinite(x[i])) << i;
  }
  EXPECT_TRUE(std::equal(x.begin(), x.begin() + k * 80, clean.begin()));
}

}  // namespace
}  // namespace vallisynth::test
