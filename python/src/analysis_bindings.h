// The analysis half of the Python binding.
#ifndef VALLISYNTH_PYTHON_ANALYSIS_BINDINGS_H_
#define VALLISYNTH_PYTHON_ANALYSIS_BINDINGS_H_

#include <pybind11/pybind11.h>

// Adds analyse, Analyser, Analysis, read_audio and Audio to the module.
void add_analysis_bindings(pybind11::module_& m);

#endif  // VALLISYNTH_PYTHON_ANALYSIS_BINDINGS_H_
