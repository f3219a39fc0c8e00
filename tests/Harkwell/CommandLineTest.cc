// SPDX-License-Identifier: MIT
// parseArgs and the pid grammar, called directly.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FdCapture.h"
#include "Harkwell/CommandLine.h"

namespace harkwell {
namespace {

TEST(PidValue, Grammar) {
  struct Case {
    std::string text;
    std::optional<std::int32_t> value;
  };
  const std::vector<Case> cases = {
      {"0", 0},
      {"5", 5},
      {"+42", 42},
      {"007", 7},
      {"-0", 0},
      {"-1", -1},
      {"2147483647", 2147483647},
      {"-2147483648", -2147483647 - 1},
      {"+0002147483647", 2147483647},
      {"000000000000000000000001", 1},
      {"2147483648", std::nullopt},
      {"-2147483649", std::nullopt},
      {"99999999999999999999", std::nullopt},
      {"", std::nullopt},
      {"+", std::nullopt},
      {"-", std::nullopt},
      {"+-1", std::nullopt},
      {"--1", std::nullopt},
      {"++1", std::nullopt},
      {"abc", std::nullopt},
      {"12x", std::nullopt},
      {" 5", std::nullopt},
      {"5 ", std::nullopt},
      {"5\n", std::nullopt},
      {"1_000", std::nullopt},
      {"0x10", std::nullopt},
      {"1e3", std::nullopt},
      {"1.0", std::nullopt},
      {"\xD9\xA3", std::nullopt},  // ARABIC-INDIC DIGIT THREE is not an ASCII digit
      {std::string("1\0", 2), std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(parsePidValue(c.text), c.value) << "'" << c.text << "'";
}

struct Parsed {
  CLIArgs args;
  std::string err;
};

Parsed parse(const std::vector<std::string>& tail) {
  std::vector<std::string> argv;
  argv.reserve(tail.size() + 1);
  argv.emplace_back("/usr/bin/Harkwell");
  for (const std::string& a : tail) argv.push_back(a);
  Parsed p;
  p.err = test::captureFd(2, [&] { p.args = parseArgs(argv); });
  return p;
}

TEST(ParseArgs, Table) {
  struct Case {
    std::vector<std::string> argv;
    std::optional<std::int32_t> pid;
    std::optional<std::string> bundle;
    bool list;
    bool help;
    std::string err;
  };
  const std::vector<Case> cases = {
      {{}, std::nullopt, std::nullopt, false, false, ""},
      {{"--target-pid"}, std::nullopt, std::nullopt, false, false, ""},
      {{"--target-pid", "-5"}, -5, std::nullopt, false, false, ""},
      {{"--target-pid", "12", "--target-pid", "x"}, 12, std::nullopt, false, false, ""},
      {{"--target-pid", "12", "--target-pid", "13"}, 13, std::nullopt, false, false, ""},
      {{"--target-pid", "12", "--target-pid"}, 12, std::nullopt, false, false, ""},
      {{"--target-pid", "--list-processes"}, std::nullopt, std::nullopt, false, false, ""},
      {{"--target-pid", "-h"}, std::nullopt, std::nullopt, false, false, ""},
      {{"--target-bundle", ""}, std::nullopt, "", false, false, ""},
      {{"--target-bundle", "--help"}, std::nullopt, "--help", false, false, ""},
      {{"--target-bundle", "a", "--target-bundle", "b"}, std::nullopt, "b", false, false, ""},
      {{"--target-bundle"}, std::nullopt, std::nullopt, false, false, ""},
      {{"--list-processes", "--list-processes", "-h", "--help"},
       std::nullopt,
       std::nullopt,
       true,
       true,
       ""},
      {{"--target-pid=5", "-H", "--HELP", "-help", "", "-hl", "--list"},
       std::nullopt,
       std::nullopt,
       false,
       false,
       "[velto][ERROR] unknown arg: --target-pid=5\n[velto][ERROR] unknown arg: -H\n"
       "[velto][ERROR] unknown arg: --HELP\n[velto][ERROR] unknown arg: -help\n"
       "[velto][ERROR] unknown arg: \n[velto][ERROR] unknown arg: -hl\n"
       "[velto][ERROR] unknown arg: --list\n"},
      {{"5", "--target-pid", "6"},
       6,
       std::nullopt,
       false,
       false,
       "[velto][ERROR] unknown arg: 5\n"},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (const auto& a : c.argv) joined += "[" + a + "]";
    const Parsed p = parse(c.argv);
    EXPECT_EQ(p.args.targetPID, c.pid) << joined;
    EXPECT_EQ(p.args.targetBundle, c.bundle) << joined;
    EXPECT_EQ(p.args.listProcesses, c.list) << joined;
    EXPECT_EQ(p.args.showHelp, c.help) << joined;
    EXPECT_EQ(p.err, c.err) << joined;
  }
}

TEST(ParseArgs, ProgramPathIsNeverLooked) {
  const Parsed p = [] {
    Parsed r;
    r.err = test::captureFd(2, [&] { r.args = parseArgs({"--help"}); });
    return r;
  }();
  EXPECT_FALSE(p.args.showHelp);
  EXPECT_EQ(p.err, "");
  EXPECT_FALSE(parseArgs({}).showHelp);
}

}  // namespace
}  // namespace harkwell
