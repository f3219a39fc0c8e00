// SPDX-License-Identifier: MIT
// Error values and random UUIDs.
#include "Platform/foundation/Foundation.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace platform {

NSError::NSError(std::string domain, std::int64_t code, harkwell::Value::Object userInfo)
    : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo)) {
  what_ = localizedDescription();
}

std::string NSError::localizedDescription() const {
  for (const auto& [key, value] : userInfo_)
    if (key == NSLocalizedDescriptionKey && value.isString()) return value.asString();
  return "The operation couldn\xE2\x80\x99t be completed. (" + domain_ + " error " +
         std::to_string(code_) + ".)";
}

const char* NSError::what() const noexcept {
  return what_.c_str();
}

namespace {

// Fills `buffer` from the kernel's random source; the program cannot make a UUID without it.
void fillRandom(std::uint8_t* buffer, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::getrandom(buffer, size, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      std::abort();  // only on kernels without getrandom(2), which this program does not support
    }
    buffer += n;
    size -= static_cast<std::size_t>(n);
  }
}

}  // namespace

NSUUID::NSUUID() : bytes_{} {
  fillRandom(bytes_.data(), bytes_.size());
  bytes_[6] = static_cast<std::uint8_t>((bytes_[6] & 0x0F) | 0x40);  // version 4
  bytes_[8] = static_cast<std::uint8_t>((bytes_[8] & 0x3F) | 0x80);  // RFC 4122 variant
}

std::string NSUUID::UUIDString() const {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(36);
  for (std::size_t i = 0; i < bytes_.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(kHex[bytes_[i] >> 4]);
    text.push_back(kHex[bytes_[i] & 0x0F]);
  }
  return text;
}

}  // namespace platform
