// Counts the process's allocations: a test program that links
// allocations.cpp replaces the global operator new with a counting one, so
// that a test can check that a call allocates nothing.
#ifndef VALLISYNTH_TESTS_SUPPORT_ALLOCATIONS_H_
#define VALLISYNTH_TESTS_SUPPORT_ALLOCATIONS_H_

namespace vallisynth::test {

// Allocations made through operator new since the program started.
long allocation_count();

}  // namespace vallisynth::test

#endif  // VALLISYNTH_TESTS_SUPPORT_ALLOCATIONS_H_
