// SPDX-License-Identifier: MIT
#include "CommandLine.h"

#include "HarkwellCore/NeverDestroyed.h"
#include "HarkwellCore/Protocol.h"

namespace harkwell {

namespace {
NeverDestroyed<CLIArgs> argsHolder;
}  // namespace
CLIArgs& args = *argsHolder;

const std::string_view usageText =
    "Harkwell \xE2\x80\x94 Quillet system-audio + mic capture for macOS.\n"
    "\n"
    "Usage:\n"
    "  Harkwell --target-pid <pid>\n"
    "  Harkwell --target-bundle <bundle.id>\n"
    "  Harkwell --list-processes\n"
    "\n"
    "Output: length-prefixed binary frames on stdout. See Protocol.\n"
    "Logs:   human-readable lines on stderr.";

std::optional<std::int32_t> parsePidValue(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  // Accumulate the magnitude, stopping as soon as it leaves the range; leading zeros add nothing.
  constexpr std::int64_t kLimit = 2147483648;  // |INT32_MIN|
  std::int64_t magnitude = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > kLimit) return std::nullopt;
  }
  const std::int64_t value = negative ? -magnitude : magnitude;
  if (value > 2147483647) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

CLIArgs parseArgs(const std::vector<std::string>& arguments) {
  CLIArgs parsed;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::string& a = arguments[i];
    if (a == "--target-pid") {
      if (++i < arguments.size()) {
        if (auto pid = parsePidValue(arguments[i])) parsed.targetPID = pid;
      }
    } else if (a == "--target-bundle") {
      if (++i < arguments.size()) parsed.targetBundle = arguments[i];
    } else if (a == "--list-processes") {
      parsed.listProcesses = true;
    } else if (a == "-h" || a == "--help") {
      parsed.showHelp = true;
    } else {
      Log::error("unknown arg: " + a);
    }
  }
  return parsed;
}

}  // namespace harkwell
