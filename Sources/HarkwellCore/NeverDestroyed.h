// SPDX-License-Identifier: MIT
// A process-wide object that is built once and never destroyed.
//
// Capture threads and the real-time callbacks may still touch the program's shared objects
// (queues, the output lock, the backend) while exit() runs the destructors of statics. An object
// held here has none: its storage lives as long as the process and nothing tears it down.
//
//   static NeverDestroyed<MainQueue> queue;   // built on first use, thread-safely
//   return *queue;
#pragma once

#include <new>
#include <type_traits>
#include <utility>

namespace harkwell {

template <typename T>
class NeverDestroyed {
 public:
  template <typename... Args>
  explicit NeverDestroyed(Args&&... arguments) {
    ::new (static_cast<void*>(storage_)) T(std::forward<Args>(arguments)...);
  }
  NeverDestroyed(const NeverDestroyed&) = delete;
  NeverDestroyed& operator=(const NeverDestroyed&) = delete;
  // Trivial on purpose: no destructor is registered with atexit.
  ~NeverDestroyed() = default;

  T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }
  const T& get() const { return *std::launder(reinterpret_cast<const T*>(storage_)); }
  T& operator*() { return get(); }
  T* operator->() { return &get(); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace harkwell
