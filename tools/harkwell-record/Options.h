// SPDX-License-Identifier: MIT
// The command line of harkwell-record.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace harkwell::record {

struct Options {
  std::string outDir;                  // empty: a new folder per run
  std::optional<double> seconds;       // stop after this long
  bool untilEof = false;               // stop when our own standard input ends
  std::string harkwell;                // the program to launch; empty: look for it
  std::vector<std::string> childArgs;  // passed to Harkwell after "--"
  std::string logFile;                 // Harkwell's standard error goes here instead of ours
  std::string inspectFile;             // decode this saved stream instead of launching Harkwell
  bool quiet = false;                  // no live meter
  bool requireSound = false;           // exit 4 unless both sources carried sound
};

enum class ParseOutcome { run, help, version, usageError };

struct ParseResult {
  ParseOutcome outcome = ParseOutcome::run;
  Options options;
  std::string error;  // for usageError
};

ParseResult parseOptions(int argc, char** argv);

std::string usageText();
std::string versionText();

}  // namespace harkwell::record
