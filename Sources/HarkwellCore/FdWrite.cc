// SPDX-License-Identifier: MIT
#include "FdWrite.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace harkwell::detail {

int writeAll(int fd, const void* data, std::size_t size) {
  iovec part{const_cast<void*>(data), size};
  return writeAll(fd, &part, 1);
}

int writeAll(int fd, iovec* parts, int count) {
  // Empty pieces at the front are skipped, so that a finished write never asks for 0 bytes.
  const auto skipEmpty = [&] {
    while (count > 0 && parts->iov_len == 0) {
      ++parts;
      --count;
    }
  };
  skipEmpty();
  while (count > 0) {
    const ssize_t n = ::writev(fd, parts, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        // Someone made the descriptor non-blocking (the flag belongs to the open file, which a
        // parent may share): wait until it takes more, as a blocking write would.
        pollfd waitFor{fd, POLLOUT, 0};
        if (::poll(&waitFor, 1, -1) < 0 && errno != EINTR) return errno;
        continue;
      }
      return errno;
    }
    if (n == 0) return EIO;  // a write that makes no progress would loop for ever
    auto written = static_cast<std::size_t>(n);
    while (written > 0) {
      const std::size_t step = written < parts->iov_len ? written : parts->iov_len;
      parts->iov_base = static_cast<unsigned char*>(parts->iov_base) + step;
      parts->iov_len -= step;
      written -= step;
      if (parts->iov_len == 0) {
        ++parts;
        --count;
      }
    }
    skipEmpty();
  }
  return 0;
}

}  // namespace harkwell::detail
