// Runs a fuzz target without libFuzzer: first every file of its seed corpus,
// then COUNT inputs made by stacking random mutations on the seeds. The
// generator has a fixed seed, so every run tries the same inputs and a
// failure is reproducible: with a third argument the generated inputs are
// written into that folder instead of being run.
//
// Usage: replay_TARGET CORPUS COUNT [SAVEDIR]

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "fuzzsupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

using Bytes = std::vector<std::uint8_t>;

// Largest generated input; the targets bound their own work as well.
constexpr std::size_t kMaxSize = 4096;

// Bytes that steer the targets' parsers: separators, digits, NUL, the
// extremes of a byte, and the sign and exponent bytes of special floats.
constexpr std::array<std::uint8_t, 16> kInteresting = {0x00, 0xFF, 0x7F, 0x80, '-', ',', '(', ')',
                                                       '?',  '=',  '/',  '0',  '9', '*', '.', 0xC0};

// Single-precision values that stress the numerics, little-endian.
constexpr std::array<std::uint32_t, 10> kFloats = {
    0x7FC00000u,  // NaN
    0x7F800000u,  // +infinity
    0xFF800000u,  // -infinity
    0x00000001u,  // smallest denormal
    0x7E967699u,  // 1e38
    0xD0153F40u,  // -1e10, the unvoiced marker
    0x00000000u,  // 0
    0xBF800000u,  // -1
    0x409362B6u,  // log(100)
    0x45FA0000u,  // 8000
};

class Mutator {
 public:
  explicit Mutator(const std::vector<Bytes>& seeds) : seeds_(seeds) {
  }

  Bytes next() {
    Bytes b = seeds_.empty() ? Bytes{} : seeds_[pick(seeds_.size())];
    const std::size_t n = 1 + pick(4);
    for (std::size_t i = 0; i < n; ++i) {
      mutate(b);
    }
    if (b.size() > kMaxSize) {
      b.resize(kMaxSize);
    }
    return b;
  }

 private:
  std::size_t pick(std::size_t n) {
    return n == 0 ? 0 : std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
  }
  std::uint8_t randombyte() {
    return static_cast<std::uint8_t>(pick(256));
  }

  void mutate(Bytes& b) {
    switch (pick(8)) {
      case 0:  // flip a bit
        if (!b.empty()) {
          b[pick(b.size())] ^= static_cast<std::uint8_t>(1u << pick(8));
        }
        break;
      case 1:  // replace a byte
        if (!b.empty()) {
          b[pick(b.size())] = pick(2) == 0 ? randombyte() : kInteresting[pick(kInteresting.size())];
        }
        break;
      case 2: {  // insert a few bytes
        const std::size_t at = pick(b.size() + 1);
        const std::size_t n = 1 + pick(4);
        for (std::size_t i = 0; i < n; ++i) {
          b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), randombyte());
        }
        break;
      }
      case 3: {  // erase a range
        if (!b.empty()) {
          const std::size_t at = pick(b.size());
          const std::size_t n = 1 + pick(std::min<std::size_t>(b.size() - at, 16));
          b.erase(b.begin() + static_cast<std::ptrdiff_t>(at),
                  b.begin() + static_cast<std::ptrdiff_t>(at + n));
        }
        break;
      }
      case 4: {  // repeat a range
        if (!b.empty()) {
          const std::size_t at = pick(b.size());
          const std::size_t n = 1 + pick(std::min<std::size_t>(b.size() - at, 64));
          const Bytes chunk(b.begin() + static_cast<std::ptrdiff_t>(at),
                            b.begin() + static_cast<std::ptrdiff_t>(at + n));
          b.insert(b.begin() + static_cast<std::ptrdiff_t>(pick(b.size() + 1)), chunk.begin(),
                   chunk.end());
        }
        break;
      }
      case 5: {  // splice: this input's head, another seed's tail
        if (!seeds_.empty()) {
          const Bytes& other = seeds_[pick(seeds_.size())];
          b.resize(pick(b.size() + 1));
          b.insert(b.end(), other.begin() + static_cast<std::ptrdiff_t>(pick(other.size() + 1)),
                   other.end());
        }
        break;
      }
      case 6: {  // overwrite four aligned bytes with a special float
        if (b.size() >= 4) {
          const std::size_t at = pick(b.size() / 4) * 4;
          const std::uint32_t v = kFloats[pick(kFloats.size())];
          for (std::size_t i = 0; i < 4; ++i) {
            b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
          }
        }
        break;
      }
      default:  // truncate
        b.resize(pick(b.size() + 1));
        break;
    }
  }

  const std::vector<Bytes>& seeds_;
  std::mt19937 rng_{20240611u};
};

// Runs one input from a heap block of exactly its size, so that the address
// sanitizer sees any read past its end.
void run(const Bytes& input) {
  auto* block = static_cast<std::uint8_t*>(std::malloc(std::max<std::size_t>(input.size(), 1)));
  std::copy(input.begin(), input.end(), block);
  LLVMFuzzerTestOneInput(block, input.size());
  std::free(block);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s CORPUS COUNT [SAVEDIR]\n", argv[0]);
    return 2;
  }
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(argv[1])) {
    if (entry.is_regular_file()) {
      files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());  // a fixed order for the generator
  std::vector<Bytes> seeds;
  for (const auto& f : files) {
    const std::string s = vallisynth::fuzz::readfile(f.string());
    seeds.emplace_back(s.begin(), s.end());
  }
  const long count = std::strtol(argv[2], nullptr, 10);
  Mutator mutator(seeds);

  if (argc > 3) {
    for (long i = 0; i < count; ++i) {
      const Bytes b = mutator.next();
      vallisynth::fuzz::writefile(std::string(argv[3]) + "/gen-" + std::to_string(i),
                                  std::string(b.begin(), b.end()));
    }
    return 0;
  }
  // The code under test may print; only this program's report matters.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) {
    return 2;
  }
  for (const Bytes& s : seeds) {
    run(s);
  }
  for (long i = 0; i < count; ++i) {
    run(mutator.next());
  }
  std::fprintf(stderr, "%zu seeds and %ld generated inputs passed\n", seeds.size(), count);
  return seeds.empty() ? 1 : 0;
}
