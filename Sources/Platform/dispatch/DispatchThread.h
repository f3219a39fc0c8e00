// SPDX-License-Identifier: MIT
// Internal to the dispatch layer: set-up shared by the threads it starts.
#pragma once

namespace platform::dispatch_detail {

// Blocks every asynchronous signal on the calling thread, as libdispatch does on its worker
// threads: process-directed signals then go to the program's own threads (the main thread),
// and a queue's blocking calls are not interrupted by them. Faults stay deliverable.
void blockAsynchronousSignals();

}  // namespace platform::dispatch_detail
