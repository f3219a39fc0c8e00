// SPDX-License-Identifier: MIT
// Whom the tap leaves out: the host application found from Harkwell's parent (launchers, the
// desktop, application units) and the PIDs of PipeWire clients that can be trusted, against
// /proc trees of the test's making.
#include <gtest/gtest.h>

#include "Platform/apps/HostIdentity.h"
#include "ProcTree.h"

namespace platform::host {
namespace {

using harkwell::test::ProcTree;

const std::string kApps = "0::/user.slice/user-1000.slice/user@1000.service/app.slice/";

// Harkwell is 900 in every tree; what its parent chain looks like varies.
struct HostCase {
  const char* name;
  std::vector<ProcTree::Process> processes;
  pid_t parent;
  pid_t root;  // 0: no root
  std::vector<std::string> launchers;
  std::string unit;  // the unit's name, empty: none
};

std::vector<HostCase> hostCases() {
  const std::string hostUnit = kApps + "app-gnome-notes-42.scope\n";
  const std::string firefox = kApps + "app-gnome-firefox-7.scope\n";
  return {
      {"ParentItself", {{100, 1, "notes"}}, 100, 100, {}, ""},
      {"ShellRunningACommandString",
       {{100, 1, "node"}, {200, 100, "sh", {"/bin/sh", "-c", "harkwell --x"}}},
       200,
       100,
       {"sh"},
       ""},
      {"ShellWithOptionsBeforeTheCommand",
       {{100, 1, "python3"}, {200, 100, "bash", {"bash", "-ec", "Harkwell"}}},
       200,
       100,
       {"bash"},
       ""},
      {"InteractiveShellIsTheHost",
       {{100, 1, "tmux"}, {200, 100, "bash", {"-bash"}}},
       200,
       200,
       {},
       ""},
      {"ChainOfWrappers",
       {{100, 1, "electron"},
        {200, 100, "sh", {"sh", "-c", "env A=1 nice timeout 9h Harkwell"}},
        {210, 200, "env"},
        {220, 210, "nice"},
        {230, 220, "timeout"}},
       230,
       100,
       {"timeout", "nice", "env", "sh"},
       ""},
      {"WrapperKnownByItsExecutableOnly",
       {{100, 1, "notes"}, {200, 100, "stdbuf-wrap", {}, "0::/\n", {}, "/usr/bin/stdbuf"}},
       200,
       100,
       {"stdbuf-wrap"},
       ""},
      {"ParentIsPidOne", {{1, 0, "systemd"}}, 1, 0, {}, ""},
      {"LauncherStartedByPidOne",
       {{1, 0, "init"}, {200, 1, "sh", {"sh", "-c", "x"}}},
       200,
       0,
       {"sh"},
       ""},
      {"SessionServiceManager",
       {{1, 0, "init"}, {50, 1, "systemd", {"/lib/systemd/systemd", "--user"}}},
       50,
       0,
       {},
       ""},
      {"SubreaperThatOtherApplicationsDescendFrom",
       {{1, 0, "init"}, {60, 1, "reaper"}, {61, 60, "firefox", {}, firefox}},
       60,
       0,
       {},
       ""},
      {"InitOfAPidNamespace",
       {{1, 0, "init"}, {70, 1, "bwrap", {}, "0::/\n", {70, 1}}},
       70,
       0,
       {},
       ""},
      {"HostInItsOwnUnit",
       {{100, 1, "notes", {}, hostUnit}, {101, 100, "notes-helper", {}, hostUnit}},
       100,
       100,
       {},
       "app-gnome-notes-42.scope"},
      {"ChildrenInTheHostsOwnUnitDoNotMakeItADesktop",
       {{100, 1, "notes", {}, hostUnit}, {101, 100, "notes-renderer", {}, hostUnit}},
       100,
       100,
       {},
       "app-gnome-notes-42.scope"},
      {"SessionScopeIsNoUnit",
       {{100, 1, "notes", {}, "0::/user.slice/session-2.scope\n"}},
       100,
       100,
       {},
       ""},
      {"TerminalsUnitIsNoUnit",
       {{100, 1, "notes", {}, kApps + "app-gnome-org.gnome.Terminal-3.scope\n"}},
       100,
       100,
       {},
       ""},
      {"FlatpakUnit",
       {{100, 1, "zoom", {}, kApps + "app-flatpak-us.zoom.Zoom-81.scope\n"}},
       100,
       100,
       {},
       "app-flatpak-us.zoom.Zoom-81.scope"},
      {"SnapUnitOnCgroupV1",
       {{100, 1, "slack", {}, "1:name=systemd:/user.slice/snap.slack.slack-1.scope\n0::/\n"}},
       100,
       100,
       {},
       "snap.slack.slack-1.scope"},
      {"WithoutARootHarkwellsOwnUnitServes",
       {{1, 0, "init"}, {900, 1, "Harkwell", {}, hostUnit}},
       1,
       0,
       {},
       "app-gnome-notes-42.scope"},
  };
}

class HostTest : public ::testing::TestWithParam<HostCase> {};

TEST_P(HostTest, FindsTheApplication) {
  const HostCase& c = GetParam();
  ProcTree tree;
  bool hasSelf = false;
  for (const auto& p : c.processes) {
    tree.add(p);
    hasSelf = hasSelf || p.pid == 900;
  }
  if (!hasSelf) tree.add({900, c.parent, "Harkwell"});
  const Host h = identifyHost(c.parent, 900, tree.root());
  EXPECT_EQ(h.root, c.root);
  EXPECT_EQ(h.launchers, c.launchers);
  EXPECT_EQ(h.unit ? h.unit->name : "", c.unit);
  if (c.root == 0) {
    EXPECT_NE(h.notHostReason, "");
    EXPECT_NE(describe(h).find("no process tree"), std::string::npos) << describe(h);
  } else {
    EXPECT_NE(describe(h).find("PID " + std::to_string(c.root)), std::string::npos) << describe(h);
  }
}

INSTANTIATE_TEST_SUITE_P(Trees, HostTest, ::testing::ValuesIn(hostCases()),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(HostProcesses, DescendantsAndTheUnitAreTheHostsAndNothingElse) {
  ProcTree tree;
  const std::string unit = kApps + "app-gnome-notes-42.scope\n";
  tree.add({1, 0, "init"});
  tree.add({100, 1, "notes", {}, unit});
  tree.add({110, 100, "notes) S 1 (x", {}, unit});  // a name that looks like stat fields
  tree.add({120, 110, "paplay"});                   // moved out of the unit, still a child
  tree.add({130, 1, "notes-player", {}, unit});     // a sibling, re-parented to PID 1
  tree.add({131, 1, "player", {}, unit + "/sub"});  // a cgroup below the unit
  tree.add({140, 1, "firefox", {}, kApps + "app-gnome-firefox-7.scope\n"});
  tree.add({150, 1, "mpv", {}, kApps + "app-gnome-notes-420.scope\n"});  // a longer name
  tree.add({900, 100, "Harkwell", {}, unit});
  const Host h = identifyHost(100, 900, tree.root());
  ASSERT_EQ(h.root, 100);
  for (pid_t pid : {100, 110, 120, 130, 131, 900})
    EXPECT_TRUE(isHostProcess(h, pid, tree.root())) << pid;
  for (pid_t pid : {1, 140, 150, 999, 0, -1})
    EXPECT_FALSE(isHostProcess(h, pid, tree.root())) << pid;

  // With no root and no unit nothing is the host's: system audio is never silenced wholesale.
  const Host none = identifyHost(1, 999, tree.root());
  for (pid_t pid : {1, 100, 140}) EXPECT_FALSE(isHostProcess(none, pid, tree.root())) << pid;
}

struct PidCase {
  const char* name;
  ClientClaims claims;
  bool securePidsAreLocal;
  pid_t expected;
};

TEST(TrustedPid, TakesWhatTheKernelOrProcVouchesFor) {
  ProcTree tree;
  tree.add({1, 0, "init"});
  tree.add({2, 0, "kthreadd"});
  tree.add({10, 1, "pipewire"});
  tree.add({11, 1, "pipewire-pulse"});
  tree.add({500, 1, "pw-play"});
  tree.add({600, 1, "paplay"});
  tree.add({610, 1, "soffice.bin", {"/usr/lib/libreoffice/program/soffice.bin"}});
  tree.add({700, 1, "paplay", {}, "0::/\n", {700, 1}});  // unshare --pid paplay
  tree.add({800, 1, "zoom", {}, kApps + "app-flatpak-us.zoom.Zoom-1.scope\n", {800, 2}});
  tree.add({801, 1, "bwrap", {}, kApps + "app-flatpak-us.zoom.Zoom-1.scope\n", {801, 1}});
  tree.add({810, 1, "aplay", {}, "0::/\n", {810, 3}});
  tree.add({811, 1, "aplay", {}, "0::/\n", {811, 3}});
  tree.add({20, 1, "notes"});  // pid 20 in Harkwell's own namespace

  const std::vector<PidCase> cases = {
      {"native client", {500, 500, "pw-play", "", ""}, true, 500},
      {"native client whose claim is wrong", {500, 4242, "pw-play", "", ""}, true, 500},
      {"pulse client", {11, 600, "paplay", "pipewire-pulse", ""}, true, 600},
      {"pulse client named by argv", {11, 610, "soffice.bin", "pipewire-pulse", ""}, true, 610},
      {"client of a server module", {10, 600, "paplay", "", ""}, true, 600},
      {"pulse client lying about its process", {11, 600, "zoom", "pipewire-pulse", ""}, true, 0},
      {"pulse client without a binary", {11, 600, "", "pipewire-pulse", ""}, true, 0},
      {"pulse client in a PID namespace", {11, 1, "paplay", "pipewire-pulse", ""}, true, 700},
      {"Flatpak client by its app id", {11, 2, "", "pipewire-pulse", "us.zoom.Zoom"}, true, 800},
      {"two sandboxes with the same claim", {11, 3, "aplay", "pipewire-pulse", ""}, true, 0},
      {"claimed process gone", {11, 4242, "paplay", "pipewire-pulse", ""}, true, 0},
      {"server PIDs of another namespace", {5000, 20, "notes", "", ""}, false, 20},
      {"nothing said", {}, true, 0},
  };
  for (const PidCase& c : cases)
    EXPECT_EQ(trustedPid(c.claims, c.securePidsAreLocal, tree.root()), c.expected) << c.name;
}

}  // namespace
}  // namespace platform::host
