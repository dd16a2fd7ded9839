// The command line's threads: batches decoded side by side give the files,
// messages and status of decoding their utterances one after the other,
// whatever goes wrong with some of them; a long utterance's samples are
// written while the next are rendered, with the same bytes and the same
// failures; a termination signal leaves no temporary file behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstring>

#include "support/testsupport.h"
#include "vallisynth/vallisynth.h"
#include "vallisynth/vallisynth.hpp"

namespace vallisynth::test {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kRow = 25;  // order 24

std::vector<float> logf0(std::size_t n, float hz) {
  std::vector<float> v(n, std::log(hz));
  v[n / 3] = -1e10f;
  return v;
}
std::vector<float> cepstra(std::size_t n) {
  std::vector<float> v(n * kRow, 0.05f);
  for (std::size_t k = 0; k < n; ++k) {
    v[k * kRow] = 4.0f + 0.1f * static_cast<float>(k % 7);
  }
  return v;
}

// Utterances 1 to 9 in dir: good ones of different lengths and rates, and
// ones that fail before drawing any noise phase although their streams look
// fine (the output is the input), that fail as soon as they are opened, that
// warn, that are written through a folder, one whose fv stream is the output
// of an earlier one (written through a link), and one whose cepstral stream
// is the output of the utterance before it.
void writebatch(const TempDir& dir) {
  const std::size_t frames[] = {0, 3000, 25, 33, 12, 50, 20, 18, 45, 30};
  for (std::size_t i = 1; i <= 9; ++i) {
    const std::string n = std::to_string(i);
    writebytes(dir.file("f" + n),
               floatbytes(logf0(frames[i], 90.0f + 20.0f * static_cast<float>(i))));
    writebytes(dir.file("c" + n), floatbytes(cepstra(frames[i])));
    writebytes(dir.file("v" + n), floatbytes(std::vector<float>(frames[i], 2500.0f)));
  }
  fs::remove(dir.file("c2"));                         // cannot be opened
  fs::create_symlink("c4", dir.file("o4.wav"));       // the output is the input
  std::vector<float> nan = logf0(frames[5], 150.0f);  // a frame that is not finite
  nan[7] = std::nanf("");
  writebytes(dir.file("f5"), floatbytes(nan));
  fs::create_directory(dir.file("o6.wav"));             // cannot be created
  writebytes(dir.file("c7"), floatbytes(cepstra(17)));  // incompatible dimensions
  fs::remove(dir.file("v3"));                           // utterance 1 writes v3
  fs::create_symlink("v3", dir.file("o1.wav"));         // through a link, 3 reads it
  writebytes(dir.file("o8.wav"), "old");                // replaced by utterance 8,
  fs::remove(dir.file("c9"));                           // whose new file utterance 9
  fs::create_symlink("o8.wav", dir.file("c9"));         // reads as its cepstra
}

struct Outcome {
  RunResult run;
  std::vector<std::string> files;  // o1.wav .. o9.wav as they are left
};

Outcome runbatch(const std::vector<std::string>& extra) {
  TempDir dir;
  writebatch(dir);
  std::vector<std::string> args = {"f?", "c?", "v?", "o?.wav", "--INDLIST=1-9"};
  args.insert(args.end(), extra.begin(), extra.end());
  Outcome o{runvallisynth(args, dir.path.string()), {}};
  for (int i = 1; i <= 9; ++i) {
    const std::string name = dir.file("o" + std::to_string(i) + ".wav");
    o.files.push_back(fs::is_regular_file(name) ? readbytes(name) : "(none)");
  }
  return o;
}

TEST(Batches, SideBySideAsOneAfterTheOther) {
  for (const std::vector<std::string>& extra :
       std::vector<std::vector<std::string>>{{}, {"--FDUR=1.5", "--WAVNORM=1"}}) {
    std::vector<std::string> one = extra;
    one.push_back("--THREADS=1");
    const Outcome reference = runbatch(one);
    EXPECT_EQ(reference.run.exitcode, 1);
    EXPECT_NE(reference.run.out.find("Error: the output o4.wav is the input c4."),
              std::string::npos);
    // Utterance 9 reads the new o8.wav, which is no cepstral stream.
    EXPECT_NE(reference.run.out.find("o9.wav\nError: f9 and c9 have incompatible dimensions."),
              std::string::npos);
    for (const char* threads : {"--THREADS=2", "--THREADS=3", "--THREADS=7"}) {
      std::vector<std::string> args = extra;
      args.push_back(threads);
      const Outcome o = runbatch(args);
      EXPECT_EQ(o.run.exitcode, reference.run.exitcode) << threads;
      EXPECT_EQ(o.run.out, reference.run.out) << threads;
      for (std::size_t i = 0; i < o.files.size(); ++i) {
        EXPECT_TRUE(o.files[i] == reference.files[i]) << threads << ": o" << i + 1 << ".wav";
      }
    }
  }
}

// Pieces written by another thread while the next are rendered: the bytes
// of one thread, also when the peak is found first, and a write that fails
// part way (a full file system) fails the utterance cleanly.
TEST(LongUtterances, WrittenWhileRendered) {
  TempDir dir;
  // 700 frames at a shift of 1000 samples: pieces of 65 frames.
  writebytes(dir.file("f0"), floatbytes(logf0(700, 140.0f)));
  writebytes(dir.file("cc"), floatbytes(cepstra(700)));
  for (const char* norm : {"--WAVNORM=0", "--WAVNORM=1"}) {
    std::string reference;
    for (const char* threads : {"--THREADS=1", "--THREADS=2", "--THREADS=3"}) {
      const RunResult r =
          runvallisynth({"f0", "cc", "out.wav", "--LFRAME=1000", norm, threads}, dir.path.string());
      EXPECT_EQ(r.exitcode, 0);
      const std::string out = readbytes(dir.file("out.wav"));
      EXPECT_EQ(out.size(), 44u + 2u * (701u * 1000u + 1u));
      if (reference.empty()) {
        reference = out;
      }
      EXPECT_TRUE(out == reference) << norm << " " << threads;
    }
  }
  const std::string small = dir.file("small");
  fs::create_directory(small);
  if (geteuid() != 0 || mount("tmpfs", small.c_str(), "tmpfs", 0, "size=256k") != 0) {
    GTEST_SKIP() << "cannot mount a small file system here";
  }
  writebytes(small + "/out.wav", "old");
  const RunResult r = runvallisynth({"f0", "cc", "small/out.wav", "--LFRAME=1000", "--THREADS=2"},
                                    dir.path.string());
  EXPECT_EQ(r.exitcode, 1);
  EXPECT_EQ(r.out, "Error: could not create small/out.wav: No space left on device.\n");
  EXPECT_EQ(readbytes(small + "/out.wav"), "old");
  EXPECT_EQ(std::distance(fs::directory_iterator(small), fs::directory_iterator()), 1);
  umount(small.c_str());
}

// An utterance that is synthesised but cannot be written (a folder in the
// way, or a full device part way through) has drawn every frame's noise
// phases: the next one comes out as if it had been written, for every
// thread count.
TEST(Batches, FailedWritesDrawEveryFrame) {
  std::string reference;
  for (const char* blocker : {"", "folder", "/dev/full"}) {
    for (const char* threads : {"--THREADS=1", "--THREADS=2"}) {
      TempDir dir;
      writebatch(dir);
      fs::remove(dir.file("o1.wav"));
      if (std::string(blocker) == "folder") {
        fs::create_directory(dir.file("o1.wav"));
      } else if (*blocker != 0) {
        fs::create_symlink(blocker, dir.file("o1.wav"));
      }
      const RunResult r =
          runvallisynth({"f?", "c?", "o?.wav", "--INDLIST=1,3", threads}, dir.path.string());
      EXPECT_EQ(r.exitcode, *blocker == 0 ? 0 : 1) << blocker << threads;
      const std::string out = readbytes(dir.file("o3.wav"));
      if (reference.empty()) {
        reference = out;
      }
      EXPECT_FALSE(out.empty());
      EXPECT_TRUE(out == reference) << blocker << " " << threads;
    }
  }
}

// A reader that goes away ends the run with SIGPIPE, as on one thread, also
// when another thread writes the samples.
TEST(LongUtterances, BrokenPipeEndsTheRun) {
  TempDir dir;
  writebytes(dir.file("f0"), floatbytes(logf0(700, 140.0f)));
  writebytes(dir.file("cc"), floatbytes(cepstra(700)));
  for (const char* threads : {"--THREADS=1", "--THREADS=2"}) {
    const RunResult r = runbash(std::string("$V f0 cc - --LFRAME=1000 ") + threads +
                                    " 2>/dev/null | head -c 100 >/dev/null; echo ${PIPESTATUS[0]}",
                                dir.path.string());
    EXPECT_EQ(r.out, "141\n") << threads;
  }
}

// The position in the noise-phase sequence that a batch's utterances start
// from: skipping frames lands where rendering them does.
TEST(Batches, NoiseSkipLandsWhereRenderingEnds) {
  for (const double factor : {1.0, 0.3, 2.7}) {
    Options options;
    options.duration_factor = factor;
    const std::vector<double> f0(37, std::log(130.0));
    const std::vector<double> cc(37 * kRow, 0.1);
    NoiseSource rendered;
    NoiseSource skipped;
    static_cast<void>(render(f0, cc, {}, options, rendered));
    EXPECT_FALSE(rendered == skipped);
    skipped.skip(37, options);
    EXPECT_TRUE(rendered == skipped) << factor;
    // And the next utterance renders the same from either.
    EXPECT_EQ(render(f0, cc, {}, options, rendered), render(f0, cc, {}, options, skipped));
  }
  // The same through the C interface.
  vallisynth_noise* a = vallisynth_noise_create();
  vallisynth_noise* b = vallisynth_noise_create();
  std::vector<double> out(rendered_length(37, Options{}));
  const std::vector<double> f0(37, std::log(130.0));
  const std::vector<double> cc(37 * kRow, 0.1);
  ASSERT_EQ(vallisynth_render(f0.data(), 37, cc.data(), cc.size(), nullptr, 0, nullptr, a,
                              out.data(), out.size(), nullptr),
            VALLISYNTH_OK);
  EXPECT_EQ(vallisynth_noise_equal(a, b), 0);
  EXPECT_EQ(vallisynth_noise_skip(b, 37, nullptr), VALLISYNTH_OK);
  EXPECT_EQ(vallisynth_noise_equal(a, b), 1);
  vallisynth_options bad;
  vallisynth_options_init(&bad);
  bad.duration_factor = 9.0;
  EXPECT_EQ(vallisynth_noise_skip(b, 1, &bad), VALLISYNTH_ERR_BAD_ARGUMENT);
  EXPECT_EQ(vallisynth_noise_skip(nullptr, 1, nullptr), VALLISYNTH_ERR_BAD_ARGUMENT);
  vallisynth_noise_destroy(a);
  vallisynth_noise_destroy(b);
}

// A termination signal while several utterances are being written: every
// temporary file goes, and the outputs left are whole files.
TEST(Batches, SignalRemovesEveryTemporaryFile) {
  TempDir dir;
  for (int i = 1; i <= 6; ++i) {
    writebytes(dir.file("f" + std::to_string(i)), floatbytes(logf0(20, 120.0f)));
    writebytes(dir.file("c" + std::to_string(i)), floatbytes(cepstra(20)));
  }
  const int watch = inotify_init1(IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  inotify_add_watch(watch, dir.path.c_str(), IN_CREATE);
  const pid_t pid = spawnvallisynth({dir.file("f?"), dir.file("c?"), dir.file("o?.wav"),
                                     "--INDLIST=1-6", "--LFRAME=100000", "--THREADS=3"});
  ASSERT_GT(pid, 0);
  // Wait until two temporary files exist, then interrupt.
  int created = 0;
  alignas(inotify_event) char events[4096];
  while (created < 2) {
    const ssize_t n = read(watch, events, sizeof events);
    ASSERT_GT(n, 0);
    for (ssize_t at = 0; at < n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(events + at);
      created += std::strstr(e->name, ".tmp-") != nullptr ? 1 : 0;
      at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
    }
  }
  kill(pid, SIGTERM);
  close(watch);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
  for (const auto& entry : fs::directory_iterator(dir.path)) {
    const std::string name = entry.path().filename().string();
    EXPECT_EQ(name.find(".tmp-"), std::string::npos) << name;
    if (name.starts_with("o")) {
      EXPECT_EQ(fs::file_size(entry.path()), 44u + 2u * (21u * 100000u + 1u)) << name;
    }
  }
}

}  // namespace
}  // namespace vallisynth::test
