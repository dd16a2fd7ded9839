#include "params/indexlist.h"

#include <cstring>

namespace vallisynth {

namespace {

bool isdigitchar(char c) {
  return c >= '0' && c <= '9';
}

bool isfieldchar(char c) {
  return c == '?' || isdigitchar(c);
}

// Reads the decimal number at p; saturates at one above kMaxListIndex so that
// an oversized number can be recognised without overflow however long it is.
std::uint64_t readnumber(const char* p) {
  std::uint64_t v = 0;
  for (; isdigitchar(*p); ++p) {
    v = v * 10u + static_cast<std::uint64_t>(*p - '0');
    if (v > kMaxListIndex) {
      v = std::uint64_t{kMaxListIndex} + 1u;
    }
  }
  return v;
}

const char* skipdigits(const char* p) {
  while (isdigitchar(*p)) {
    ++p;
  }
  return p;
}

// Syntax pass: returns false when the list is malformed; on success *digits
// holds the digit-count suffix D (0 when there is none).
bool checksyntax(const char* list, std::uint64_t* digits) {
  if (!isdigitchar(list[0])) {
    return false;  // also rejects the empty list
  }
  const char* p = list + 1;
  for (; *p != '\0' && *p != '('; ++p) {
    if (*p == ',' || *p == '-') {
      if (!isdigitchar(p[-1])) {
        return false;
      }
    } else if (!isdigitchar(*p)) {
      return false;
    }
  }
  if (!isdigitchar(p[-1])) {
    return false;
  }
  *digits = 0;
  if (*p == '(') {
    const char* q = p + 1;
    if (!isdigitchar(*q)) {
      return false;
    }
    q = skipdigits(q);
    if (*q != ')') {
      return false;
    }
    *digits = readnumber(p + 1);
  }
  return true;
}

}  // namespace

int strnumdiagnose(const char* list) {
  if (list == nullptr) {
    return -1;
  }
  std::uint64_t d = 0;
  if (!checksyntax(list, &d)) {
    return -1;
  }
  // Value pass: numbers strictly increasing across both separators, each
  // within range and within D digits.
  const char* p = list;
  std::uint64_t prev = 0;
  bool first = true;
  for (;;) {
    const std::uint64_t v = readnumber(p);
    if (v > kMaxListIndex) {
      return -1;
    }
    if (!first && v <= prev) {
      return -1;
    }
    if (d != 0 && getdigits(static_cast<std::uint32_t>(v)) > d) {
      return -1;
    }
    first = false;
    prev = v;
    p = skipdigits(p);
    if (*p == '\0' || *p == '(') {
      return 0;
    }
    ++p;  // the separator
  }
}

std::uint32_t strnumintervstart(const char* cursor) {
  const std::uint64_t v = readnumber(cursor);
  return v > kMaxListIndex ? kMaxListIndex : static_cast<std::uint32_t>(v);
}

std::uint32_t strnumintervend(const char* cursor, std::uint32_t start) {
  const char* p = skipdigits(cursor);
  if (*p != '-') {
    return start;
  }
  const std::uint64_t v = readnumber(p + 1);
  return v > kMaxListIndex ? kMaxListIndex : static_cast<std::uint32_t>(v);
}

const char* strnumnextinterv(const char* cursor) {
  for (const char* p = cursor; *p != '\0' && *p != '('; ++p) {
    if (*p == ',') {
      return p + 1;
    }
  }
  return nullptr;
}

std::uint32_t getdigits(std::uint32_t value) {
  std::uint32_t d = 1;
  for (std::uint32_t v = value; v >= 10u; v /= 10u) {
    ++d;
  }
  return d;
}

char* getfilename(char* path) {
  char* name = path;
  for (char* p = path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') {
      name = p + 1;
    }
  }
  return name;
}

char* getfileindex(char* path) {
  for (char* p = getfilename(path); *p != '\0'; ++p) {
    if (isfieldchar(*p)) {
      return p;
    }
  }
  return nullptr;
}

int replacefileindex(char* path, std::uint32_t index) {
  char* field = getfileindex(path);
  std::uint32_t width = 0;
  if (field != nullptr) {
    while (isfieldchar(field[width])) {
      ++width;
    }
  }
  const std::uint32_t d = getdigits(index);
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
