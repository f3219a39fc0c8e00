// SPDX-License-Identifier: MIT
// Writing pieces as one run of bytes through a pipe that takes them a little at a time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "FdCapture.h"
#include "HarkwellCore/FdWrite.h"

namespace harkwell {
namespace {

struct PiecesCase {
  const char* name;
  std::vector<std::size_t> sizes;
};

class FdWritePieces : public ::testing::TestWithParam<PiecesCase> {};

// A non-blocking pipe of one page: every piece larger than that is cut, and cuts fall inside
// pieces and on their edges.
TEST_P(FdWritePieces, EveryByteArrivesInOrder) {
  std::vector<std::string> pieces;
  std::string expected;
  for (std::size_t i = 0; i < GetParam().sizes.size(); ++i) {
    std::string piece(GetParam().sizes[i], '\0');
    for (std::size_t j = 0; j < piece.size(); ++j)
      piece[j] = static_cast<char>('a' + (i * 7 + j) % 26);
    expected += piece;
    pieces.push_back(std::move(piece));
  }
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_NONBLOCK), 0);
  (void)::fcntl(fds[1], F_SETPIPE_SZ, 4096);
  ::fcntl(fds[0], F_SETFL, 0);  // the reader blocks
  std::string received;
  std::thread reader([&] { received = test::readAll(fds[0]); });
  std::vector<iovec> parts;
  for (auto& piece : pieces) parts.push_back({piece.data(), piece.size()});
  EXPECT_EQ(detail::writeAll(fds[1], parts.data(), static_cast<int>(parts.size())), 0);
  ::close(fds[1]);
  reader.join();
  ::close(fds[0]);
  EXPECT_EQ(received.size(), expected.size());
  EXPECT_TRUE(received == expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FdWritePieces,
    ::testing::Values(PiecesCase{"HeaderAndPayload", {5, 300000}},
                      PiecesCase{"EmptyPiecesAnywhere", {0, 5, 0, 70000, 0, 3, 0}},
                      PiecesCase{"ManySmallAfterLarge", {100000, 1, 1, 1, 4095, 4097}},
                      PiecesCase{"NothingAtAll", {0, 0}}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(FdWrite, ClosedReaderGivesTheWriteError) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);
  std::signal(SIGPIPE, SIG_IGN);
  char data[] = "abc";
  iovec parts[2] = {{data, 1}, {data + 1, 2}};
  EXPECT_EQ(detail::writeAll(fds[1], parts, 2), EPIPE);
  ::close(fds[1]);
}

}  // namespace
}  // namespace harkwell
