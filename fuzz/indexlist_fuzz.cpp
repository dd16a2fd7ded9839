// Index lists and indexed file names. The input is an index list, then a
// NUL, then a file-name template. Diagnosing leaves the list as it was. The
// walk of a valid list ends, stays on digits inside the list and yields
// ascending, disjoint intervals within the index limit. Writing an index
// into a name (in a block of exactly its size) changes nothing but digits
// and '?' of the name into digits, or nothing at all when it fails; into a
// name whose field has w characters it succeeds exactly when the index has
// at most w digits, and pads it with zeros.

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "fuzzsupport.h"
#include "params/indexlist.h"

namespace {

bool is_digit_char(char c) {
  return c >= '0' && c <= '9';
}

std::unique_ptr<char[]> copyof(const std::string& s) {
  std::unique_ptr<char[]> block(new char[s.size() + 1]);
  std::memcpy(block.get(), s.c_str(), s.size() + 1);
  return block;
}

// Writes index into a copy of name; returns the result and the new name.
int replace(const std::string& name, std::uint32_t index, std::string& after) {
  const std::unique_ptr<char[]> block = copyof(name);
  const int r = vallisynth::write_file_index(block.get(), index);
  after.assign(block.get(), name.size() + 1);
  FUZZ_CHECK(after.back() == '\0' && (r == 0 || (r == -1 && after == name + '\0')));
  after.pop_back();
  for (std::size_t i = 0; i < name.size(); ++i) {
    FUZZ_CHECK(after[i] == name[i] ||
               (is_digit_char(after[i]) && (name[i] == '?' || is_digit_char(name[i]))));
  }
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::string list = input.c_str();
  const std::string name = input.c_str() + std::min(list.size() + 1, input.size());
  const std::unique_ptr<char[]> block = copyof(list);
  const int verdict = vallisynth::check_index_list(block.get());
  FUZZ_CHECK((verdict == 0 || verdict == -1) && list == block.get());
  if (verdict != 0) {
    return 0;
  }
  std::int64_t previousend = -1;
  const char* previous = nullptr;
  std::string after;
  for (const char* cursor = block.get(); cursor != nullptr;
       previous = cursor, cursor = vallisynth::next_interval(cursor)) {
    FUZZ_CHECK(std::less<>()(previous, cursor) && cursor < block.get() + list.size() &&
               is_digit_char(*cursor));
    const std::uint32_t start = vallisynth::interval_start(cursor);
    const std::uint32_t end = vallisynth::interval_end(cursor, start);
    FUZZ_CHECK(start > previousend && start <= end && end <= vallisynth::kMaxListIndex);
    previousend = end;
    for (const std::uint32_t index : {start, end}) {
      const std::string digits = std::to_string(index);
      for (std::size_t w = 0; w <= 10; ++w) {
        const int r = replace("set2/utt_" + std::string(w, '?') + ".wav", index, after);
        FUZZ_CHECK(r == (digits.size() <= w ? 0 : -1));
        FUZZ_CHECK(r != 0 ||
                   after == "set2/utt_" + std::string(w - digits.size(), '0') + digits + ".wav");
      }
      replace(name, index, after);
    }
  }
  return 0;
}
