// SPDX-License-Identifier: MIT
#include "WavWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace harkwell::record {
namespace {

constexpr std::size_t kBufferLimit = 64 * 1024;
// The data size and the RIFF size must both fit in 32 bits.
constexpr std::uint64_t kMaxData = 0xFFFF'FFFFu - 36u - 1u;

void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void putTag(std::vector<std::uint8_t>& out, const char (&tag)[5]) {
  out.insert(out.end(), tag, tag + 4);
}

bool writeAllAt(int fd, const std::uint8_t* data, std::size_t size, off_t offset) {
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, data, size, offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
    offset += n;
  }
  return true;
}

}  // namespace

std::vector<std::uint8_t> wavHeader(std::uint64_t dataBytes) {
  const auto data = static_cast<std::uint32_t>(dataBytes > kMaxData ? kMaxData & ~1u : dataBytes);
  std::vector<std::uint8_t> h;
  h.reserve(WavWriter::kHeaderSize);
  putTag(h, "RIFF");
  put32(h, 36 + data);
  putTag(h, "WAVE");
  putTag(h, "fmt ");
  put32(h, 16);                          // fmt chunk size
  put16(h, 1);                           // PCM
  put16(h, 1);                           // one channel
  put32(h, WavWriter::kSampleRate);      // sample rate
  put32(h, WavWriter::kSampleRate * 2);  // byte rate
  put16(h, 2);                           // block align
  put16(h, 16);                          // bits per sample
  putTag(h, "data");
  put32(h, data);
  return h;
}

WavWriter::~WavWriter() {
  close();
}

bool WavWriter::open(const std::string& path, std::string& error) {
  close();
  path_ = path;
  error_.clear();
  dataBytes_ = 0;
  buffer_.clear();
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd_ < 0 || !updateHeader()) {
    fail("cannot create");
    error = error_;
    return false;
  }
  return true;
}

bool WavWriter::fail(const char* what) {
  if (error_.empty()) error_ = path_ + ": " + what + ": " + std::strerror(errno);
  return false;
}

bool WavWriter::append(std::span<const std::uint8_t> samples) {
  if (fd_ < 0) return false;
  buffer_.insert(buffer_.end(), samples.begin(), samples.end());
  if (buffer_.size() >= kBufferLimit) return flush();
  return true;
}

bool WavWriter::flush() {
  if (fd_ < 0) return false;
  if (buffer_.empty()) return true;
  if (!writeAllAt(fd_, buffer_.data(), buffer_.size(),
                  static_cast<off_t>(kHeaderSize + dataBytes_)))
    return fail("cannot write");
  dataBytes_ += buffer_.size();
  buffer_.clear();
  return true;
}

bool WavWriter::updateHeader() {
  if (fd_ < 0) return false;
  if (!flush()) return false;
  const std::vector<std::uint8_t> header = wavHeader(dataBytes_);
  if (!writeAllAt(fd_, header.data(), header.size(), 0)) return fail("cannot write");
  return true;
}

bool WavWriter::close() {
  if (fd_ < 0) return error_.empty();
  const bool ok = updateHeader();
  if (::close(fd_) != 0 && ok) fail("cannot close");
  fd_ = -1;
  return ok && error_.empty();
}

}  // namespace harkwell::record
