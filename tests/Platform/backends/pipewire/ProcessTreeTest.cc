// SPDX-License-Identifier: MIT
// Which process ids the hardware layer gives process objects for.
#include <gtest/gtest.h>
#include <unistd.h>

#include "Platform/backends/pipewire/ProcessTree.h"

namespace platform::pw {
namespace {

TEST(ProcessExistsTest, LiveAndImpossibleProcesses) {
  EXPECT_TRUE(processExists(::getpid()));
  EXPECT_FALSE(processExists(0));
  EXPECT_FALSE(processExists(-5));
}

}  // namespace
}  // namespace platform::pw
