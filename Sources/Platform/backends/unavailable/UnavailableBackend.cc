// SPDX-License-Identifier: MIT
#include "Platform/backends/unavailable/UnavailableBackend.h"

#include "HarkwellCore/NeverDestroyed.h"

namespace platform {

AudioBackend& noAudioSystem() {
  // Capture threads may reach it until exit.
  static harkwell::NeverDestroyed<UnavailableBackend> backend;
  return *backend;
}

}  // namespace platform
