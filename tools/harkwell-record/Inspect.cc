// SPDX-License-Identifier: MIT
// --inspect: the same recording and summary from a saved stream instead of a live child.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <vector>

#include "HarkwellCore/FrameReader.h"
#include "LiveMeter.h"
#include "Recording.h"
#include "Run.h"
#include "Summary.h"

namespace harkwell::record {

int runInspect(const Options& options) {
  const std::string& file = options.inspectFile;
  const int fd = file == "-" ? STDIN_FILENO : ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    writeText(STDERR_FILENO,
              "harkwell-record: cannot open " + file + ": " + std::strerror(errno) + "\n");
    return kExitBadStream;
  }
  std::string error;
  const std::optional<std::string> dir = Recording::chooseFolder(options.outDir, error);
  if (!dir) {
    writeText(STDERR_FILENO, "harkwell-record: " + error + "\n");
    if (fd != STDIN_FILENO) ::close(fd);
    return kExitUsage;
  }
  Recording recording;
  if (!recording.open(*dir, error)) {
    writeText(STDERR_FILENO, "harkwell-record: " + error + "\n");
    if (fd != STDIN_FILENO) ::close(fd);
    return kExitBadStream;
  }

  int status = kExitOk;
  auto report = [&](const std::string& problem) {
    writeText(STDERR_FILENO, "harkwell-record: " + file + ": " + problem + "\n");
    status = kExitBadStream;
  };

  FrameReader reader;
  std::vector<std::uint8_t> chunk(64 * 1024);
  for (;;) {
    const ssize_t n = ::read(fd, chunk.data(), chunk.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      report(std::string("read failed: ") + std::strerror(errno));
      break;
    }
    if (n == 0) {
      reader.finish();
      break;
    }
    reader.feed(std::span(chunk.data(), static_cast<std::size_t>(n)));
    while (auto frame = reader.next())
      if (auto problem = recording.handle(*frame, std::nullopt)) report(*problem);
    if (reader.error()) break;
  }
  if (fd != STDIN_FILENO) ::close(fd);
  if (reader.error()) report(*reader.error());
  if (!recording.close()) report(recording.fileError());

  std::cout << "harkwell-record: decoded " << reader.decodedBytes() << " bytes of " << file
            << " into " << *dir << "\n"
            << formatSummary(recording) << std::flush;
  if (status == kExitOk && options.requireSound && !bothSourcesHaveSound(recording))
    return kExitNoSound;
  return status;
}

}  // namespace harkwell::record
