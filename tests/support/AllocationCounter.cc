// SPDX-License-Identifier: MIT
#include "AllocationCounter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace harkwell::test {
namespace {

std::atomic<bool> counting{false};
std::atomic<std::size_t> counted{0};
thread_local bool leftOut = false;  // constant-initialised: safe inside operator new

void note() {
  if (counting.load(std::memory_order_relaxed) && !leftOut)
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

void startCountingAllocations() {
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
