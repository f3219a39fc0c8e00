// SPDX-License-Identifier: MIT
// The command-line parser on any arguments (NUL-separated in the input): it never fails, and
// whatever it reports as a PID reads back from some argument.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "Harkwell/CommandLine.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> args;
  std::string current;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  args.push_back(current);
  const harkwell::CLIArgs parsed = harkwell::parseArgs(args);
  if (parsed.targetPID) {
    bool found = false;
    for (const std::string& a : args) {
      const auto pid = harkwell::parsePidValue(a);
      found = found || (pid && *pid == *parsed.targetPID);
      if (a.rfind("--target-pid=", 0) == 0) {
        const auto inline_ = harkwell::parsePidValue(std::string_view(a).substr(13));
        found = found || (inline_ && *inline_ == *parsed.targetPID);
      }
    }
    if (!found) std::abort();
  }
  for (const std::string& a : args) (void)harkwell::parsePidValue(a);
  return 0;
}
