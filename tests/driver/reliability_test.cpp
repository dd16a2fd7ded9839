// What a run leaves behind when things go wrong: outputs that appear whole
// or not at all, streams from pipes, exit statuses, refused option values,
// batches whose indices outgrow their names, memory limits, and frames
// holding values that are not finite. Through the built program, as a user
// runs it.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>

#include "support/testsupport.h"

extern char** environ;

namespace vallisynth::test {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kFrames = 20;
constexpr std::size_t kOrder = 24;

// Voiced 120 Hz with two unvoiced frames; a c0 that varies between frames,
// so that the c0 range sets each frame's maximum voiced frequency.
std::vector<float> logf0(std::size_t n = kFrames) {
  std::vector<float> v(n, std::log(120.0f));
  v[n / 2] = v[n / 2 + 1] = -1e10f;
  return v;
}
std::vector<float> cepstra(std::size_t n = kFrames) {
  std::vector<float> v(n * (kOrder + 1), 0.05f);
  for (std::size_t k = 0; k < n; ++k) {
    v[k * (kOrder + 1)] = 4.0f + 0.1f * static_cast<float>(k % 7);
  }
  return v;
}

void writestreams(const TempDir& dir, const std::string& suffix = "") {
  writebytes(dir.file("f0" + suffix), floatbytes(logf0()));
  writebytes(dir.file("cc" + suffix), floatbytes(cepstra()));
}

// A WAV file whose header sizes agree with its length.
bool iswholewav(const std::string& w) {
  if (w.size() < 44 || !w.starts_with("RIFF") || w.compare(36, 4, "data") != 0) {
    return false;
  }
  std::uint32_t riff = 0;
  std::uint32_t data = 0;
  std::memcpy(&riff, &w[4], 4);
  std::memcpy(&data, &w[40], 4);
  return riff == w.size() - 8 && data == w.size() - 44;
}

// Files in dir whose names hold ".tmp-": the temporary outputs.
std::vector<std::string> temporaries(const TempDir& dir) {
  std::vector<std::string> found;
  for (const auto& e : fs::directory_iterator(dir.path)) {
    if (e.path().filename().string().find(".tmp-") != std::string::npos) {
      found.push_back(e.path().string());
    }
  }
  return found;
}

// ---- Outputs ----

// A small file system that fills up: the write fails, the file that was
// there stays as it was, directly or behind a link, and nothing is left.
TEST(Outputs, FullDiskKeepsTheOldFile) {
  TempDir dir;
  writestreams(dir);
  const std::string small = dir.file("small");
  fs::create_directory(small);
  if (geteuid() != 0 || mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") != 0) {
    GTEST_SKIP() << "cannot mount a small file system here";
  }
  const std::string old(20000, 'o');
  writebytes(small + "/out.wav", old);
  fs::create_symlink(small + "/out.wav", dir.file("link.wav"));
  // 21 frames of 2500 samples: about 105 kB, more than the space left.
  for (const std::string out : {"small/out.wav", "link.wav"}) {
    const RunResult r = runvallisynth({"f0", "cc", out, "--LFRAME=2500"}, dir.path.string());
    EXPECT_EQ(r.exitcode, 1) << out;
    EXPECT_EQ(r.out, "Error: could not create " + out + ".\n");
    EXPECT_EQ(readbytes(small + "/out.wav"), old) << out;
    EXPECT_TRUE(fs::is_symlink(dir.file("link.wav")));
    EXPECT_EQ(fs::directory_iterator(small)->path().filename(), "out.wav");
    EXPECT_EQ(std::distance(fs::directory_iterator(small), fs::directory_iterator()), 1);
  }
  umount(small.c_str());
}

// A link is written through: its target gets the new file, the link stays.
TEST(Outputs, LinkIsWrittenThrough) {
  TempDir dir;
  writestreams(dir);
  fs::create_directory(dir.file("sub"));
  writebytes(dir.file("sub/target.wav"), "old");
  fs::create_symlink("sub/target.wav", dir.file("link.wav"));
  ASSERT_EQ(runvallisynth({"f0", "cc", "link.wav"}, dir.path.string()).exitcode, 0);
  ASSERT_EQ(runvallisynth({"f0", "cc", "ref.wav"}, dir.path.string()).exitcode, 0);
  EXPECT_TRUE(fs::is_symlink(dir.file("link.wav")));
  EXPECT_EQ(readbytes(dir.file("sub/target.wav")), readbytes(dir.file("ref.wav")));
}

pid_t spawn(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  std::string exe = VALLISYNTH_EXE;
  argv.push_back(exe.data());
  std::vector<std::string> copies = args;
  for (auto& a : copies) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// A termination signal while the output is written: the old file stays
// and no temporary file is left. The signal is sent as soon as the
// temporary file appears; a write that still wins the race must have left
// a whole new file instead.
TEST(Outputs, SignalDuringTheWriteKeepsTheOldFile) {
  TempDir dir;
  writestreams(dir);
  int killed = 0;
  for (const int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE}) {
    const std::string out = dir.file("out.wav");
    writebytes(out, "old");
    const int watch = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    inotify_add_watch(watch, dir.path.c_str(), IN_CREATE);
    // 21 frames of 100000 samples: a 4 MB file.
    const pid_t pid = spawn({dir.file("f0"), dir.file("cc"), out, "--LFRAME=100000"});
    ASSERT_GT(pid, 0);
    alignas(inotify_event) char events[4096];
    const ssize_t n = read(watch, events, sizeof events);  // the temporary file appeared
    kill(pid, sig);
    close(watch);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_GT(n, 0);
    EXPECT_TRUE(temporaries(dir).empty());
    if (WIFSIGNALED(status)) {
      EXPECT_EQ(WTERMSIG(status), sig);
      EXPECT_EQ(readbytes(out), "old");
      ++killed;
    } else {
      EXPECT_TRUE(iswholewav(readbytes(out)));
    }
  }
  EXPECT_GT(killed, 0) << "every write finished before its signal";
}

// Two runs, one output name: the final file is one whole WAV file, that of
// one of the runs.
TEST(Outputs, ConcurrentWritersLeaveOneWholeFile) {
  TempDir dir;
  writestreams(dir);
  writebytes(dir.file("f0b"), floatbytes(std::vector<float>(kFrames * 2, std::log(200.0f))));
  writebytes(dir.file("ccb"), floatbytes(cepstra(kFrames * 2)));
  const RunResult r = runbash(
      "for i in 1 2 3; do $V f0 cc out.wav --LFRAME=20000 & $V f0b ccb out.wav --LFRAME=20000 & "
      "wait; done; ls",
      dir.path.string());
  EXPECT_EQ(r.out.find(".tmp-"), std::string::npos) << r.out;
  const std::string w = readbytes(dir.file("out.wav"));
  EXPECT_TRUE(iswholewav(w));
  EXPECT_TRUE(w.size() == 44 + 2 * (21 * 20000 + 1) || w.size() == 44 + 2 * (41 * 20000 + 1));
}

// An output that is one of the inputs, by name, through a link or a hard
// link, is refused and the input kept.
TEST(Outputs, OutputThatIsAnInputIsRefused) {
  TempDir dir;
  writestreams(dir);
  writebytes(dir.file("fv"), floatbytes(std::vector<float>(kFrames, 3000.0f)));
  fs::create_symlink("cc", dir.file("cclink"));
  fs::create_hard_link(dir.file("fv"), dir.file("fvhard"));
  const std::string f0 = readbytes(dir.file("f0"));
  for (const auto& [args, input] :
       {std::pair{std::vector<std::string>{"f0", "cc", "f0"}, "f0"},
        std::pair{std::vector<std::string>{"f0", "cc", "cclink"}, "cc"},
        std::pair{std::vector<std::string>{"f0", "cc", "fv", "fvhard"}, "fv"}}) {
    const RunResult r = runvallisynth(args, dir.path.string());
    EXPECT_EQ(r.exitcode, 1);
    EXPECT_EQ(r.out, "Error: the output " + args.back() + " is the input " + input + ".\n");
  }
  EXPECT_EQ(readbytes(dir.file("f0")), f0);
  EXPECT_EQ(readbytes(dir.file("cc")), floatbytes(cepstra()));
  EXPECT_EQ(readbytes(dir.file("fv")), floatbytes(std::vector<float>(kFrames, 3000.0f)));
}

// "-" writes the WAV file to standard output, messages to standard error.
TEST(Outputs, DashIsStandardOutput) {
  TempDir dir;
  writestreams(dir);
  writebytes(dir.file("fv"), "B");
  ASSERT_EQ(runvallisynth({"f0", "cc", "ref.wav"}, dir.path.string()).exitcode, 0);
  const RunResult r = runbash("$V f0 cc fv - 2>err", dir.path.string());
  EXPECT_EQ(r.exitcode, 0);
  EXPECT_EQ(r.out, readbytes(dir.file("ref.wav")));
  EXPECT_EQ(readbytes(dir.file("err")), "Warning: could not open fv.\n");
  const RunResult bad = runbash("$V missing cc - 2>err", dir.path.string());
  EXPECT_EQ(bad.exitcode, 1);
  EXPECT_EQ(bad.out, "");
  EXPECT_EQ(readbytes(dir.file("err")), "Error: could not open missing.\n");
}

// ---- Inputs ----

// Process substitutions, a FIFO and standard input give the bytes of
// regular files.
TEST(Inputs, PipesGiveTheSameBytesAsFiles) {
  TempDir dir;
  writestreams(dir);
  ASSERT_EQ(runvallisynth({"f0", "cc", "ref.wav"}, dir.path.string()).exitcode, 0);
  const RunResult r = runbash(
      "$V <(cat f0) <(cat cc) a.wav && cat cc | $V f0 - b.wav && mkfifo fifo && "
      "{ cat f0 > fifo & } && $V fifo cc c.wav",
      dir.path.string());
  EXPECT_EQ(r.exitcode, 0) << r.out;
  const std::string ref = readbytes(dir.file("ref.wav"));
  for (const std::string out : {"a.wav", "b.wav", "c.wav"}) {
    EXPECT_EQ(readbytes(dir.file(out)), ref) << out;
  }
}

// ---- Exit status ----

TEST(ExitStatus, FailureIsNeverSuccess) {
  TempDir dir;
  writestreams(dir);
  EXPECT_EQ(runvallisynth({"f0", "cc", "out.wav"}, dir.path.string()).exitcode, 0);
  // A warning is no failure.
  EXPECT_EQ(runvallisynth({"f0", "cc", "missing", "out.wav"}, dir.path.string()).exitcode, 0);
  EXPECT_EQ(runvallisynth({"missing", "cc", "out.wav"}, dir.path.string()).exitcode, 1);
  EXPECT_EQ(runvallisynth({"f0", "cc", "out.wav", "--FDUR"}, dir.path.string()).exitcode, 255);
  // Messages that cannot be written: a failure, said on standard error.
  const RunResult full = runbash(
      "$V missing cc out.wav 2>&1 >/dev/full | cat; "
      "$V missing cc out.wav >/dev/full 2>/dev/null; echo $?",
      dir.path.string());
  EXPECT_EQ(full.out, "Error: could not write to standard output: No space left on device.\n1\n");
}

// ---- Command line ----

TEST(CommandLine, ValuesThatCannotBeMeantAreRefused) {
  TempDir dir;
  writestreams(dir);
  const std::pair<const char*, const char*> cases[] = {
      {"--ALPHA=1.5", "Error: --ALPHA=1.5 cannot be used"},
      {"--ALPHA=-1", "Error: --ALPHA=-1 cannot be used"},
      {"--ALPHA=inf", "Error: --ALPHA=inf cannot be used"},
      {"--ALPHA=nan", "Error: --ALPHA=nan cannot be used"},
      {"--FVALPHA=nan", "Error: --FVALPHA=nan cannot be used"},
      {"--FVALPHA=1", "Error: --FVALPHA=1 cannot be used"},
      {"--GAMMA=nan", "Error: --GAMMA=nan cannot be used"},
      {"--GAMMA=-inf", "Error: --GAMMA=-inf cannot be used"},
      {"--LFRAME=4294967376", "Error: frame shift of 4294967376 samples (LFRAME) is outside"},
      {"--LFRAME=-80", "Error: frame shift of -80 samples (LFRAME) is outside"},
      {"--LFRAME=99999999999999999999", "Error: frame shift of 9223372036854775807 samples"},
      {"--LFRAME=4294967295", "Error: frame shift of 4294967295 samples (LFRAME x FDUR)"},
  };
  for (const auto& [option, message] : cases) {
    const RunResult r = runvallisynth({"f0", "cc", "out.wav", option}, dir.path.string());
    EXPECT_EQ(r.exitcode, 255) << option;
    EXPECT_TRUE(r.out.starts_with(message) && r.out.find('\n') + 1 == r.out.size()) << r.out;
    EXPECT_FALSE(fs::exists(dir.file("out.wav")));
  }
  // Inside the limits, and the clamps of the other options, as before.
  for (const char* option : {"--ALPHA=0.99", "--FVALPHA=-0.5", "--GAMMA=2", "--FWARP=5"}) {
    EXPECT_EQ(runvallisynth({"f0", "cc", "out.wav", option}, dir.path.string()).exitcode, 0);
  }
}

// ---- Batches ----

// Indices that outgrow a name end the batch in one line naming the name as
// typed, however long the list.
TEST(Batches, IndicesThatOutgrowANameEndTheBatch) {
  TempDir dir;
  for (const std::string i : {"98", "99"}) {
    writebytes(dir.file("a" + i), floatbytes(logf0()));
    writebytes(dir.file("b" + i), floatbytes(cepstra()));
  }
  const auto start = std::chrono::steady_clock::now();
  const RunResult r =
      runvallisynth({"a??", "b??", "o??.wav", "--INDLIST=98-2147483647"}, dir.path.string());
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 10.0);
  EXPECT_EQ(r.exitcode, 1);
  EXPECT_EQ(r.out, "o98.wav\no99.wav\nError: indices from 100 on do not fit the file name a??.\n");
  EXPECT_TRUE(iswholewav(readbytes(dir.file("o99.wav"))));
}

// ---- Memory ----

// A batch of three: a stream too large to read within the limit, an
// utterance too large to decode within it, and one that fits. The first
// two are reported, the third is written.
std::string memorybatch(const TempDir& dir) {
  // Sparse files: 2^28 values (2 GiB as doubles), and 2^21 frames whose
  // output would take about 1.3 GB.
  const auto sparse = [&](const std::string& name, std::uintmax_t bytes) {
    writebytes(dir.file(name), "");
    fs::resize_file(dir.file(name), bytes);
  };
  sparse("f1", 4u << 28);
  sparse("c1", 4u << 28);
  sparse("f2", 4u << 21);
  sparse("c2", 4u << 21);
  writebytes(dir.file("f3"), floatbytes(logf0()));
  writebytes(dir.file("c3"), floatbytes(cepstra()));
  return "'f?' 'c?' 'o?.wav' --INDLIST=1-3";
}
const char* kMemoryBatchOut =
    "o1.wav\nError: not enough memory to read f1.\no2.wav\n"
    "Error: not enough memory to decode f2.\no3.wav\n1\n";

// Under a cgroup's memory limit (v2 memory.max or v1
// memory.limit_in_bytes), made for the test and removed after it.
TEST(Memory, CgroupLimitIsHonoured) {
  TempDir dir;
  const std::string args = memorybatch(dir);
  const std::string name = "vallisynth-test-" + std::to_string(getpid());
  std::string group;
  std::string limitfile;
  if (fs::exists("/sys/fs/cgroup/cgroup.controllers")) {
    group = "/sys/fs/cgroup/" + name;
    limitfile = "memory.max";
  } else {
    group = "/sys/fs/cgroup/memory/" + name;
    limitfile = "memory.limit_in_bytes";
  }
  std::error_code ec;
  if (geteuid() != 0 || !fs::create_directory(group, ec)) {
    GTEST_SKIP() << "cannot create a cgroup here";
  }
  std::ofstream(group + "/" + limitfile) << (512u << 20);
  const RunResult r = runbash("echo $$ > " + group + "/cgroup.procs && $V " + args + "; echo $?",
                              dir.path.string());
  EXPECT_EQ(r.out, kMemoryBatchOut);
  EXPECT_TRUE(iswholewav(readbytes(dir.file("o3.wav"))));
  // The shell has ended: the group is empty and can go.
  for (int i = 0; i < 100 && rmdir(group.c_str()) != 0; ++i) {
    usleep(10000);
  }
  EXPECT_FALSE(fs::exists(group));
}

// Under an address-space limit (ulimit -v). The sanitizers reserve far
// more address space than any such limit allows.
TEST(Memory, AddressSpaceLimitIsHonoured) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizers need an unlimited address space";
#endif
  TempDir dir;
  const std::string args = memorybatch(dir);
  const RunResult r = runbash("ulimit -v 600000 && $V " + args + "; echo $?", dir.path.string());
  EXPECT_EQ(r.out, kMemoryBatchOut);
}

// ---- Values that are not finite ----

// The output of f0 and cc (with options) in dir.
std::vector<std::int16_t> render(const TempDir& dir, const std::vector<float>& f0,
                                 const std::vector<float>& cc, std::vector<std::string> options,
                                 std::string* messages = nullptr) {
  writebytes(dir.file("f0"), floatbytes(f0));
  writebytes(dir.file("cc"), floatbytes(cc));
  options.insert(options.begin(), {"f0", "cc", "out.wav"});
  const RunResult r = runvallisynth(options, dir.path.string());
  if (messages != nullptr) {
    *messages = r.out;
  }
  return readwavsamples(dir.file("out.wav"));
}

// One c0 that is not finite in a voiced frame, without an fv track:
// outside that frame's own two frame shifts, the output is that of the
// same utterance with an ordinary row there (a c0 inside the range), so
// every other frame kept its maximum voiced frequency. The bad frame may
// change the harmonic phase that runs on from it: the frame after it is
// unvoiced, where the phase restarts.
TEST(NonFinite, BadCepstralRowChangesOnlyItsOwnSpan) {
  TempDir dir;
  constexpr std::size_t k = kFrames / 2 - 1;
  constexpr std::size_t p = kOrder + 1;
  std::vector<float> cc = cepstra();
  std::copy_n(cc.begin() + (k - 1) * p, p, cc.begin() + k * p);
  const auto ref = render(dir, logf0(), cc, {});
  for (const float bad : {INFINITY, -INFINITY, NAN}) {
    for (const std::size_t at : {std::size_t{0}, std::size_t{3}}) {  // c0, or another coefficient
      std::vector<float> badcc = cc;
      badcc[k * p + at] = bad;
      std::string messages;
      const auto out = render(dir, logf0(), badcc, {}, &messages);
      EXPECT_EQ(messages, "Warning: f0 has 1 frame with values that are not finite.\n");
      ASSERT_EQ(out.size(), ref.size());
      for (std::size_t j = 0; j < out.size(); ++j) {
        if (j < k * 80 || j >= (k + 2) * 80) {
          ASSERT_EQ(out[j], ref[j]) << "sample " << j << " with " << bad << " at " << at;
        }
      }
    }
  }
}

// One log-f0 that is not finite, or whose f0 is not, under a pitch-range
// factor: the utterance is that with the frame unvoiced, bit for bit.
TEST(NonFinite, BadLogF0IsUnvoicedAndMovesNoOtherFrame) {
  TempDir dir;
  std::vector<float> f0 = logf0();
  for (std::size_t k = 0; k < f0.size(); ++k) {
    f0[k] = f0[k] > 0.0f ? std::log(100.0f + 5.0f * static_cast<float>(k)) : f0[k];
  }
  for (const char* factor : {"--FVPITCH=2", "--FVPITCH=0"}) {
    std::vector<float> unvoiced = f0;
    unvoiced[3] = -1e10f;
    const auto ref = render(dir, unvoiced, cepstra(), {factor});
    for (const float bad : {INFINITY, 1e38f, NAN}) {
      std::vector<float> badf0 = f0;
      badf0[3] = bad;
      std::string messages;
      EXPECT_EQ(render(dir, badf0, cepstra(), {factor}, &messages), ref) << bad << factor;
      EXPECT_EQ(messages, "Warning: f0 has 1 frame with values that are not finite.\n");
    }
  }
}

}  // namespace
}  // namespace vallisynth::test
