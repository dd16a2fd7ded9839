// What a run leaves behind when things go wrong: outputs that appear whole
// or not at all, streams from pipes, exit statuses and memory limits.
// Through the built program, as a user runs it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>

#include "support/testsupport.h"

namespace vallisynth::test {
namespace {

namespace fs = std::filesystem;

// Files in dir whose names hold ".tmp-": the temporary outputs.
bool hastemporaries(const TempDir& dir) {
  for (const auto& e : fs::directory_iterator(dir.path)) {
    if (e.path().filename().string().find(".tmp-") != std::string::npos) {
      return true;
    }
  }
  return false;
}

// ---- Outputs ----

// A small file system that fills up: the write fails, the file that was
// there stays as it was, directly or behind a link, and nothing is left.
TEST(Outputs, FullDiskKeepsTheOldFile) {
  TempDir dir;
  writeutterance(dir);
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
    EXPECT_EQ(r.out, "Error: could not create " + out + ": No space left on device.\n");
    EXPECT_EQ(readbytes(small + "/out.wav"), old) << out;
    EXPECT_TRUE(fs::is_symlink(dir.file("link.wav")));
    EXPECT_EQ(fs::directory_iterator(small)->path().filename(), "out.wav");
    EXPECT_EQ(std::distance(fs::directory_iterator(small), fs::directory_iterator()), 1);
  }
  umount(small.c_str());
}

// A termination signal while the output is written: the old file stays
// and no temporary file is left. The signal is sent as soon as the
// temporary file appears; a write that still wins the race must have left
// a whole new file instead.
TEST(Outputs, SignalDuringTheWriteKeepsTheOldFile) {
  TempDir dir;
  writeutterance(dir);
  int killed = 0;
  for (const int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE}) {
    const std::string out = dir.file("out.wav");
    writebytes(out, "old");
    const int watch = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    inotify_add_watch(watch, dir.path.c_str(), IN_CREATE);
    // 21 frames of 400000 samples: a 17 MB file, long enough in the writing
    // that the signal lands before the commit even on a loaded machine.
    const pid_t pid = spawnvallisynth({dir.file("f0"), dir.file("cc"), out, "--LFRAME=400000"});
    ASSERT_GT(pid, 0);
    alignas(inotify_event) char events[4096];
    const ssize_t n = read(watch, events, sizeof events);  // the temporary file appeared
    kill(pid, sig);
    close(watch);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_GT(n, 0);
    EXPECT_FALSE(hastemporaries(dir));
    if (WIFSIGNALED(status)) {
      EXPECT_EQ(WTERMSIG(status), sig);
      EXPECT_EQ(readbytes(out), "old");
      ++killed;
    } else {
      EXPECT_TRUE(iswholewav(out));
    }
  }
  EXPECT_GT(killed, 0) << "every write finished before its signal";
}

// A FIFO as the output: opening it waits for a reader, and Ctrl-C ends
// that wait.
TEST(Outputs, InterruptWhileAFifoWaitsForItsReader) {
  TempDir dir;
  writeutterance(dir);
  ASSERT_EQ(mkfifo(dir.file("out.fifo").c_str(), 0600), 0);
  const pid_t pid = spawnvallisynth({dir.file("f0"), dir.file("cc"), dir.file("out.fifo")});
  ASSERT_GT(pid, 0);
  usleep(200000);  // well into the open
  kill(pid, SIGINT);
  int status = 0;
  for (int waited = 0; waitpid(pid, &status, WNOHANG) == 0; ++waited) {
    if (waited == 100) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      FAIL() << "the run ignored SIGINT while it waited for a reader";
    }
    usleep(50000);
  }
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT);
}

// Two runs, one output name: the final file is one whole WAV file, that of
// one of the runs.
TEST(Outputs, ConcurrentWritersLeaveOneWholeFile) {
  TempDir dir;
  writeutterance(dir);
  writebytes(dir.file("f0b"), floatbytes(std::vector<float>(kFrames * 2, std::log(200.0f))));
  writebytes(dir.file("ccb"), floatbytes(testcc(kFrames * 2)));
  runbash(
      "for i in 1 2 3; do $V f0 cc out.wav --LFRAME=20000 & $V f0b ccb out.wav --LFRAME=20000 & "
      "wait; done",
      dir.path.string());
  EXPECT_FALSE(hastemporaries(dir));
  const std::string out = dir.file("out.wav");
  EXPECT_TRUE(iswholewav(out, 21 * 20000 + 1) || iswholewav(out, 41 * 20000 + 1));
}

// An output that is one of the inputs, by name, through a link or a hard
// link, is refused and the input kept.
TEST(Outputs, OutputThatIsAnInputIsRefused) {
  TempDir dir;
  writeutterance(dir);
  writebytes(dir.file("fv"), floatbytes(std::vector<float>(kFrames, 3000.0f)));
  fs::create_symlink("cc", dir.file("cclink"));
  fs::create_hard_link(dir.file("fv"), dir.file("fvhard"));
  for (const auto& [args, input] :
       {std::pair{std::vector<std::string>{"f0", "cc", "f0"}, "f0"},
        std::pair{std::vector<std::string>{"f0", "cc", "cclink"}, "cc"},
        std::pair{std::vector<std::string>{"f0", "cc", "fv", "fvhard"}, "fv"}}) {
    const RunResult r = runvallisynth(args, dir.path.string());
    EXPECT_EQ(r.exitcode, 1);
    EXPECT_EQ(r.out, "Error: the output " + args.back() + " is the input " + input + ".\n");
  }
  EXPECT_EQ(readbytes(dir.file("f0")), floatbytes(testlf0()));
  EXPECT_EQ(readbytes(dir.file("cc")), floatbytes(testcc()));
  EXPECT_EQ(readbytes(dir.file("fv")), floatbytes(std::vector<float>(kFrames, 3000.0f)));
}

// Streams from process substitutions, a FIFO and standard input, and
// outputs written through a link (its target gets the file, the link stays)
// or to standard output ("-", messages then on standard error), all give
// the bytes of regular files.
TEST(Outputs, PipesLinksAndStandardOutputGiveTheSameBytes) {
  TempDir dir;
  writeutterance(dir);
  writebytes(dir.file("fv"), "B");
  fs::create_directory(dir.file("sub"));
  writebytes(dir.file("sub/target.wav"), "old");
  fs::create_symlink("sub/target.wav", dir.file("link.wav"));
  ASSERT_EQ(runvallisynth({"f0", "cc", "ref.wav"}, dir.path.string()).exitcode, 0);
  const RunResult r = runbash(
      "$V <(cat f0) <(cat cc) a.wav && cat cc | $V f0 - b.wav && mkfifo fifo && "
      "{ cat f0 > fifo & } && $V fifo cc c.wav && $V f0 cc link.wav && $V f0 cc fv - 2>err",
      dir.path.string());
  EXPECT_EQ(r.exitcode, 0);
  const std::string ref = readbytes(dir.file("ref.wav"));
  EXPECT_EQ(r.out, ref);
  EXPECT_EQ(readbytes(dir.file("err")), "Warning: could not open fv.\n");
  for (const std::string out : {"a.wav", "b.wav", "c.wav", "sub/target.wav"}) {
    EXPECT_EQ(readbytes(dir.file(out)), ref) << out;
  }
  EXPECT_TRUE(fs::is_symlink(dir.file("link.wav")));
  const RunResult bad = runbash("$V missing cc - 2>err", dir.path.string());
  EXPECT_EQ(bad.exitcode, 1);
  EXPECT_EQ(bad.out, "");
  EXPECT_EQ(readbytes(dir.file("err")), "Error: could not open missing.\n");
}

// ---- Exit status ----

TEST(ExitStatus, FailureIsNeverSuccess) {
  TempDir dir;
  writeutterance(dir);
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
  // The WAV file itself to a full device: one message, with the reason
  // found on the thread that wrote.
  for (const char* threads : {"--THREADS=1", "--THREADS=2"}) {
    const RunResult wav = runbash(
        std::string("$V f0 cc - --LFRAME=4000 ") + threads + " >/dev/full 2>err; echo $?; cat err",
        dir.path.string());
    EXPECT_EQ(wav.out, "1\nError: could not create -: No space left on device.\n") << threads;
  }
}

// ---- Memory ----

// A batch of three: a stream too large to read within the limit, a long
// utterance whose output alone (as doubles) would not fit in the limit but
// which is decoded in pieces, and a short one. The first is reported, the
// other two are written. Then a frame shift whose work areas cannot fit.
// The shell command prefix sets the limit.
void expectmemorybatch(const std::string& prefix) {
  TempDir dir;
  // Sparse files: 2^28 values (2 GiB as doubles); 2^19 frames (unvoiced:
  // f0 of 1 Hz) whose 42 million output samples would take 335 MB.
  const auto sparse = [&](const std::string& name, std::uintmax_t bytes) {
    writebytes(dir.file(name), "");
    fs::resize_file(dir.file(name), bytes);
  };
  sparse("f1", 4u << 28);
  sparse("c1", 4u << 28);
  sparse("f2", 4u << 19);
  sparse("c2", 4u << 20);
  writebytes(dir.file("f3"), floatbytes(testlf0(10)));
  writebytes(dir.file("c3"), floatbytes(testcc(10)));
  const RunResult r = runbash(prefix +
                                  "$V 'f?' 'c?' 'o?.wav' --INDLIST=1-3; echo $?; "
                                  "$V f3 c3 o4.wav --LFRAME=100000000; echo $?",
                              dir.path.string());
  EXPECT_EQ(r.out,
            "o1.wav\nError: not enough memory to read f1.\no2.wav\no3.wav\n1\n"
            "Error: not enough memory to decode f3.\n1\n");
  EXPECT_TRUE(iswholewav(dir.file("o3.wav"), (10 + 1) * 80 + 1));
  EXPECT_TRUE(iswholewav(dir.file("o2.wav"), ((1 << 19) + 1) * 80 + 1));
  EXPECT_FALSE(fs::exists(dir.file("o1.wav")) || fs::exists(dir.file("o4.wav")));
}

// Under a cgroup's memory limit (v2 memory.max or v1
// memory.limit_in_bytes), made for the test and removed after it.
TEST(Memory, CgroupLimitIsHonoured) {
  const std::string name = "vallisynth-test-" + std::to_string(getpid());
  const bool v2 = fs::exists("/sys/fs/cgroup/cgroup.controllers");
  const std::string group = (v2 ? "/sys/fs/cgroup/" : "/sys/fs/cgroup/memory/") + name;
  std::error_code ec;
  if (geteuid() != 0 || !fs::create_directory(group, ec)) {
    GTEST_SKIP() << "cannot create a cgroup here";
  }
  std::ofstream(group + (v2 ? "/memory.max" : "/memory.limit_in_bytes")) << (256u << 20);
  expectmemorybatch("echo $$ > " + group + "/cgroup.procs && ");
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
  expectmemorybatch("ulimit -v 300000 && ");
}

}  // namespace
}  // namespace vallisynth::test
