// SPDX-License-Identifier: MIT
// A /proc of the test's making: the files the identity readers look at, per process.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace harkwell::test {

class ProcTree {
 public:
  ProcTree() {
    std::string pattern = (std::filesystem::temp_directory_path() / "hkw-tree-XXXXXX").string();
    root_ = ::mkdtemp(pattern.data());
  }
  ~ProcTree() { std::filesystem::remove_all(root_); }
  ProcTree(const ProcTree&) = delete;
  ProcTree& operator=(const ProcTree&) = delete;

  std::string root() const { return root_.string(); }

  struct Process {
    pid_t pid;
    pid_t parent;
    std::string comm;
    std::vector<std::string> argv = {};  // empty: just the command name
    std::string cgroup = "0::/\n";
    std::vector<pid_t> nspid = {};  // empty: just the pid
    std::string exe = {};           // the executable's path; empty: /usr/bin/<comm>
  };

  void add(const Process& p) {
    const auto dir = root_ / std::to_string(p.pid);
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "stat") << p.pid << " (" << p.comm << ") S " << p.parent
                                << " 1 1 0 -1 4194560\n";
    std::ofstream(dir / "comm") << p.comm << "\n";
    std::ofstream cmdline(dir / "cmdline", std::ios::binary);
    const std::vector<std::string> argv = p.argv.empty() ? std::vector{p.comm} : p.argv;
    for (const std::string& a : argv) cmdline << a << '\0';
    std::ofstream(dir / "cgroup") << p.cgroup;
    std::ofstream status(dir / "status");
    status << "Name:\t" << p.comm << "\nNSpid:";
    if (p.nspid.empty()) status << "\t" << p.pid;
    for (pid_t n : p.nspid) status << "\t" << n;
    status << "\nNSpgid:\t" << p.pid << "\n";
    std::filesystem::create_symlink(p.exe.empty() ? "/usr/bin/" + p.comm : p.exe, dir / "exe");
  }

 private:
  std::filesystem::path root_;
};

}  // namespace harkwell::test
