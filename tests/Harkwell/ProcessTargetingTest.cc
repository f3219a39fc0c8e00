// SPDX-License-Identifier: MIT
// Which running applications are listed, and how the table is printed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Harkwell/ProcessTargeting.h"

namespace harkwell {
namespace {

using platform::RunningApplication;

std::string listing(const std::vector<RunningApplication>& running) {
  return ProcessTargeting::formatList(ProcessTargeting::candidates(running));
}

TEST(Listing, MatchingAndPrintingTable) {
  struct Case {
    const char* name;
    std::vector<RunningApplication> running;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"nothing running", {}, "(no known meeting apps currently running)\n"},
      {"only unknown or unidentified apps",
       {{10, "org.gnome.Terminal", "Terminal"}, {11, std::nullopt, "bash"}},
       "(no known meeting apps currently running)\n"},
      {"one with a display name",
       {{4242, "us.zoom.xos", "Zoom Workplace"}},
       "PID\tBUNDLE\tNAME\n4242\tus.zoom.xos\tZoom Workplace\n"},
      {"no display name shows the bundle identifier",
       {{7, "com.hnc.Discord", std::nullopt}},
       "PID\tBUNDLE\tNAME\n7\tcom.hnc.Discord\tcom.hnc.Discord\n"},
      {"teams and teams2 each under its own identifier",
       {{1, "com.microsoft.teams2", "Teams"}, {2, "com.microsoft.teams", "Teams classic"}},
       "PID\tBUNDLE\tNAME\n1\tcom.microsoft.teams2\tTeams\n2\tcom.microsoft.teams\tTeams "
       "classic\n"},
      {"prefix, extension and case differences are not matched",
       {{1, "com.google.Chrome.helper", "Helper"},
        {2, "com.google", "G"},
        {3, "US.ZOOM.XOS", "Zoom"},
        {4, "com.microsoft.Teams", "Teams"},
        {5, " us.zoom.xos", "Zoom"},
        {6, "", ""}},
       "(no known meeting apps currently running)\n"},
      {"duplicates keep platform order, unsorted",
       {{900, "com.google.Chrome", "Chrome"},
        {12, "com.apple.Music", "Music"},
        {300, "com.google.Chrome", "Chrome"}},
       "PID\tBUNDLE\tNAME\n900\tcom.google.Chrome\tChrome\n12\tcom.apple.Music\tMusic\n"
       "300\tcom.google.Chrome\tChrome\n"},
      {"tab and line feed inside a name are written verbatim",
       {{5, "com.tinyspeck.slackmacgap", "Sl\tack\nx"}},
       "PID\tBUNDLE\tNAME\n5\tcom.tinyspeck.slackmacgap\tSl\tack\nx\n"},
      {"empty display name is kept as given",
       {{5, "com.brave.Browser", ""}},
       "PID\tBUNDLE\tNAME\n5\tcom.brave.Browser\t\n"},
      {"negative and zero pids in plain decimal",
       {{-3, "com.apple.Safari", "Safari"}, {0, "com.apple.FaceTime", "FaceTime"}},
       "PID\tBUNDLE\tNAME\n-3\tcom.apple.Safari\tSafari\n0\tcom.apple.FaceTime\tFaceTime\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(listing(c.running), c.expected) << c.name;
}

TEST(Listing, EveryKnownIdentifierIsListed) {
  std::vector<RunningApplication> running;
  pid_t pid = 1;
  for (std::string_view id : ProcessTargeting::knownMeetingApps)
    running.push_back({pid++, std::string(id), std::nullopt});
  const auto targets = ProcessTargeting::candidates(running);
  ASSERT_EQ(targets.size(), 11u);
  for (std::size_t i = 0; i < targets.size(); ++i) {
    EXPECT_EQ(targets[i].pid, static_cast<std::int32_t>(i + 1));
    EXPECT_EQ(targets[i].bundleID, ProcessTargeting::knownMeetingApps[i]);
    EXPECT_EQ(targets[i].name, targets[i].bundleID);
  }
}

}  // namespace
}  // namespace harkwell
