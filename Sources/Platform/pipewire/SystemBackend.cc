// Placeholder until the PipeWire backend lands.
#include "Platform/SystemBackend.h"

namespace platform {

AudioBackend* makeSystemBackend() { return nullptr; }

}  // namespace platform
