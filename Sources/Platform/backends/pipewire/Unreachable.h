// SPDX-License-Identifier: MIT
// Why the PipeWire server cannot be reached, in one line for the log: the environment names
// no runtime folder, no socket is where the client looked, access to it is denied, or nobody
// answers on it.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace platform::pw {

// `error` is the errno of the failed connection; `env` reads the environment.
std::string unreachableReason(int error,
                              const std::function<std::optional<std::string>(const char*)>& env);

}  // namespace platform::pw
