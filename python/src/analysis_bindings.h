// The analysis half of the Python binding.
#ifndef VALLISYNTH_PYTHON_ANALYSIS_BINDINGS_H_
#define VALLISYNTH_PYTHON_ANALYSIS_BINDINGS_H_

#include <pybind11/pybind11.h>

#include <string>

// A path argument as the module takes every path (str, bytes or PathLike;
// a NUL refused; "-" a file of that name). Defined with the module.
std::string path_argument(pybind11::handle path);

// An integer argument as the module takes every one (ints, numpy integers,
// whole floats; ValueError naming it beyond 64 bits, TypeError naming it for
// other types), and a sampling rate in Hz checked against the library's
// range. Defined with the module.
long long integer_argument(pybind11::handle value, const char* name, const char* unit);
int rate_argument(pybind11::handle fs);

// Adds analyse, Analyser, Analysis, read_audio and Audio to the module.
void add_analysis_bindings(pybind11::module_& m);

#endif  // VALLISYNTH_PYTHON_ANALYSIS_BINDINGS_H_
