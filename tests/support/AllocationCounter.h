// SPDX-License-Identifier: MIT
// Counts heap allocations made through operator new, for the tests that prove a path makes
// none. Linking harkwell_test_allocation_counter replaces the global operator new and delete
// of the test binary (they still use malloc and free).
#pragma once

#include <cstddef>

namespace harkwell::test {

// Opens a window in which every allocation made on another thread than the calling one is
// counted. The calling thread (the test, which drives the path) is left out, so what is
// counted is what the path's own threads allocate.
void startCountingAllocations();
// Closes the window; the allocations counted in it.
std::size_t stopCountingAllocations();

}  // namespace harkwell::test
