// SPDX-License-Identifier: MIT
// The /proc and desktop-entry readers on generated trees: the input is cut at '\x01' bytes
// into the files of two processes (stat, cgroup, status, cmdline, comm) and one desktop entry,
// written to a scratch folder, and every reader runs over them. None may crash, hang or read
// out of bounds; their answers must be consistent with one another.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Platform/apps/AppIdentity.h"
#include "Platform/apps/HostIdentity.h"
#include "Platform/apps/ProcFiles.h"

namespace fs = std::filesystem;
using namespace platform;

namespace {

const fs::path& scratch() {
  static const fs::path dir = [] {
    std::string pattern = (fs::temp_directory_path() / "hkw-fuzz-proc-XXXXXX").string();
    return fs::path(::mkdtemp(pattern.data()));
  }();
  return dir;
}

void put(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> parts(11);
  std::size_t part = 0;
  for (std::size_t i = 0; i < size && part < parts.size(); ++i) {
    if (data[i] == 1)
      ++part;
    else
      parts[part].push_back(static_cast<char>(data[i]));
  }
  const fs::path proc = scratch() / "proc";
  const char* files[] = {"stat", "cgroup", "status", "cmdline", "comm"};
  for (int p = 0; p < 2; ++p) {
    const fs::path dir = proc / std::to_string(100 + p);
    fs::create_directories(dir);
    for (int f = 0; f < 5; ++f) put(dir / files[f], parts[static_cast<std::size_t>(p * 5 + f)]);
  }
  fs::create_directories(scratch() / "apps");
  put(scratch() / "apps" / "zoom.desktop", parts[10]);

  for (const std::string& text : parts) {
    (void)procfs::parentFromStat(text);
    (void)appidentity::identityFromCgroup(text);
    if (const auto unit = appidentity::applicationUnit(text)) {
      if (!appidentity::inUnit(text, *unit)) std::abort();  // its own text is in its unit
    }
    (void)appidentity::identityFromUnit(text);
  }
  const std::string root = proc.string();
  for (pid_t pid : {100, 101}) {
    const auto p = procfs::readProcess(root, pid);
    if (p && (p->pid != pid || p->namespacePids.empty())) std::abort();
    const host::Host h = host::identifyHost(pid, 101, root);
    (void)host::describe(h);
    (void)host::isHostProcess(h, 100, root);
    (void)host::trustedPid({pid, pid, parts[4], "", parts[9]}, true, root);
    (void)host::trustedPid({0, pid, parts[4], "pipewire-pulse", ""}, false, root);
  }
  (void)appidentity::runningApplications(root, {(scratch() / "apps").string()});
  (void)appidentity::desktopEntryName("zoom", {(scratch() / "apps").string()}, parts[9]);
  return 0;
}
