// SPDX-License-Identifier: MIT
#include "PrivatePipeWire.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <array>
#include <cstdio>
#include <sstream>

namespace harkwell::test {

namespace {

std::string& reason() {
  static std::string r = "not started";
  return r;
}

std::string& dir() {
  static std::string d;
  return d;
}

class Environment : public ::testing::Environment {
 public:
  void SetUp() override {
    char pattern[] = "/tmp/hkw-e2e-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
      reason() = "cannot create a temporary folder";
      return;
    }
    dir() = pattern;
    std::string output;
    if (!PrivatePipeWire::run("start", &output)) {
      reason() = "tools/private-pipewire.sh start failed: " + output;
      return;
    }
    reason().clear();
  }
  void TearDown() override {
    if (dir().empty()) return;
    PrivatePipeWire::run("stop");
    shell("rm -rf '" + dir() + "'");
  }
};

// Registered before main() runs the tests.
[[maybe_unused]] ::testing::Environment* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new Environment);

}  // namespace

const std::string& PrivatePipeWire::unavailableReason() {
  return reason();
}
const std::string& PrivatePipeWire::directory() {
  return dir();
}

bool PrivatePipeWire::run(const std::string& command, std::string* output) {
  const std::string line =
      std::string(PRIVATE_PIPEWIRE_SCRIPT) + " " + command + " '" + dir() + "' 2>&1";
  FILE* pipe = ::popen(line.c_str(), "r");
  if (pipe == nullptr) return false;
  std::string text;
  std::array<char, 4096> buffer;
  while (std::fgets(buffer.data(), buffer.size(), pipe) != nullptr) text += buffer.data();
  const int status = ::pclose(pipe);
  if (output != nullptr) *output = text;
  if (status != 0) return false;
  if (command == "start") {
    std::istringstream lines(text);
    std::string l;
    while (std::getline(lines, l)) {
      if (l.rfind("export ", 0) != 0) continue;
      const auto eq = l.find('=');
      std::string name = l.substr(7, eq - 7);
      std::string value = l.substr(eq + 1);
      if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'')
        value = value.substr(1, value.size() - 2);
      ::setenv(name.c_str(), value.c_str(), 1);
    }
  }
  return true;
}

int shell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string shellOutput(const std::string& command) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return {};
  std::string text;
  std::array<char, 4096> buffer;
  while (std::fgets(buffer.data(), buffer.size(), pipe) != nullptr) text += buffer.data();
  ::pclose(pipe);
  return text;
}

}  // namespace harkwell::test
