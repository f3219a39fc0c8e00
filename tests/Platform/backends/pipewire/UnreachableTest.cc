// SPDX-License-Identifier: MIT
// The line that says why PipeWire cannot be reached.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "Platform/backends/pipewire/Unreachable.h"

namespace platform::pw {
namespace {

struct Case {
  std::string name;
  std::map<std::string, std::string> env;  // "$DIR" stands for a fresh folder
  std::string file;                        // made in $DIR: "socket", "plain" or none
  std::string expected;                    // with $DIR
};

class UnreachableTest : public testing::TestWithParam<Case> {};

std::string expand(std::string text, const std::string& dir) {
  for (std::size_t at; (at = text.find("$DIR")) != std::string::npos;) text.replace(at, 4, dir);
  return text;
}

TEST_P(UnreachableTest, NamesTheCauseItSaw) {
  const Case& c = GetParam();
  char pattern[] = "/tmp/hkw-unreachable-XXXXXX";
  const std::string dir = ::mkdtemp(pattern);
  if (c.file == "socket") {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = dir + "/pipewire-0";
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);  // nobody listens: a socket left behind
  } else if (c.file == "plain") {
    std::ofstream(dir + "/pipewire-0") << "x";
  }
  const auto reason =
      unreachableReason(EHOSTDOWN, [&](const char* name) -> std::optional<std::string> {
        auto it = c.env.find(name);
        if (it == c.env.end()) return std::nullopt;
        return expand(it->second, dir);
      });
  EXPECT_EQ(reason, expand(c.expected, dir));
  std::filesystem::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(
    Causes, UnreachableTest,
    testing::Values(
        Case{"NoRuntimeFolder",
             {},
             "",
             "PipeWire cannot be reached: XDG_RUNTIME_DIR is not set (nor PIPEWIRE_RUNTIME_DIR), "
             "so there is no folder to find its socket in"},
        Case{"EmptyRuntimeFolderVariable",
             {{"XDG_RUNTIME_DIR", ""}},
             "",
             "PipeWire cannot be reached: XDG_RUNTIME_DIR is not set (nor PIPEWIRE_RUNTIME_DIR), "
             "so there is no folder to find its socket in"},
        Case{"NoSocket",
             {{"XDG_RUNTIME_DIR", "$DIR"}},
             "",
             "PipeWire cannot be reached: no socket at $DIR/pipewire-0 (is PipeWire running for "
             "this user?)"},
        Case{"PipeWireRuntimeDirComesFirst",
             {{"PIPEWIRE_RUNTIME_DIR", "$DIR/pw"}, {"XDG_RUNTIME_DIR", "$DIR"}},
             "socket",
             "PipeWire cannot be reached: no socket at $DIR/pw/pipewire-0 (is PipeWire running "
             "for this user?)"},
        Case{"RemoteByName",
             {{"XDG_RUNTIME_DIR", "$DIR"}, {"PIPEWIRE_REMOTE", "other"}},
             "",
             "PipeWire cannot be reached: no socket at $DIR/other (is PipeWire running for this "
             "user?)"},
        Case{"RemoteByPath",
             {{"PIPEWIRE_REMOTE", "$DIR/pipewire-0"}},
             "plain",
             "PipeWire cannot be reached: $DIR/pipewire-0 is not a socket"},
        Case{"SocketLeftBehind",
             {{"XDG_RUNTIME_DIR", "$DIR"}},
             "socket",
             "PipeWire cannot be reached: nobody answers at $DIR/pipewire-0 (a server that ended "
             "left its socket behind)"}),
    [](const testing::TestParamInfo<Case>& p) { return p.param.name; });

}  // namespace
}  // namespace platform::pw
