// SPDX-License-Identifier: MIT
#include "AllocationCounter.h"

#include <sys/prctl.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace harkwell::test {
namespace {

std::atomic<bool> counting{false};
std::atomic<std::size_t> counted{0};
thread_local bool leftOut = false;  // constant-initialised: safe inside operator new
constexpr int kMaxPrefixes = 4;
const char* prefixes[kMaxPrefixes] = {};
std::atomic<int> prefixCount{0};  // threads left out by name

bool watchedThread() {
  if (leftOut) return false;
  const int count = prefixCount.load(std::memory_order_acquire);
  if (count == 0) return true;
  char name[17] = {};
  if (::prctl(PR_GET_NAME, name) != 0) return true;
  for (int i = 0; i < count; ++i)
    if (std::strncmp(name, prefixes[i], std::strlen(prefixes[i])) == 0) return false;
  return true;
}

void note() {
  if (counting.load(std::memory_order_relaxed) && watchedThread())
    counted.fetch_add(1, std::memory_order_relaxed);
}

void* allocate(std::size_t size) {
  note();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

void* allocateAligned(std::size_t size, std::align_val_t align) {
  note();
  const auto alignment = static_cast<std::size_t>(align);
  const std::size_t rounded = (size + alignment - 1) / alignment * alignment;
  if (void* p = std::aligned_alloc(alignment, rounded == 0 ? alignment : rounded)) return p;
  throw std::bad_alloc();
}

}  // namespace

void startCountingAllocations(std::initializer_list<const char*> otherThreads) {
  int n = 0;
  for (const char* name : otherThreads)
    if (n < kMaxPrefixes) prefixes[n++] = name;
  prefixCount.store(n, std::memory_order_release);
  leftOut = true;
  counted.store(0, std::memory_order_relaxed);
  counting.store(true, std::memory_order_seq_cst);
}

std::size_t stopCountingAllocations() {
  counting.store(false, std::memory_order_seq_cst);
  leftOut = false;
  return counted.load(std::memory_order_relaxed);
}

}  // namespace harkwell::test

using harkwell::test::allocate;
using harkwell::test::allocateAligned;

void* operator new(std::size_t size) {
  return allocate(size);
}
void* operator new[](std::size_t size) {
  return allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new(std::size_t size, std::align_val_t align) {
  return allocateAligned(size, align);
}
void* operator new[](std::size_t size, std::align_val_t align) {
  return allocateAligned(size, align);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}
