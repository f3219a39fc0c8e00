// SPDX-License-Identifier: MIT
// The production program's backend: PipeWire.
#include "Platform/SystemBackend.h"

#include <malloc.h>

#include "HarkwellCore/NeverDestroyed.h"
#include "Platform/backends/pipewire/PipeWireBackend.h"

namespace platform {

AudioBackend* makeSystemBackend() {
  // PipeWire's in-process converters allocate buffers of about a megabyte for every stream,
  // and streams are made again after a server restart, a device switch or a rate change, on
  // another thread than at start. With glibc's sliding threshold such blocks stop being mapped
  // on their own after the first is freed, and what they leave in each thread's heap stays
  // resident for good (9 MB after the first restart). A fixed threshold keeps every block of
  // that size mapped, so freeing a stream returns its memory.
  ::mallopt(M_MMAP_THRESHOLD, 256 * 1024);
  // Never destroyed: PipeWire's threads and the capture threads may reach it until exit.
  static harkwell::NeverDestroyed<pw::PipeWireBackend> backend;
  return &*backend;
}

}  // namespace platform
