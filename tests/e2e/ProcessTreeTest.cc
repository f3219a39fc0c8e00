// Who descends from the excluded process, read from a /proc of the test's making.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "Platform/pipewire/ProcessTree.h"

namespace platform::pw {
namespace {

class ProcessTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = std::filesystem::temp_directory_path() /
            ("hkw-proc-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(root_);
    // 1 ─ 100 (host) ─ 200 (helper) ─ 300 (its child); 1 ─ 400; 500 has a tricky name.
    write(100, "host", 1);
    write(200, "host helper", 100);
    write(300, "a) b (c", 200);
    write(400, "other", 1);
    write(500, ") 7 (", 400);
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  void write(pid_t pid, const std::string& comm, pid_t parent) {
    std::filesystem::create_directories(root_ / std::to_string(pid));
    std::ofstream(root_ / std::to_string(pid) / "stat")
        << pid << " (" << comm << ") S " << parent << " 1 1 0 -1 4194560\n";
  }

  std::filesystem::path root_;
};

TEST_F(ProcessTreeTest, ParentIsReadPastAnyCommandName) {
  EXPECT_EQ(parentOf(300, root_), 200);
  EXPECT_EQ(parentOf(500, root_), 400);
  EXPECT_EQ(parentOf(999, root_), std::nullopt);
}

TEST_F(ProcessTreeTest, DescendantsOfAnExcludedProcessAreFound) {
  const pid_t host[] = {100};
  EXPECT_TRUE(isSelfOrDescendant(100, host, root_));
  EXPECT_TRUE(isSelfOrDescendant(200, host, root_));
  EXPECT_TRUE(isSelfOrDescendant(300, host, root_));
  EXPECT_FALSE(isSelfOrDescendant(400, host, root_));
  EXPECT_FALSE(isSelfOrDescendant(500, host, root_));
  EXPECT_FALSE(isSelfOrDescendant(999, host, root_));
  EXPECT_FALSE(isSelfOrDescendant(300, {}, root_));
}

TEST(ProcessExistsTest, LiveAndImpossibleProcesses) {
  EXPECT_TRUE(processExists(::getpid()));
  EXPECT_FALSE(processExists(0));
  EXPECT_FALSE(processExists(-5));
}

}  // namespace
}  // namespace platform::pw
