// SPDX-License-Identifier: MIT
#include "LiveMeter.h"

#include <unistd.h>

#include <cerrno>
#include <string>

#include "Summary.h"

namespace harkwell::record {

void writeText(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

void LiveMeter::refresh(double elapsed, SourceStats& mic, SourceStats& system) {
  elapsed_ = elapsed;
  micWindow_ = mic.takeWindow();
  systemWindow_ = system.takeWindow();
  micFrames_ = mic.frames();
  systemFrames_ = system.frames();
  if (enabled_) draw();
}

void LiveMeter::draw() {
  std::string out;
  if (shown_) out += "\x1b[2A";  // back to the first meter line
  out += "\r\x1b[2K" + formatMeterLine("mic", elapsed_, micWindow_, micFrames_) + "\n";
  out += "\r\x1b[2K" + formatMeterLine("system", elapsed_, systemWindow_, systemFrames_) + "\n";
  writeText(STDERR_FILENO, out);
  shown_ = true;
}

void LiveMeter::clear() {
  if (!shown_) return;
  writeText(STDERR_FILENO, "\x1b[2A\r\x1b[J");  // up two lines, erase to the end of the screen
  shown_ = false;
}

void LiveMeter::print(std::string_view text) {
  if (text.empty()) return;
  const bool wasShown = shown_;
  clear();
  writeText(STDERR_FILENO, text);
  if (wasShown) {
    if (text.back() != '\n') writeText(STDERR_FILENO, "\n");
    draw();
  }
}

}  // namespace harkwell::record
