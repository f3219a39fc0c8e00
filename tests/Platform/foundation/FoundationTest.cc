// SPDX-License-Identifier: MIT
// NSError descriptions and random UUIDs.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/foundation/Foundation.h"

namespace platform {
namespace {

TEST(NSError, DescriptionComesFromUserInfoOrIsGeneric) {
  const std::string desc(NSLocalizedDescriptionKey);
  struct Case {
    NSError error;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {NSError("D", 1, {{"other", "x"}, {desc, "the reason"}}), "the reason"},
      {NSError("NSOSStatusErrorDomain", -10851, {}),
       "The operation couldn\xE2\x80\x99t be completed. (NSOSStatusErrorDomain error -10851.)"},
      {NSError("D", 2, {{desc, 5}}),
       "The operation couldn\xE2\x80\x99t be completed. (D error 2.)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.error.localizedDescription(), c.expected);
    EXPECT_STREQ(c.error.what(), c.expected.c_str());
  }
}

TEST(NSUUID, StringFormat) {
  const NSUUID fixed({0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc,
                      0xdd, 0xee, 0xff});
  EXPECT_EQ(fixed.UUIDString(), "00112233-4455-6677-8899-AABBCCDDEEFF");
}

TEST(NSUUID, RandomUUIDsAreVersionFourAndDistinct) {
  // xxxxxxxx-xxxx-4xxx-Vxxx-xxxxxxxxxxxx, x upper-case hexadecimal, V one of 8 9 A B
  auto isVersion4 = [](const std::string& s) {
    if (s.size() != 36 || s[14] != '4') return false;
    if (std::string_view("89AB").find(s[19]) == std::string_view::npos) return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
      const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
      const bool hex = (s[i] >= '0' && s[i] <= '9') || (s[i] >= 'A' && s[i] <= 'F');
      if (dash ? s[i] != '-' : !hex) return false;
    }
    return true;
  };
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    const std::string s = NSUUID().UUIDString();
    EXPECT_TRUE(isVersion4(s)) << s;
    seen.insert(s);
  }
  EXPECT_EQ(seen.size(), 200u);
}

}  // namespace
}  // namespace platform
