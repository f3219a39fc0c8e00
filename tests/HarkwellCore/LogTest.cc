// SPDX-License-Identifier: MIT
// Diagnostic lines: exact bytes on fd 2, one line per call, nothing on fd 1.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "FdCapture.h"
#include "HarkwellCore/Protocol.h"

namespace harkwell {
namespace {

TEST(Log, LinesAreWrittenExactly) {
  struct Case {
    bool error;
    std::string message;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {false, "x", "[velto] x\n"},
      {true, "x", "[velto][ERROR] x\n"},
      {false, "", "[velto] \n"},
      // Line breaks from outside cannot forge a second line.
      {true, "two\nlines", "[velto][ERROR] two\\nlines\n"},
      {false, "unknown arg: x\r\n[velto] shutting down",
       "[velto] unknown arg: x\\r\\n[velto] shutting down\n"},
      {false, "targeting args ignored \xE2\x80\x94 capturing system audio",
       "[velto] targeting args ignored \xE2\x80\x94 capturing system audio\n"},
      {false, std::string("nul\0inside", 10), std::string("[velto] nul\0inside\n", 19)},
  };
  for (const Case& c : cases) {
    std::string err;
    const std::string out = test::captureFd(1, [&] {
      err = test::captureFd(2, [&] {
        if (c.error)
          Log::error(c.message);
        else
          Log::info(c.message);
      });
    });
    EXPECT_EQ(err, c.expected);
    EXPECT_EQ(out, "");
  }
}

TEST(Log, ClosedStandardErrorIsNotAFailure) {
  const auto result = test::runInChild([] {
    ::close(2);
    Log::error("nowhere to go");
    FrameWriter::write(FrameTag::control, std::vector<std::uint8_t>{'{', '}'});
  });
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.out, std::string("\x01\x00\x00\x00\x02{}", 7));
}

}  // namespace
}  // namespace harkwell
