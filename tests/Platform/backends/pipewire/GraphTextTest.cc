// SPDX-License-Identifier: MIT
// Reading the default-node values of PipeWire's "default" metadata.
#include <gtest/gtest.h>

#include "Platform/backends/pipewire/Graph.h"

namespace platform::pw {
namespace {

TEST(DefaultNodeNameTest, ReadsTheNameOfEachValueShape) {
  const struct {
    const char* json;
    const char* name;
  } kCases[] = {
      {R"({"name":"alsa_output.pci-0000_00_1f.3.analog-stereo"})",
       "alsa_output.pci-0000_00_1f.3.analog-stereo"},
      {R"({ "name" : "harkwell-test-mic" })", "harkwell-test-mic"},
      {R"({"name":"with \"quote\""})", "with \"quote\""},
      {R"({"other":"x"})", ""},
      {R"({"name":)", ""},
      {R"({"name":"unterminated)", ""},
      {"", ""},
      {nullptr, ""},
  };
  for (const auto& c : kCases)
    EXPECT_EQ(defaultNodeName(c.json), c.name) << (c.json != nullptr ? c.json : "(null)");
}

}  // namespace
}  // namespace platform::pw
