#include "synthesis/utterances.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>

#include "conditioning/logf0.h"
#include "conditioning/warping.h"
#include "support/testsupport.h"
#include "synthesis/synthesis.h"

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

namespace vallisynth::test {

namespace {

std::vector<double> readfloats(const std::filesystem::path& path) {
  const std::string bytes = test::readbytes(path.string());
  std::vector<float> v(bytes.size() / 4);
  std::memcpy(v.data(), bytes.data(), v.size() * 4);
  return {v.begin(), v.end()};
}

// The value of --NAME= in a command line, or def.
double option(const std::string& args, const std::string& name, double def) {
  const auto at = args.find("--" + name + "=");
  return at == std::string::npos ? def : std::stod(args.substr(at + name.size() + 3));
}

// The utterance of stream files as the command line args would decode it:
// the fv stream when args name one, the pitch, pitch-range, duration and
// warping options applied as the decoder applies them, and the postfilter.
void addutterance(std::vector<Utterance>& all, const std::filesystem::path& lf0,
                  const std::string& args) {
  namespace fs = std::filesystem;
  Utterance u;
  u.name = lf0.string() + " " + args;
  const double fdur = option(args, "FDUR", 1.0);
  const double fwarp = option(args, "FWARP", 0.0);
  u.L = static_cast<std::uint32_t>(option(args, "LFRAME", 80.0) * fdur);
  u.alpha = fwarp == 0.0 ? 0.42 : composewarp(0.42, fwarp);
  u.gamma = option(args, "GAMMA", 0.0);
  std::vector<double> track = readfloats(lf0);
  shiftlogpitch(track, std::log(option(args, "FPITCH", 1.0)));
  scalelogpitchrange(track, option(args, "FVPITCH", 1.0));
  logf02f0(track);
  u.f0 = track;
  u.cc = readfloats(fs::path(lf0).replace_extension(".cc"));
  const fs::path fv = fs::path(lf0).replace_extension(".fv");
  if (args.find(".fv") != std::string::npos && fs::exists(fv)) {
    u.fv = readfloats(fv);
  }
  if (u.f0.empty() || u.cc.size() % u.f0.size() != 0 ||
      (!u.fv.empty() && u.fv.size() < u.f0.size())) {
    return;
  }
  u.fv.resize(u.fv.empty() ? 0 : u.f0.size());
  u.order = static_cast<std::uint32_t>(u.cc.size() / u.f0.size() - 1);
  all.push_back(u);
}

}  // namespace

std::vector<Utterance> shippedutterances() {
  namespace fs = std::filesystem;
  const fs::path root(VALLISYNTH_SOURCE_DIR);
  std::vector<Utterance> all;
  // The golden renderings' command lines.
  const fs::path examples = root / "examples";
  for (const char* name : {"utt01", "utt02", "utt03"}) {
    addutterance(all, examples / (std::string(name) + ".lf0"), "");
  }
  addutterance(all, examples / "utt01.lf0", "utt01.fv");
  addutterance(all, examples / "utt02.lf0",
               "--FPITCH=1.3 --FVPITCH=1.5 --FDUR=0.8 --FWARP=-0.1 --GAMMA=0.5");
  for (const auto& dir : fs::directory_iterator(root / "tests" / "vectors")) {
    if (!dir.is_directory()) {
      continue;
    }
    const std::string args = readbytes((dir.path() / "args").string());
    for (const auto& f : fs::directory_iterator(dir.path())) {
      if (f.path().extension() == ".lf0") {
        addutterance(all, f.path(), args);
      }
    }
  }
  return all;
}

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

std::vector<double> oneshot(const Utterance& u, NoisePhaseSource& rng, unsigned threads) {
  std::vector<double> f0 = u.f0;
  std::vector<double> x(getxsize(u.L, static_cast<std::uint32_t>(f0.size())));
  EXPECT_EQ(ccs2waveform(x, u.fs, u.L, f0, u.fv, u.order, u.cc, u.alpha, u.gamma, rng, threads), 0);
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

bool identical(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

long allocationcount() {
  return allocations.load();
}

}  // namespace vallisynth::test
