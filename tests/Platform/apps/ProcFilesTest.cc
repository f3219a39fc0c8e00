// SPDX-License-Identifier: MIT
// The bounded reader of /proc files and desktop entries, against files that are not what
// they seem: special files never block or exhaust memory, and stat lines are read past any
// command name.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "Platform/apps/ProcFiles.h"
#include "ProcTree.h"

namespace platform::procfs {
namespace {

namespace fs = std::filesystem;

TEST(ReadSmallFile, ReadsRegularFilesWithinTheBoundOnly) {
  const fs::path dir = fs::temp_directory_path() / ("hkw-files-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::ofstream(dir / "small") << "Name=Zoom\n";
  std::ofstream(dir / "large") << std::string(5000, 'x');
  ::mkfifo((dir / "fifo").c_str(), 0600);  // nobody writes: a blocking open would hang
  fs::create_symlink("/dev/zero", dir / "zero");
  fs::create_symlink(dir / "small", dir / "link");
  fs::create_directories(dir / "folder");

  EXPECT_EQ(readSmallFile((dir / "small").string()), "Name=Zoom\n");
  EXPECT_EQ(readSmallFile((dir / "link").string()), "Name=Zoom\n");
  EXPECT_EQ(readSmallFile((dir / "large").string(), 5000)->size(), 5000u);
  EXPECT_EQ(readSmallFile((dir / "large").string(), 4999), std::nullopt);
  for (const char* name : {"fifo", "zero", "folder", "missing"})
    EXPECT_EQ(readSmallFile((dir / name).string()), std::nullopt) << name;
  // /proc files report a size of 0 and are read to their end.
  const auto stat = readSmallFile("/proc/self/stat");
  ASSERT_TRUE(stat);
  EXPECT_EQ(parentFromStat(*stat), ::getppid());
  fs::remove_all(dir);
}

TEST(ParentFromStat, ReadsPastAnyCommandName) {
  struct Case {
    std::string stat;
    std::optional<pid_t> parent;
  };
  const std::vector<Case> cases = {
      {"300 (a) b (c) S 200 1 1 0", 200},
      {"500 () 7 () S 400 1 1", 400},
      {"12 (x) R 0 0 0", 0},
      {"12 (x) S", std::nullopt},
      {"12 x S 1", std::nullopt},
      {"12 (x) S -4 1", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(parentFromStat(c.stat), c.parent) << c.stat;
}

TEST(ReadProcess, GivesEveryFieldOfAFixtureProcess) {
  harkwell::test::ProcTree tree;
  tree.add({42,
            7,
            "paplay",
            {"paplay", "--volume=100", "tone.wav"},
            "0::/app.slice\n",
            {42, 2},
            "/usr/bin/paplay (deleted)"});
  const auto p = readProcess(tree.root(), 42);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->parent, 7);
  EXPECT_EQ(p->comm, "paplay");
  EXPECT_EQ(p->executable, "paplay");
  EXPECT_EQ(p->argv, (std::vector<std::string>{"paplay", "--volume=100", "tone.wav"}));
  EXPECT_EQ(p->cgroup, "0::/app.slice\n");
  EXPECT_EQ(p->namespacePids, (std::vector<pid_t>{42, 2}));
  EXPECT_EQ(readProcess(tree.root(), 43), std::nullopt);
  EXPECT_EQ(listProcesses(tree.root()), std::vector<pid_t>{42});
}

}  // namespace
}  // namespace platform::procfs
