// SPDX-License-Identifier: MIT
// Writing a whole buffer to a file descriptor.
#pragma once

#include <sys/uio.h>

#include <cstddef>

namespace harkwell::detail {

// Hands all `size` bytes to `fd`, retrying after short writes and EINTR, and waiting while a
// non-blocking descriptor is full. 0 once every byte is
// written, otherwise the errno of the write that failed.
int writeAll(int fd, const void* data, std::size_t size);

// The same for `count` pieces written in order as one run of bytes (one write request when the
// descriptor takes them all). `parts` is used up: its entries are advanced past what was written.
int writeAll(int fd, iovec* parts, int count);

}  // namespace harkwell::detail
