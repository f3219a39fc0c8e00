// SPDX-License-Identifier: MIT
// The command line: the parsed options, the parser and the usage text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace harkwell {

struct CLIArgs {
  std::optional<std::int32_t> targetPID;
  std::optional<std::string> targetBundle;
  bool listProcesses = false;
  bool showHelp = false;
};

// The process-wide parsed command line: set once by the entry point, before any mode runs, and
// never destroyed.
extern CLIArgs& args;

// Parses the whole argument vector (element 0 is the program's path and is never looked at).
// Never fails; each unrecognised argument gives one "unknown arg: " error line.
CLIArgs parseArgs(const std::vector<std::string>& arguments);

// A pid value: an optional single "+" or "-", one or more ASCII digits and nothing else, within
// the signed 32-bit range. None otherwise.
std::optional<std::int32_t> parsePidValue(std::string_view text);

// Nine lines joined by line feeds, without a line feed after the last.
extern const std::string_view usageText;

}  // namespace harkwell
