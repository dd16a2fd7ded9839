// Index lists and indexed file names. The input is an index list, then a
// NUL, then a file-name template. The list's verdict must agree with a
// plain restatement of the grammar; a valid list is walked (a bounded number
// of indices) and every index is written into names with fields of every
// width 0 to 10 and into the template, each in a block of exactly its size.

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzzsupport.h"
#include "params/indexlist.h"

namespace {

using vallisynth::kMaxListIndex;

// Indices written per input, and per end of each interval.
constexpr std::uint64_t kMaxIndices = 3000;
constexpr std::uint64_t kPerIntervalEnd = 8;

bool isdigitchar(char c) {
  return c >= '0' && c <= '9';
}

std::uint64_t digitcount(std::uint64_t v) {
  return v < 10 ? 1 : 1 + digitcount(v / 10);
}

// Numbers separated by single ',' or '-', then an optional "(D)" suffix
// with anything after it; numbers strictly increasing, at most
// kMaxListIndex, and with at most D digits when D is not 0.
bool referencevalid(std::string_view s) {
  const std::string_view body = s.substr(0, s.find('('));
  std::vector<std::uint64_t> numbers;
  std::size_t i = 0;
  for (;;) {
    if (i == body.size() || !isdigitchar(body[i])) {
      return false;
    }
    std::uint64_t v = 0;
    for (; i < body.size() && isdigitchar(body[i]); ++i) {
      v = std::min<std::uint64_t>(v * 10 + static_cast<std::uint64_t>(body[i] - '0'),
                                  std::uint64_t{1} << 40);
    }
    numbers.push_back(v);
    if (i == body.size()) {
      break;
    }
    if (body[i] != ',' && body[i] != '-') {
      return false;
    }
    ++i;
  }
  std::uint64_t d = 0;
  if (body.size() < s.size()) {
    const std::string_view suffix = s.substr(body.size() + 1);
    const std::size_t close = suffix.find(')');
    if (close == 0 || close == std::string_view::npos ||
        !std::all_of(suffix.begin(), suffix.begin() + static_cast<std::ptrdiff_t>(close),
                     isdigitchar)) {
      return false;
    }
    for (std::size_t k = 0; k < close; ++k) {
      d = std::min<std::uint64_t>(d * 10 + static_cast<std::uint64_t>(suffix[k] - '0'), 100);
    }
  }
  for (std::size_t k = 0; k < numbers.size(); ++k) {
    if (numbers[k] > kMaxListIndex || (k > 0 && numbers[k] <= numbers[k - 1]) ||
        (d != 0 && digitcount(numbers[k]) > d)) {
      return false;
    }
  }
  return true;
}

// The index field of a name: the first run of '?' and digits after the
// last '/' or '\\'. Returns its offset and sets width (0 when none).
std::size_t findfield(std::string_view name, std::size_t& width) {
  const std::size_t slash = name.find_last_of("/\\");
  std::size_t at = slash == std::string_view::npos ? 0 : slash + 1;
  while (at < name.size() && !isdigitchar(name[at]) && name[at] != '?') {
    ++at;
  }
  width = 0;
  while (at + width < name.size() && (isdigitchar(name[at + width]) || name[at + width] == '?')) {
    ++width;
  }
  return at;
}

// Writes index into a copy of name and checks the result against the model.
void checkreplace(const std::string& name, std::uint32_t index) {
  std::vector<char> buf(name.begin(), name.end());
  buf.push_back('\0');
  buf.shrink_to_fit();
  const int r = vallisynth::replacefileindex(buf.data(), index);
  const std::string after(buf.data(), name.size());
  FUZZ_CHECK(buf.back() == '\0');

  std::size_t width = 0;
  const std::size_t at = findfield(name, width);
  const std::string digits = std::to_string(index);
  if (digits.size() > width) {
    FUZZ_CHECK(r == -1);
    FUZZ_CHECK(after == name);
    return;
  }
  FUZZ_CHECK(r == 0);
  std::string expected = name;
  expected.replace(at, width, std::string(width - digits.size(), '0') + digits);
  FUZZ_CHECK(after == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::size_t nul = input.find('\0');
  const std::string list = input.substr(0, nul);
  std::string name;
  if (nul != std::string::npos) {
    name = input.substr(nul + 1);
    name = name.substr(0, name.find('\0'));
  }

  std::vector<char> listbuf(list.begin(), list.end());
  listbuf.push_back('\0');
  listbuf.shrink_to_fit();
  const int verdict = vallisynth::strnumdiagnose(listbuf.data());
  FUZZ_CHECK(verdict == (referencevalid(list) ? 0 : -1));
  FUZZ_CHECK(std::string(listbuf.data()) == list);
  if (verdict != 0) {
    return 0;
  }

  std::vector<std::string> names;
  for (std::size_t w = 0; w <= 10; ++w) {
    names.push_back("set2/utt_" + std::string(w, '?') + ".lf0");
  }
  names.push_back(name);

  // Intervals are ascending and disjoint; each is visited at its start and
  // its end, so that huge intervals stay cheap.
  std::uint64_t budget = kMaxIndices;
  std::uint64_t previousend = 0;
  bool first = true;
  for (const char* cursor = listbuf.data(); cursor != nullptr;
       cursor = vallisynth::strnumnextinterv(cursor)) {
    FUZZ_CHECK(cursor >= listbuf.data() && cursor < listbuf.data() + listbuf.size());
    FUZZ_CHECK(isdigitchar(*cursor));
    const std::uint32_t start = vallisynth::strnumintervstart(cursor);
    const std::uint32_t end = vallisynth::strnumintervend(cursor, start);
    FUZZ_CHECK(start <= end && end <= kMaxListIndex);
    FUZZ_CHECK(first || start > previousend);
    first = false;
    previousend = end;
    for (std::uint64_t i = start; i <= end && budget > 0; ++i, --budget) {
      if (i == std::uint64_t{start} + kPerIntervalEnd && end - i > kPerIntervalEnd) {
        i = end - kPerIntervalEnd;
      }
      for (const std::string& n : names) {
        checkreplace(n, static_cast<std::uint32_t>(i));
      }
    }
  }
  return 0;
}
