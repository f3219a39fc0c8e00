// SPDX-License-Identifier: MIT
// Counts heap allocations made through operator new, for the tests that prove a path makes
// none. Linking harkwell_test_allocation_counter replaces the global operator new and delete
// of the test binary (they still use malloc and free).
#pragma once

#include <cstddef>
#include <initializer_list>

namespace harkwell::test {

// Opens a window in which every allocation made on another thread than the calling one is
// counted. The calling thread (the test, which drives the path) is left out, and so is every
// thread whose name (as ps shows it) starts with one of `otherThreads` (at most four, kept by
// the caller until the window closes): what is counted is what the path's own threads
// allocate.
void startCountingAllocations(std::initializer_list<const char*> otherThreads = {});
// Closes the window; the allocations counted in it.
std::size_t stopCountingAllocations();

}  // namespace harkwell::test
