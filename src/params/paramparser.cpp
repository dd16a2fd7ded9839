#include "params/paramparser.h"

#include <cstdio>

namespace vallisynth {

namespace {
constexpr char kReadMark = '*';
}  // namespace

int isparam(const char* arg) {
  return (arg != nullptr && arg[0] == '-' && arg[1] == '-') ? 1 : 0;
}

char* paramnamematch(char* arg, const char* name) {
  if (isparam(arg) == 0) {
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

int markparamasread(char* arg) {
  arg[0] = kReadMark;
  return 0;
}

bool paramalreadyread(const char* arg) {
  return arg != nullptr && arg[0] == kReadMark;
}

int getintparam(char* arg, const char* name, int* value) {
  const char* val = paramnamematch(arg, name);
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
  markparamasread(arg);
  return 0;
}

int getdoubleparam(char* arg, const char* name, double* value) {
  const char* val = paramnamematch(arg, name);
  if (val == nullptr) {
    return -1;
  }
  double v = 0.0;
  if (std::sscanf(val, "%lf", &v) != 1) {
    return -1;
  }
  *value = v;
  markparamasread(arg);
  return 0;
}

char* getstringparam(char* arg, const char* name) {
  char* val = paramnamematch(arg, name);
  if (val != nullptr) {
    markparamasread(arg);
  }
  return val;
}

int searchintparam(int count, char** args, const char* name, int* value) {
  for (int i = 0; i < count; ++i) {
    if (getintparam(args[i], name, value) == 0) {
      return 0;
    }
  }
  return -1;
}

int searchdoubleparam(int count, char** args, const char* name, double* value) {
  for (int i = 0; i < count; ++i) {
    if (getdoubleparam(args[i], name, value) == 0) {
      return 0;
    }
  }
  return -1;
}

char* searchstringparam(int count, char** args, const char* name) {
  for (int i = 0; i < count; ++i) {
    char* val = getstringparam(args[i], name);
    if (val != nullptr) {
      return val;
    }
  }
  return nullptr;
}

bool unreadparams(int count, char** args) {
  for (int i = 0; i < count; ++i) {
    if (!paramalreadyread(args[i])) {
      return true;
    }
  }
  return false;
}

}  // namespace vallisynth
