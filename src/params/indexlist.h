// Index lists ("1-10,12,15-20(3)") and the index field of file names.
//
// A file name in an index-list run is a template: its index field, the first
// run of '?' or digits in the file-name part of the path, is overwritten in
// place with each index, zero-padded to the field's width. The path never
// changes length, so the argument strings themselves serve as buffers.
#ifndef VALLISYNTH_PARAMS_INDEXLIST_H_
#define VALLISYNTH_PARAMS_INDEXLIST_H_

#include <cstdint>

namespace vallisynth {

// Largest index an index list may hold (indices are signed 32-bit numbers).
inline constexpr std::uint32_t kMaxListIndex = 2147483647u;

// 0 when list is a valid index list, -1 otherwise. A number above
// kMaxListIndex makes the list invalid.
int check_index_list(const char* list);

// The number at cursor, the first character of an interval.
std::uint32_t interval_start(const char* cursor);

// The interval's last index: the number after a '-' that comes before the
// next ',', '(' or the end of the string; start otherwise.
std::uint32_t interval_end(const char* cursor, std::uint32_t start);

// The first character of the next interval, or null when a '(' or the end of
// the string comes before the next ','.
const char* next_interval(const char* cursor);

// Number of decimal digits of value, 1 to 10.
std::uint32_t decimal_digits(std::uint32_t value);

// The file-name part of path: what follows its last '/' or '\\'.
char* file_name_part(char* path);

// The first character of the index field of path, or null when its
// file-name part has none.
char* index_field(char* path);

// Writes index into the index field of path, zero-padded to the field's
// width. 0 on success; -1, with path unchanged, when the path has no field
// or the field is narrower than the index.
int write_file_index(char* path, std::uint32_t index);

}  // namespace vallisynth

#endif  // VALLISYNTH_PARAMS_INDEXLIST_H_
