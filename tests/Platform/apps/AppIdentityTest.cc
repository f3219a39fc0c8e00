// SPDX-License-Identifier: MIT
// The /proc reader: application identities from cgroups and executable names, the one-line-per-
// instance rule and display names from desktop entries, against fixture trees.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Platform/apps/AppIdentity.h"

namespace platform::appidentity {
namespace {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "harkwell-proc-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }

  void write(const fs::path& relative, const std::string& contents) const {
    fs::create_directories((path_ / relative).parent_path());
    std::ofstream(path_ / relative, std::ios::binary) << contents;
  }

 private:
  fs::path path_;
};

TEST(UnitIdentity, UnitNames) {
  struct Case {
    std::string unit;
    std::vector<std::string> ids;  // empty: no identity
    std::string snapDesktopId;
  };
  const std::vector<Case> cases = {
      {"app-flatpak-us.zoom.Zoom-12345.scope", {"us.zoom.Zoom", "flatpak-us.zoom.Zoom"}, ""},
      {"app-gnome-google\\x2dchrome-4242.scope", {"google-chrome", "gnome-google-chrome"}, ""},
      {"app-google\\x2dchrome-4242.scope", {"google-chrome"}, ""},
      {"app-gnome-teams-for-linux-7.scope", {"teams-for-linux", "gnome-teams-for-linux"}, ""},
      {"app-org.kde.dolphin@1a2b3c.service", {"org.kde.dolphin"}, ""},
      {"app-kde-Zoom.service", {"Zoom", "kde-Zoom"}, ""},
      {"snap.zoom-client.zoom-client-0b1f2e3d-4c5b-6a79-8887-96a5b4c3d2e1.scope",
       {"zoom-client"},
       "zoom-client_zoom-client"},
      {"snap.slack.slack.service", {"slack"}, "slack_slack"},
      {"app.slice", {}, ""},
      {"user@1000.service", {}, ""},
      {"session-2.scope", {}, ""},
      {"app-gnome-x.slice", {}, ""},
      {"app-.scope", {}, ""},
  };
  for (const Case& c : cases) {
    const auto identity = identityFromUnit(c.unit);
    if (c.ids.empty()) {
      EXPECT_FALSE(identity) << c.unit;
      continue;
    }
    ASSERT_TRUE(identity) << c.unit;
    EXPECT_EQ(identity->ids, c.ids) << c.unit;
    EXPECT_EQ(identity->snapDesktopId, c.snapDesktopId) << c.unit;
  }
}

TEST(UnitIdentity, CgroupFileUsesTheInnermostUnitOfAnyLine) {
  const auto v2 = identityFromCgroup(
      "0::/user.slice/user-1000.slice/user@1000.service/app.slice/"
      "app-flatpak-com.slack.Slack-99.scope\n");
  ASSERT_TRUE(v2);
  EXPECT_EQ(v2->ids.front(), "com.slack.Slack");

  const auto v1 = identityFromCgroup(
      "12:cpuset:/\n"
      "1:name=systemd:/user.slice/user-1000.slice/user@1000.service/app.slice/"
      "app-gnome-discord-5.scope\n"
      "0::/user.slice\n");
  ASSERT_TRUE(v1);
  EXPECT_EQ(v1->ids.front(), "discord");

  EXPECT_FALSE(identityFromCgroup("0::/\n"));
  EXPECT_FALSE(identityFromCgroup(""));
  EXPECT_FALSE(identityFromCgroup("garbage without colons"));
}

TEST(DesktopEntry, NameLookup) {
  TempDir dirs;
  dirs.write("a/zoom.desktop",
             "[Desktop Entry]\r\nType=Application\r\nName[de]=Zoom DE\r\nName=Zoom\r\n");
  dirs.write("b/zoom.desktop", "[Desktop Entry]\nName=Zoom from b\n");
  dirs.write("b/chrome.desktop",
             "# comment\n[Desktop Entry]\nName=Google Chrome\nName[de_AT]=Chrome AT\n"
             "[Desktop Action new-window]\nName=New Window\nName[de]=Neues Fenster\n");
  dirs.write("b/action-only.desktop", "[Desktop Action x]\nName=Wrong\n");
  const std::vector<std::string> search = {(dirs.path() / "missing").string(),
                                           (dirs.path() / "a").string(),
                                           (dirs.path() / "b").string()};
  struct Case {
    const char* id;
    const char* locale;
    std::optional<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"zoom", "", "Zoom"},                // the first folder that has the entry wins
      {"zoom", "de_DE.UTF-8", "Zoom DE"},  // language without country
      {"zoom", "C", "Zoom"},
      {"chrome", "de_AT.UTF-8@euro", "Chrome AT"},  // language and country
      {"chrome", "de_DE", "Google Chrome"},         // actions' names are not the entry's
      {"action-only", "", std::nullopt},
      {"nonexistent", "", std::nullopt},
  };
  for (const Case& c : cases)
    EXPECT_EQ(desktopEntryName(c.id, search, c.locale), c.expected) << c.id << " " << c.locale;
}

TEST(DesktopEntry, FilesThatAreNotEntriesAreSkippedWithoutBlocking) {
  // Anyone may write these folders: a FIFO nobody writes, an endless device and an entry far
  // larger than any real one must neither hang the listing nor exhaust its memory.
  TempDir dirs;
  fs::create_directories(dirs.path() / "a");
  ASSERT_EQ(::mkfifo((dirs.path() / "a/zoom.desktop").c_str(), 0600), 0);
  fs::create_symlink("/dev/zero", dirs.path() / "a/chrome.desktop");
  dirs.write("a/slack.desktop", "[Desktop Entry]\nName=Slack\n" + std::string(1 << 20, '#'));
  dirs.write("b/zoom.desktop", "[Desktop Entry]\nName=Zoom\n");
  const std::vector<std::string> search = {(dirs.path() / "a").string(),
                                           (dirs.path() / "b").string()};
  EXPECT_EQ(desktopEntryName("zoom", search), "Zoom");  // the next folder's entry
  EXPECT_EQ(desktopEntryName("chrome", search), std::nullopt);
  EXPECT_EQ(desktopEntryName("slack", search), std::nullopt);
}

std::string stat(int pid, const std::string& comm, int ppid) {
  return std::to_string(pid) + " (" + comm + ") S " + std::to_string(ppid) + " 1 1 0 -1\n";
}

void addProcess(const TempDir& t, int pid, const std::string& cgroup, const std::string& comm,
                int ppid, const std::string& statComm = "") {
  const std::string dir = "proc/" + std::to_string(pid) + "/";
  t.write(dir + "cgroup", cgroup);
  t.write(dir + "comm", comm + "\n");
  t.write(dir + "stat", stat(pid, statComm.empty() ? comm : statComm, ppid));
}

TEST(ProcReader, FixtureTree) {
  TempDir t;
  const std::string user = "0::/user.slice/user-1000.slice/user@1000.service/app.slice/";
  const std::string terminal = user + "app-gnome-org.gnome.Terminal-31.scope\n";
  // Flatpak Zoom: one line, the app's own process (not bubblewrap's), its helpers not listed.
  addProcess(t, 100, user + "app-flatpak-us.zoom.Zoom-12345.scope\n", "bwrap", 1);
  addProcess(t, 101, user + "app-flatpak-us.zoom.Zoom-12345.scope\n", "zoom", 100);
  addProcess(t, 102, user + "app-flatpak-us.zoom.Zoom-12345.scope\n", "zoom", 101);
  // Chrome started from a terminal: found by its executable; its renderers are not listed.
  addProcess(t, 150, terminal, "bash", 1);
  addProcess(t, 200, terminal, "chrome", 150);
  addProcess(t, 201, terminal, "chrome", 200);
  // teams-for-linux started from the desktop, no desktop entry in the fixture: no name.
  addProcess(t, 300, user + "app-gnome-teams\\x2dfor\\x2dlinux-9.scope\n", "teams-for-linux", 1);
  // Slack as a snap.
  addProcess(t, 400, user + "snap.slack.slack-0b1f2e3d-4c5b-6a79-8887-96a5b4c3d2e1.scope\n",
             "slack", 1);
  // Edge outside any unit, with a helper re-parented to PID 1: one line for the application.
  addProcess(t, 700, terminal, "msedge", 150);
  addProcess(t, 701, terminal, "msedge", 1);
  // Brave in its unit: a zygote re-parented away and a crash handler whose name is not
  // Brave's stay on the main process's line.
  const std::string brave = user + "app-gnome-brave\\x2dbrowser-77.scope\n";
  addProcess(t, 900, brave, "chrome_crashpad", 1);
  addProcess(t, 901, brave, "brave", 1);
  addProcess(t, 902, brave, "brave", 1);
  // Discord on cgroup v1; a helper whose comm in stat holds ") " still finds its parent.
  addProcess(t, 800, "1:name=systemd:/user.slice/app-discord-5.scope\n0::/\n", "Discord", 1);
  addProcess(t, 801, "1:name=systemd:/user.slice/app-discord-5.scope\n0::/\n", "Discord", 800,
             "Disc) S 1 (ord");
  // Nothing known: a shell, a terminal app, a kernel thread.
  addProcess(t, 500, terminal, "bash", 1);
  addProcess(t, 501, terminal, "gnome-terminal-", 1);
  addProcess(t, 2, "0::/\n", "kthreadd", 0);
  // A process that ended while being read, and entries that are not processes.
  fs::create_directories(t.path() / "proc/600");
  t.write("proc/12ab/comm", "chrome\n");
  t.write("proc/sys/comm", "chrome\n");
  fs::create_directory_symlink(t.path() / "proc/200", t.path() / "proc/self");

  t.write("apps/us.zoom.Zoom.desktop", "[Desktop Entry]\nName=Zoom Workplace\n");
  t.write("apps/google-chrome.desktop", "[Desktop Entry]\nName=Google Chrome\n");
  t.write("snap/slack_slack.desktop", "[Desktop Entry]\nName=Slack\n");
  t.write("apps/discord.desktop", "[Desktop Entry]\nName=Discord\n");

  ::setenv("LC_ALL", "C", 1);
  auto apps = runningApplications((t.path() / "proc").string(),
                                  {(t.path() / "apps").string(), (t.path() / "snap").string()});
  ::unsetenv("LC_ALL");
  // readdir order depends on the file system: compare in pid order.
  std::sort(apps.begin(), apps.end(),
            [](const auto& a, const auto& b) { return a.processIdentifier < b.processIdentifier; });

  struct Row {
    pid_t pid;
    std::string bundle;
    std::optional<std::string> name;
  };
  const std::vector<Row> expected = {
      {101, "us.zoom.xos", "Zoom Workplace"},       {200, "com.google.Chrome", "Google Chrome"},
      {300, "com.microsoft.teams", std::nullopt},   {400, "com.tinyspeck.slackmacgap", "Slack"},
      {700, "com.microsoft.edgemac", std::nullopt}, {800, "com.hnc.Discord", "Discord"},
      {901, "com.brave.Browser", std::nullopt},
  };
  ASSERT_EQ(apps.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(apps[i].processIdentifier, expected[i].pid);
    EXPECT_EQ(apps[i].bundleIdentifier, expected[i].bundle) << expected[i].pid;
    EXPECT_EQ(apps[i].localizedName, expected[i].name) << expected[i].pid;
  }
}

TEST(ProcReader, MissingProcRootGivesNothing) {
  EXPECT_TRUE(runningApplications("/nonexistent-proc-root", {}).empty());
}

TEST(ProcReader, RealProcIsReadable) {
  // The host's processes vary; only check that every entry it gives has a known identity.
  for (const auto& app : platform::runningApplications()) {
    ASSERT_TRUE(app.bundleIdentifier);
    EXPECT_GT(app.processIdentifier, 0);
  }
}

}  // namespace
}  // namespace platform::appidentity
