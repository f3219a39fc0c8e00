// SPDX-License-Identifier: MIT
#include "FdWrite.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace harkwell::detail {

int writeAll(int fd, const void* data, std::size_t size) {
  const auto* p = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
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
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return 0;
}

}  // namespace harkwell::detail
