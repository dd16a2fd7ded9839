#include "params/paramparser.h"

#include <cstdio>

namespace vallisynth {

namespace {
constexpr char kReadMark = '*';
}  // namespace

int is_param(const char* arg) {
  return (arg != nullptr && arg[0] == '-' && arg[1] == '-') ? 1 : 0;
}

char* param_name_matches(char* arg, const char* name) {
  if (is_param(arg) == 0) {
    return nullptr;
  }
  char* const nm = arg + 2;
  char* p = nm;
  while (*p != '\0' && *p != '=') {
    ++p;
  }
  // Empty NAME, no "=", or an empty VALUE.
  if (p == nm || *p != '=' || p[1] == '\0') {
    return nullptr;
  }
  const auto len = p - nm;
  for (decltype(p - nm) i = 0; i < len; ++i) {
    if (name[i] != nm[i]) {
      return nullptr;  // also stops at the end of a shorter name
    }
  }
  if (name[len] != '\0') {
    return nullptr;  // the searched name is longer than NAME
  }
  return p + 1;
}

int mark_param_read(char* arg) {
  arg[0] = kReadMark;
  return 0;
}

bool param_already_read(const char* arg) {
  return arg != nullptr && arg[0] == kReadMark;
}

int get_int_param(char* arg, const char* name, int* value) {
  const char* val = param_name_matches(arg, name);
  if (val == nullptr) {
    return -1;
  }
  // The C library's conversion is the documented behaviour: leading white
  // space skipped, the longest valid beginning read, the rest ignored.
  int v = 0;
  if (std::sscanf(val, "%d", &v) != 1) {
    return -1;
  }
  *value = v;
  mark_param_read(arg);
  return 0;
}

int get_double_param(char* arg, const char* name, double* value) {
  const char* val = param_name_matches(arg, name);
  if (val == nullptr) {
    return -1;
  }
  double v = 0.0;
  if (std::sscanf(val, "%lf", &v) != 1) {
    return -1;
  }
  *value = v;
  mark_param_read(arg);
  return 0;
}

char* get_string_param(char* arg, const char* name) {
  char* val = param_name_matches(arg, name);
  if (val != nullptr) {
    mark_param_read(arg);
  }
  return val;
}

int search_int_param(int count, char** args, const char* name, int* value) {
  for (int i = 0; i < count; ++i) {
    if (get_int_param(args[i], name, value) == 0) {
      return 0;
    }
  }
  return -1;
}

int search_double_param(int count, char** args, const char* name, double* value) {
  for (int i = 0; i < count; ++i) {
    if (get_double_param(args[i], name, value) == 0) {
      return 0;
    }
  }
  return -1;
}

char* search_string_param(int count, char** args, const char* name) {
  for (int i = 0; i < count; ++i) {
    char* val = get_string_param(args[i], name);
    if (val != nullptr) {
      return val;
    }
  }
  return nullptr;
}

bool unread_params(int count, char** args) {
  for (int i = 0; i < count; ++i) {
    if (!param_already_read(args[i])) {
      return true;
    }
  }
  return false;
}

}  // namespace vallisynth
