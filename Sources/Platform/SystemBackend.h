// SPDX-License-Identifier: MIT
// The backend the production program installs.
#pragma once

#include "AudioBackend.h"

namespace platform {

// Never destroyed: capture threads may reach it until the process exits.
AudioBackend* makeSystemBackend();

}  // namespace platform
