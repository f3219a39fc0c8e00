// SPDX-License-Identifier: MIT
// The program's entry: parse the command line, pick the mode, run it.
#include "Entry.h"

#include <unistd.h>

#include <string>
#include <vector>

#include "CommandLine.h"
#include "HarkwellCore/FdWrite.h"
#include "HarkwellCore/Protocol.h"
#include "ProcessTargeting.h"
#include "Startup.h"

namespace harkwell {

int runMain(int argc, char** argv, BackendFactory makeBackend) {
  args = parseArgs(std::vector<std::string>(argv, argv + argc));

  if (args.showHelp) {
    std::string text(usageText);
    text.push_back('\n');
    (void)detail::writeAll(STDOUT_FILENO, text.data(), text.size());
    return 0;
  }
  if (args.listProcesses) {
    ProcessTargeting::printList();
    return 0;
  }
  if (args.targetPID || args.targetBundle)
    Log::info("targeting args ignored \xE2\x80\x94 capturing system audio");
  runCaptureMode(makeBackend);
}

}  // namespace harkwell
