// SPDX-License-Identifier: MIT
// Points on the dispatch clock.
#include <cmath>

#include "Platform/dispatch/Dispatch.h"

namespace platform {

DispatchTime DispatchTime::now() {
  return clock().now();
}

DispatchTime DispatchTime::operator+(double seconds) const {
  return DispatchTime{nanoseconds + std::llround(seconds * 1e9)};
}

}  // namespace platform
