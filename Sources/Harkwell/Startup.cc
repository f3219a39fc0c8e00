// Placeholder until capture mode lands.
#include "Startup.h"

#include <cstdlib>

namespace harkwell {

void runCaptureMode(BackendFactory) { std::exit(0); }

}  // namespace harkwell
