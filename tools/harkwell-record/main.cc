// SPDX-License-Identifier: MIT
// harkwell-record: the reference host. Launches Harkwell, records both sources to WAV files and
// the control messages to events.jsonl, and prints what it measured.
#include <unistd.h>

#include <iostream>

#include "LiveMeter.h"
#include "Options.h"
#include "Run.h"

int main(int argc, char** argv) {
  using namespace harkwell::record;
  const ParseResult parsed = parseOptions(argc, argv);
  switch (parsed.outcome) {
    case ParseOutcome::help:
      std::cout << usageText();
      return kExitOk;
    case ParseOutcome::version:
      std::cout << versionText();
      return kExitOk;
    case ParseOutcome::usageError:
      writeText(STDERR_FILENO, "harkwell-record: " + parsed.error +
                                   "\nTry 'harkwell-record --help' for more information.\n");
      return kExitUsage;
    case ParseOutcome::run:
      break;
  }
  if (!parsed.options.inspectFile.empty()) return runInspect(parsed.options);
  return runLive(parsed.options);
}
