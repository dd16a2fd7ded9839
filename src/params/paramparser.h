// Named command-line parameters of the form --NAME=value.
//
// The parser works in place on the process's argument strings: an argument
// that a search consumes gets its first hyphen overwritten with '*' (the read
// mark), so no later search can match it again and unreadparams() can tell
// which arguments nobody asked for. Nothing here prints.
#ifndef VALLISYNTH_PARAMS_PARAMPARSER_H_
#define VALLISYNTH_PARAMS_PARAMPARSER_H_

namespace vallisynth {

// 1 when the argument begins with "--", else 0.
int isparam(const char* arg);

// Pointer to the first character of VALUE when arg is --NAME=VALUE with NAME
// equal to name (byte for byte, whole name) and VALUE not empty; null
// otherwise.
char* paramnamematch(char* arg, const char* name);

// Sets the read mark on arg; returns 0.
int markparamasread(char* arg);

// True when arg carries the read mark.
bool paramalreadyread(const char* arg);

// 0 when arg matches name and its value converts as the C library's "%d"
// ("%lf") would: the value is stored and arg marked. -1 otherwise, with
// nothing stored or marked.
int getintparam(char* arg, const char* name, int* value);
int getdoubleparam(char* arg, const char* name, double* value);

// The value pointer (into arg itself) when arg matches, and arg marked; null
// otherwise.
char* getstringparam(char* arg, const char* name);

// Search the count arguments args[0..count-1] in order; the first argument
// that matches and converts supplies the value (result 0). -1 when none does,
// with the out-parameter untouched.
int searchintparam(int count, char** args, const char* name, int* value);
int searchdoubleparam(int count, char** args, const char* name, double* value);

// The value pointer of the first matching argument, or null.
char* searchstringparam(int count, char** args, const char* name);

// true when at least one of the count arguments lacks the read mark.
bool unreadparams(int count, char** args);

}  // namespace vallisynth

#endif  // VALLISYNTH_PARAMS_PARAMPARSER_H_
