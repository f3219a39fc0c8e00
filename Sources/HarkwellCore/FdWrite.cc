#include "FdWrite.h"

#include <unistd.h>

#include <cerrno>

namespace harkwell::detail {

int writeAll(int fd, const void* data, std::size_t size) {
  const auto* p = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;  // a write that makes no progress would loop for ever
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return 0;
}

}  // namespace harkwell::detail
