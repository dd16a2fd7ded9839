#include "params/indexlist.h"

#include <cstring>

namespace vallisynth {

namespace {

bool is_digit_char(char c) {
  return c >= '0' && c <= '9';
}

bool is_field_char(char c) {
  return c == '?' || is_digit_char(c);
}

// Reads the decimal number at p; saturates at one above kMaxListIndex so that
// an oversized number can be recognised without overflow however long it is.
std::uint64_t read_number(const char* p) {
  std::uint64_t v = 0;
  for (; is_digit_char(*p); ++p) {
    v = v * 10u + static_cast<std::uint64_t>(*p - '0');
    if (v > kMaxListIndex) {
      v = std::uint64_t{kMaxListIndex} + 1u;
    }
  }
  return v;
}

const char* skip_digits(const char* p) {
  while (is_digit_char(*p)) {
    ++p;
  }
  return p;
}

// Syntax pass: returns false when the list is malformed; on success *digits
// holds the digit-count suffix D (0 when there is none).
bool check_syntax(const char* list, std::uint64_t* digits) {
  if (!is_digit_char(list[0])) {
    return false;  // also rejects the empty list
  }
  const char* p = list + 1;
  for (; *p != '\0' && *p != '('; ++p) {
    if (*p == ',' || *p == '-') {
      if (!is_digit_char(p[-1])) {
        return false;
      }
    } else if (!is_digit_char(*p)) {
      return false;
    }
  }
  if (!is_digit_char(p[-1])) {
    return false;
  }
  *digits = 0;
  if (*p == '(') {
    const char* q = p + 1;
    if (!is_digit_char(*q)) {
      return false;
    }
    q = skip_digits(q);
    if (*q != ')') {
      return false;
    }
    *digits = read_number(p + 1);
  }
  return true;
}

}  // namespace

int check_index_list(const char* list) {
  if (list == nullptr) {
    return -1;
  }
  std::uint64_t d = 0;
  if (!check_syntax(list, &d)) {
    return -1;
  }
  // Value pass: numbers strictly increasing across both separators, each
  // within range and within D digits.
  const char* p = list;
  std::uint64_t prev = 0;
  bool first = true;
  for (;;) {
    const std::uint64_t v = read_number(p);
    if (v > kMaxListIndex) {
      return -1;
    }
    if (!first && v <= prev) {
      return -1;
    }
    if (d != 0 && decimal_digits(static_cast<std::uint32_t>(v)) > d) {
      return -1;
    }
    first = false;
    prev = v;
    p = skip_digits(p);
    if (*p == '\0' || *p == '(') {
      return 0;
    }
    ++p;  // the separator
  }
}

std::uint32_t interval_start(const char* cursor) {
  const std::uint64_t v = read_number(cursor);
  return v > kMaxListIndex ? kMaxListIndex : static_cast<std::uint32_t>(v);
}

std::uint32_t interval_end(const char* cursor, std::uint32_t start) {
  const char* p = skip_digits(cursor);
  if (*p != '-') {
    return start;
  }
  const std::uint64_t v = read_number(p + 1);
  return v > kMaxListIndex ? kMaxListIndex : static_cast<std::uint32_t>(v);
}

const char* next_interval(const char* cursor) {
  for (const char* p = cursor; *p != '\0' && *p != '('; ++p) {
    if (*p == ',') {
      return p + 1;
    }
  }
  return nullptr;
}

std::uint32_t decimal_digits(std::uint32_t value) {
  std::uint32_t d = 1;
  for (std::uint32_t v = value; v >= 10u; v /= 10u) {
    ++d;
  }
  return d;
}

char* file_name_part(char* path) {
  char* name = path;
  for (char* p = path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') {
      name = p + 1;
    }
  }
  return name;
}

char* index_field(char* path) {
  for (char* p = file_name_part(path); *p != '\0'; ++p) {
    if (is_field_char(*p)) {
      return p;
    }
  }
  return nullptr;
}

int write_file_index(char* path, std::uint32_t index) {
  char* field = index_field(path);
  std::uint32_t width = 0;
  if (field != nullptr) {
    while (is_field_char(field[width])) {
      ++width;
    }
  }
  const std::uint32_t d = decimal_digits(index);
  if (d > width) {
    return -1;
  }
  // Zero-pad on the left; the character after the field is left alone.
  std::uint32_t v = index;
  for (std::uint32_t i = width; i > 0; --i) {
    field[i - 1] = static_cast<char>('0' + v % 10u);
    v /= 10u;
  }
  return 0;
}

}  // namespace vallisynth
