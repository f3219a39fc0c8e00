// SPDX-License-Identifier: MIT
// harkwell-record --inspect on any saved stream: it ends with a verdict (never a crash, a hang
// or unbounded memory) and writes valid files or says why not.
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "Options.h"
#include "Run.h"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const fs::path dir = [] {
    std::string pattern = (fs::temp_directory_path() / "hkw-fuzz-inspect-XXXXXX").string();
    return fs::path(::mkdtemp(pattern.data()));
  }();
  static std::ostringstream discard;
  std::cout.rdbuf(discard.rdbuf());  // the summary of each run
  discard.str({});
  std::ofstream(dir / "stream.bin", std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  harkwell::record::Options options;
  options.inspectFile = (dir / "stream.bin").string();
  options.outDir = (dir / "out").string();
  fs::remove_all(dir / "out");  // an earlier run's recording is never written over
  const int status = harkwell::record::runInspect(options);
  if (status != harkwell::record::kExitOk && status != harkwell::record::kExitBadStream) abort();
  return 0;
}
