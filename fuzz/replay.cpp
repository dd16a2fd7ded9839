// Runs a fuzz target without libFuzzer: first every file of its seed corpus,
// then COUNT inputs made by stacking random mutations on the seeds. The
// generator has a fixed seed, so every run tries the same inputs and a
// failure is reproducible: with a third argument the generated inputs are
// written into that folder instead of being run.
//
// Usage: replay_TARGET CORPUS COUNT [SAVEDIR]

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "fuzzsupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

using Bytes = std::vector<std::uint8_t>;

// Bytes that steer the targets' parsers: separators, digits, NUL, the
// extremes of a byte, and the sign and exponent bytes of special floats.
constexpr std::uint8_t kBytes[] = {0x00, 0xFF, 0x7F, 0x80, '-', ',', '(', ')',
                                   '?',  '=',  '/',  '0',  '9', '*', '.', 0xC0};
// NaN, infinities, the smallest denormal, 1e38, the unvoiced marker -1e10,
// 0, 8000: single-precision values that stress the numerics.
constexpr std::uint32_t kFloats[] = {0x7FC00000u, 0x7F800000u, 0xFF800000u, 0x00000001u,
                                     0x7E967699u, 0xD0153F40u, 0x00000000u, 0x45FA0000u};

// One to four edits of a random seed, at most 4096 bytes in all.
Bytes mutate(const std::vector<Bytes>& seeds, std::mt19937& rng) {
  const auto pick = [&rng](std::size_t n) {
    return n == 0 ? 0 : std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
  };
  Bytes b = seeds[pick(seeds.size())];
  for (std::size_t edits = 1 + pick(4); edits > 0; --edits) {
    const std::size_t at = pick(b.size() + 1);
    const auto it = b.begin() + static_cast<std::ptrdiff_t>(at);
    const Bytes& other = seeds[pick(seeds.size())];
    const auto from = other.begin() + static_cast<std::ptrdiff_t>(pick(other.size() + 1));
    const std::uint32_t special = kFloats[pick(std::size(kFloats))];
    const std::size_t kind = pick(5);
    if (kind == 0 && at < b.size()) {  // flip a bit, or set a steering byte
      b[at] = pick(2) != 0 ? static_cast<std::uint8_t>(b[at] ^ (1u << pick(8))) : kBytes[pick(16)];
    } else if (kind == 1) {  // erase up to 16 bytes
      b.erase(it, it + static_cast<std::ptrdiff_t>(std::min(b.size() - at, 1 + pick(16))));
    } else if (kind == 2) {  // insert up to 64 bytes of a seed
      b.insert(it, from,
               from + std::min<std::ptrdiff_t>(other.end() - from,
                                               static_cast<std::ptrdiff_t>(1 + pick(64))));
    } else if (kind == 3 && b.size() >= 4) {  // a special float on a four-byte boundary
      std::memcpy(&b[pick(b.size() / 4) * 4], &special, 4);
    } else if (kind == 4) {  // truncate
      b.resize(at);
    }
  }
  b.resize(std::min<std::size_t>(b.size(), 4096));
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s CORPUS COUNT [SAVEDIR]\n", argv[0]);
    return 2;
  }
  std::vector<std::filesystem::path> files(std::filesystem::directory_iterator(argv[1]), {});
  std::sort(files.begin(), files.end());  // a fixed order for the generator
  std::vector<Bytes> seeds;
  for (const auto& f : files) {
    const std::string s = vallisynth::fuzz::readfile(f.string());
    seeds.emplace_back(s.begin(), s.end());
  }
  const long count = std::strtol(argv[2], nullptr, 10);
  // The code under test may print; only this program's report matters.
  if (seeds.empty() || (argc == 3 && std::freopen("/dev/null", "w", stdout) == nullptr)) {
    return 2;
  }
  std::mt19937 rng(20240611u);
  for (long i = -static_cast<long>(seeds.size()); i < count; ++i) {
    const Bytes b = i < 0 ? seeds[seeds.size() - static_cast<std::size_t>(-i)] : mutate(seeds, rng);
    if (argc > 3 && i >= 0) {
      vallisynth::fuzz::writefile(std::string(argv[3]) + "/gen-" + std::to_string(i),
                                  std::string(b.begin(), b.end()));
    } else if (argc == 3) {
      // From a heap block of exactly the input's size, so that the address
      // sanitizer sees any read past its end.
      const std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[b.size()]);
      std::copy(b.begin(), b.end(), block.get());
      LLVMFuzzerTestOneInput(block.get(), b.size());
    }
  }
  std::fprintf(stderr, "%zu seeds and %ld generated inputs passed\n", seeds.size(), count);
  return 0;
}
