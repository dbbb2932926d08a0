#include "util/unique_fd.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace pixelmote::util {
namespace {

bool isOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

TEST(UniqueFdTest, ClosesExactlyOnceWhateverPathOwnershipTakes) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const int readEnd = fds[0];
  {
    UniqueFd a(readEnd);
    UniqueFd b(std::move(a));
    EXPECT_FALSE(a);
    EXPECT_EQ(b.get(), readEnd);
    UniqueFd c;
    c = std::move(b);
    EXPECT_TRUE(isOpen(readEnd));
  }
  EXPECT_FALSE(isOpen(readEnd));

  UniqueFd writer(fds[1]);
  const int released = writer.release();
  EXPECT_FALSE(writer);
  writer.reset();
  EXPECT_TRUE(isOpen(released));  // released: ours to close
  ::close(released);
}

// A writer that hands its bytes over in small pieces, as pipes, sockets and
// slow file systems do: a single read would see only the first piece.
TEST(ReadFullyTest, GathersShortReadsUntilTheSizeOrTheEnd) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  UniqueFd in(fds[0]);
  const std::string text = "0123456789abcdefghij";
  std::thread writer([fd = fds[1], &text] {
    for (std::size_t at = 0; at < text.size(); at += 3) {
      (void)!::write(fd, text.data() + at, std::min<std::size_t>(3, text.size() - at));
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ::close(fd);
  });
  char first[7];
  EXPECT_EQ(readFully(in.get(), first, sizeof first), 7);
  EXPECT_EQ(std::string(first, 7), "0123456");
  std::vector<std::uint8_t> rest{'x'};
  EXPECT_TRUE(readOn(in.get(), rest, 100));  // ends early: what is there
  writer.join();
  EXPECT_EQ(std::string(rest.begin(), rest.end()), "x789abcdefghij");
}

TEST(ReadFullyTest, ReadsAtAnOffsetWithoutMovingAndFailsOnABadDescriptor) {
  char path[] = "/tmp/pixelmote-readfully-XXXXXX";
  UniqueFd fd(::mkstemp(path));
  ASSERT_TRUE(fd);
  ::unlink(path);
  ASSERT_EQ(::write(fd.get(), "head-and-tail", 13), 13);
  char tail[8] = {};
  EXPECT_EQ(readFully(fd.get(), tail, 4, 9), 4);
  EXPECT_EQ(std::string(tail, 4), "tail");
  EXPECT_EQ(readFully(fd.get(), tail, sizeof tail, 20), 0);  // past the end
  EXPECT_EQ(readFully(-1, tail, sizeof tail), -1);
  std::vector<std::uint8_t> kept{'k'};
  EXPECT_FALSE(readOn(-1, kept, 10));
  EXPECT_EQ(kept.size(), 1u);
}

}  // namespace
}  // namespace pixelmote::util
