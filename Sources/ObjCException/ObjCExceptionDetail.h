// SPDX-License-Identifier: MIT
// The guard with its exception handler supplied by the caller, so tests can drive every outcome
// of the handler (including a failure that leaves the error slot empty).
#pragma once

#include "ObjCException.h"

namespace harkwell::detail {

using TryFunction = bool (*)(platform::FunctionRef<void()>, std::optional<platform::NSError>*);

void runCatchingObjCException(platform::FunctionRef<void()> body, TryFunction tryFunction);

}  // namespace harkwell::detail
