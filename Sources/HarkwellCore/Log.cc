// SPDX-License-Identifier: MIT
// Diagnostic lines on standard error.
#include <unistd.h>

#include <string>

#include "FdWrite.h"
#include "Protocol.h"

namespace harkwell::Log {

namespace {

// One event is one line: line breaks that a message carries from outside (an argument, a
// device name) are written as the two characters \n or \r, so that nobody can forge lines.
void writeLine(std::string_view prefix, std::string_view message) {
  std::string line;
  line.reserve(prefix.size() + message.size() + 1);
  line.append(prefix);
  for (const char c : message) {
    if (c == '\n')
      line.append("\\n");
    else if (c == '\r')
      line.append("\\r");
    else
      line.push_back(c);
  }
  line.push_back('\n');
  // A line that cannot be written has nowhere else to go: it is dropped.
  (void)detail::writeAll(STDERR_FILENO, line.data(), line.size());
}

}  // namespace

void info(std::string_view message) {
  writeLine("[velto] ", message);
}

void error(std::string_view message) {
  writeLine("[velto][ERROR] ", message);
}

}  // namespace harkwell::Log
