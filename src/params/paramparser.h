// Named command-line parameters of the form --NAME=value.
//
// The parser works in place on the process's argument strings: an argument
// that a search consumes gets its first hyphen overwritten with '*' (the read
// mark), so no later search can match it again and unread_params() can tell
// which arguments nobody asked for. Nothing here prints.
#ifndef VALLISYNTH_PARAMS_PARAMPARSER_H_
#define VALLISYNTH_PARAMS_PARAMPARSER_H_

namespace vallisynth {

// 1 when the argument begins with "--", else 0.
int is_param(const char* arg);

// Pointer to the first character of VALUE when arg is --NAME=VALUE with NAME
// equal to name (byte for byte, whole name) and VALUE not empty; null
// otherwise.
char* param_name_matches(char* arg, const char* name);

// Sets the read mark on arg; returns 0.
int mark_param_read(char* arg);

// True when arg carries the read mark.
bool param_already_read(const char* arg);

// 0 when arg matches name and its value converts as the C library's "%d"
// ("%lf") would: the value is stored and arg marked. -1 otherwise, with
// nothing stored or marked.
int get_int_param(char* arg, const char* name, int* value);
int get_double_param(char* arg, const char* name, double* value);

// The value pointer (into arg itself) when arg matches, and arg marked; null
// otherwise.
char* get_string_param(char* arg, const char* name);

// Search the count arguments args[0..count-1] in order; the first argument
// that matches and converts supplies the value (result 0). -1 when none does,
// with the out-parameter untouched.
int search_int_param(int count, char** args, const char* name, int* value);
int search_double_param(int count, char** args, const char* name, double* value);

// The value pointer of the first matching argument, or null.
char* search_string_param(int count, char** args, const char* name);

// true when at least one of the count arguments lacks the read mark.
bool unread_params(int count, char** args);

}  // namespace vallisynth

#endif  // VALLISYNTH_PARAMS_PARAMPARSER_H_
