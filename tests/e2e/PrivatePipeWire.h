// SPDX-License-Identifier: MIT
// The private PipeWire of one end-to-end test process: started once by a GoogleTest
// environment, stopped at the end; its variables are exported into this process so that
// Harkwell and the players connect to it.
#pragma once

#include <cstdlib>
#include <string>

namespace harkwell::test {

class PrivatePipeWire {
 public:
  // Empty when the session runs; otherwise why it could not start.
  static const std::string& unavailableReason();
  static const std::string& directory();

  // Runs tools/private-pipewire.sh with `command` ("start", "stop", "kill-server"); true on
  // success. "start" exports the printed variables into this process.
  static bool run(const std::string& command, std::string* output = nullptr);
};

// Skips the test when the private PipeWire is not running; fails it instead where the
// environment says the end-to-end suite must run (HARKWELL_REQUIRE_E2E, set by the test script
// that CI runs), so that a broken PipeWire set-up cannot pass as skipped tests.
#define REQUIRE_PRIVATE_PIPEWIRE()                                            \
  do {                                                                        \
    if (!::harkwell::test::PrivatePipeWire::unavailableReason().empty()) {    \
      if (std::getenv("HARKWELL_REQUIRE_E2E") != nullptr)                     \
        FAIL() << "private PipeWire unavailable: "                            \
               << ::harkwell::test::PrivatePipeWire::unavailableReason();     \
      GTEST_SKIP() << "private PipeWire unavailable: "                        \
                   << ::harkwell::test::PrivatePipeWire::unavailableReason(); \
    }                                                                         \
  } while (false)

// Runs a shell command with the session's environment; its exit status.
int shell(const std::string& command);
// Its standard output.
std::string shellOutput(const std::string& command);

}  // namespace harkwell::test
