#include "util/file_io.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "testsupport/temp_tree.h"
#include "util/temp_files.h"
#include "util/unique_fd.h"

namespace pixelmote::util {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

// The seam takes plain function pointers, so the fakes keep their state here.
std::vector<std::string> g_calls;  // the name opened, then "fsync" and "rename" in order
int g_writeCalls = 0;

template <int error>
int fails() {
  errno = error;
  return -1;
}
// Writes a few bytes, then fails: the temporary file holds a part of the data.
ssize_t writeFailsAfterAFewBytes(int fd, const void* buf, size_t count) {
  if (++g_writeCalls == 1) return posixFileSystemOps().write(fd, buf, std::min<size_t>(count, 4));
  return fails<EIO>();
}
// At most three bytes a call, and interrupted before the first.
ssize_t writeShortAndInterrupted(int fd, const void* buf, size_t count) {
  if (++g_writeCalls == 1) return fails<EINTR>();
  return posixFileSystemOps().write(fd, buf, std::min<size_t>(count, 3));
}

std::vector<std::string> entries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

const std::string kBinary = "line 1\r\nline 2\n\0\x01\x7F\x80\xFF end"s;

TEST(FileIo, WritesExactlyTheBytesGivenUnderAHiddenNameOfThisProcess) {
  testing::TempTree tree;
  const std::string longest(255, 'n');  // the temporary name leaves room for the longest name
  const std::string path = tree.fileWith(longest, std::string(5000, 'o'));
  std::string big(300000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 % 256);
  const struct {
    std::string data;
    Durability durability;
    bool shortWrites;  // short and interrupted writes are continued
  } cases[] = {
      {"short", Durability::Normal, false}, {"", Durability::Normal, false},  {kBinary, Durability::Synced, false},
      {kBinary, Durability::Normal, true},  {big, Durability::Normal, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.data.substr(0, 10));
    g_calls.clear();
    g_writeCalls = 0;
    FileSystemOps ops = posixFileSystemOps();
    ops.open = [](const char* path, int flags, mode_t mode) {
      g_calls.push_back(fs::path(path).filename().string());
      return posixFileSystemOps().open(path, flags, mode);
    };
    ops.fsync = [](int fd) {
      g_calls.push_back("fsync");
      return posixFileSystemOps().fsync(fd);
    };
    ops.rename = [](const char* from, const char* to) {
      g_calls.push_back("rename");
      return posixFileSystemOps().rename(from, to);
    };
    if (c.shortWrites) ops.write = writeShortAndInterrupted;
    IoResult result;
    {
      ScopedFileSystemOps guard(ops);
      result = writeFileAtomically(path, c.data, c.durability);
    }
    ASSERT_TRUE(result.ok && result && result.error == 0) << result.message;
    EXPECT_EQ(tree.read(longest), c.data);
    EXPECT_EQ(entries(tree.root()), std::vector<std::string>{longest});
    EXPECT_EQ(g_writeCalls, c.shortWrites ? static_cast<int>(1 + (kBinary.size() + 2) / 3) : 0);
    // Synced: flushed before the rename; normal writes do not wait for the disk.
    ASSERT_EQ(g_calls.size(), c.durability == Durability::Synced ? 3u : 2u);
    EXPECT_EQ(g_calls[1], c.durability == Durability::Synced ? "fsync" : "rename");
    const auto parsed = parseTemporaryName(g_calls[0]);
    EXPECT_TRUE(parsed && parsed->kind == TemporaryKind::AtomicWrite && parsed->owner == currentProcessTag())
        << g_calls[0];
  }

  // New files get the mode less the umask.
  const mode_t previous = ::umask(077);
  const bool written = writeFileAtomically(tree.path("b.html"), "b").ok;
  ::umask(previous);
  ASSERT_TRUE(written);
  struct stat st {};
  ASSERT_EQ(::stat(tree.path("b.html").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST(FileIo, AFailingStepKeepsTheOldFileOrMakesNoneAndLeavesNoTemporaryFile) {
  const struct {
    void (*install)(FileSystemOps&);
    Durability durability;
    int error;
    const char* action;  // the words the message must hold
  } faults[] = {
      {[](FileSystemOps& o) { o.open = [](const char*, int, mode_t) { return fails<EACCES>(); }; }, Durability::Normal,
       EACCES, "cannot create"},
      {[](FileSystemOps& o) { o.write = [](int, const void*, size_t) -> ssize_t { return fails<ENOSPC>(); }; },
       Durability::Normal, ENOSPC, "cannot write"},
      {[](FileSystemOps& o) { o.write = [](int, const void*, size_t) -> ssize_t { return 0; }; }, Durability::Normal,
       ENOSPC, "cannot write"},
      {[](FileSystemOps& o) { o.write = writeFailsAfterAFewBytes; }, Durability::Normal, EIO, "cannot write"},
      {[](FileSystemOps& o) { o.fsync = [](int) { return fails<EIO>(); }; }, Durability::Synced, EIO, "cannot flush"},
      {[](FileSystemOps& o) {
         o.close = [](int fd) {  // closes the descriptor (nothing leaks) but reports a failure, as NFS may
           posixFileSystemOps().close(fd);
           return fails<EIO>();
         };
       },
       Durability::Normal, EIO, "cannot close"},
      {[](FileSystemOps& o) { o.rename = [](const char*, const char*) { return fails<EXDEV>(); }; }, Durability::Normal,
       EXDEV, "cannot rename"},
  };
  testing::TempTree tree;
  const std::string before = "<html>old page</html>\r\n";
  const std::string path = tree.path("index.html");
  for (const bool existed : {true, false}) {
    for (const auto& fault : faults) {
      SCOPED_TRACE(std::string(fault.action) + (existed ? " over an old file" : " of a new file"));
      existed ? (void)tree.fileWith("index.html", before) : (void)fs::remove(path);
      g_writeCalls = 0;
      FileSystemOps ops = posixFileSystemOps();
      fault.install(ops);
      IoResult result;
      {
        ScopedFileSystemOps guard(ops);
        result = writeFileAtomically(path, kBinary + std::string(100, 'n'), fault.durability);
      }
      EXPECT_EQ(fileSystemOps().open, posixFileSystemOps().open) << "the guard puts the calls back";
      EXPECT_FALSE(result.ok || result);
      EXPECT_EQ(result.error, fault.error);
      EXPECT_NE(result.message.find(fault.action), std::string::npos) << result.message;
      EXPECT_NE(result.message.find(path), std::string::npos) << result.message;
      EXPECT_EQ(entries(tree.root()), existed ? std::vector<std::string>{"index.html"} : std::vector<std::string>{});
      EXPECT_EQ(tree.read("index.html"), existed ? before : "");
    }
  }

  // Without injected faults: a missing folder; a folder where the file should go.
  const std::string missing = tree.path("gone/index.html");
  IoResult result = writeFileAtomically(missing, "page");
  EXPECT_EQ(result.error, ENOENT);
  EXPECT_NE(result.message.find(missing), std::string::npos) << result.message;
  tree.file("index.html/keep.jpg", 3);  // the loop ended with no file there
  result = writeFileAtomically(path, "page");
  EXPECT_NE(result.message.find("cannot rename onto " + path), std::string::npos) << result.message;
  EXPECT_EQ(entries(tree.root()), std::vector<std::string>{"index.html"});

  // Deleting: a file goes; a missing file or a folder is an error that names them.
  EXPECT_TRUE(removeFile(tree.file("t_a.jpg", 3)).ok);
  EXPECT_FALSE(tree.exists("t_a.jpg"));
  EXPECT_EQ(removeFile(missing).message, "cannot delete " + missing + ": " + std::strerror(ENOENT));
  EXPECT_EQ(removeFile(path).message, "cannot delete " + path + ": " + std::strerror(EISDIR));
  EXPECT_TRUE(tree.exists("index.html/keep.jpg"));
}

// Reads gather the pieces a slow writer hands over, as pipes and slow file
// systems do, and read at an offset without moving.
TEST(ReadFully, GathersShortReadsReadsAtAnOffsetAndFailsOnABadDescriptor) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  UniqueFd in(fds[0]);
  std::thread slow([fd = fds[1]] {
    for (const char* piece : {"012", "345", "678", "9ab"}) {
      (void)!::write(fd, piece, 3);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ::close(fd);
  });
  char first[7];
  EXPECT_EQ(readFully(in.get(), first, sizeof first), 7);
  std::vector<std::uint8_t> rest{'x'};
  EXPECT_TRUE(readOn(in.get(), rest, 100));  // ends early: what is there
  slow.join();
  EXPECT_EQ(std::string(first, 7) + std::string(rest.begin(), rest.end()), "0123456x789ab");

  testing::TempTree tree;
  const UniqueFd file = openForReading(tree.fileWith("f", "head-and-tail"));
  char tail[8] = {};
  EXPECT_EQ(readFully(file.get(), tail, 4, 9), 4);
  EXPECT_EQ(readFully(file.get(), tail + 4, 4), 4);
  EXPECT_EQ(std::string(tail, 8), "tailhead");
  EXPECT_EQ(readFully(file.get(), tail, sizeof tail, 20), 0);
  EXPECT_EQ(readFully(-1, tail, sizeof tail), -1);
  EXPECT_FALSE(readOn(-1, rest, 10));
  EXPECT_EQ(rest.size(), 6u);
}

}  // namespace
}  // namespace pixelmote::util
