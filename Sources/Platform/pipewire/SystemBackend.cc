// The production program's backend: PipeWire.
#include "Platform/SystemBackend.h"

#include "Platform/pipewire/PipeWireBackend.h"

namespace platform {

AudioBackend* makeSystemBackend() {
  // Never destroyed: PipeWire's threads and the capture threads may reach it until exit.
  static AudioBackend* const backend = new pw::PipeWireBackend();
  return backend;
}

}  // namespace platform
