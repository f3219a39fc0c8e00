// SPDX-License-Identifier: MIT
// Turns an NSException raised by a platform call into an error value.
#pragma once

#include <optional>

#include "Platform/dispatch/FunctionRef.h"
#include "Platform/foundation/Foundation.h"

// Runs `block` once. True when it returned normally; false when it raised an NSException (or a
// subclass), in which case `error`, when not null, receives the error describing it. Any other
// exception passes through.
bool ocx_try(platform::FunctionRef<void()> block, std::optional<platform::NSError>* error);

namespace harkwell {

// Runs `body`; throws the body's own NSError unchanged, or the error for an NSException it
// raised ("unknown ObjC exception" when none was described).
void runCatchingObjCException(platform::FunctionRef<void()> body);

}  // namespace harkwell
