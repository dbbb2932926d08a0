#include "util/file_io.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "testsupport/temp_tree.h"
#include "util/temp_files.h"

namespace pixelmote::util {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

::testing::AssertionResult mentions(const std::string& message, const std::string& part) {
  if (message.find(part) != std::string::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "\"" << message << "\" does not mention \"" << part << "\"";
}

// --- fakes for the system calls ---------------------------------------------
// The seam takes plain function pointers, so the fakes keep their state here.

std::vector<std::string> g_calls;  // the calls made, in order
int g_writeCalls = 0;

int recordingOpen(const char* path, int flags, mode_t mode) {
  g_calls.push_back("open");
  return posixFileSystemOps().open(path, flags, mode);
}
ssize_t recordingWrite(int fd, const void* buf, size_t count) {
  g_calls.push_back("write");
  return posixFileSystemOps().write(fd, buf, count);
}
int recordingFsync(int fd) {
  g_calls.push_back("fsync");
  return posixFileSystemOps().fsync(fd);
}
int recordingClose(int fd) {
  g_calls.push_back("close");
  return posixFileSystemOps().close(fd);
}
int recordingRename(const char* from, const char* to) {
  g_calls.push_back("rename");
  return posixFileSystemOps().rename(from, to);
}

int openFails(const char*, int, mode_t) {
  errno = EACCES;
  return -1;
}
ssize_t writeFailsFull(int, const void*, size_t) {
  errno = ENOSPC;
  return -1;
}
ssize_t writeWritesNothing(int, const void*, size_t) { return 0; }
// Writes a few bytes, then fails: the temporary file holds a part of the data.
ssize_t writeFailsAfterAFewBytes(int fd, const void* buf, size_t count) {
  if (++g_writeCalls == 1) return posixFileSystemOps().write(fd, buf, std::min<size_t>(count, 4));
  errno = EIO;
  return -1;
}
// Writes at most three bytes per call.
ssize_t writeInSmallPieces(int fd, const void* buf, size_t count) {
  ++g_writeCalls;
  return posixFileSystemOps().write(fd, buf, std::min<size_t>(count, 3));
}
// Is interrupted once before it writes.
ssize_t writeInterruptedOnce(int fd, const void* buf, size_t count) {
  if (++g_writeCalls == 1) {
    errno = EINTR;
    return -1;
  }
  return posixFileSystemOps().write(fd, buf, count);
}
int fsyncFails(int) {
  errno = EIO;
  return -1;
}
// Closes the descriptor (nothing leaks) but reports a failure, as NFS may.
int closeFails(int fd) {
  posixFileSystemOps().close(fd);
  errno = EIO;
  return -1;
}
int renameFails(const char*, const char*) {
  errno = EXDEV;
  return -1;
}

class FileIoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_calls.clear();
    g_writeCalls = 0;
  }

  // The names in the test folder, sorted.
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(m_tree.root())) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  testing::TempTree m_tree;
};

const std::string kBinary = "line 1\r\nline 2\n\0\x01\x7F\x80\xFF end"s;

// --- success ----------------------------------------------------------------

TEST_F(FileIoTest, CreatesAFileWithExactlyTheBytesGiven) {
  const std::string path = m_tree.path("index.html");
  const IoResult result = writeFileAtomically(path, kBinary);
  ASSERT_TRUE(result.ok) << result.message;
  EXPECT_TRUE(static_cast<bool>(result));
  EXPECT_EQ(result.error, 0);
  EXPECT_EQ(m_tree.read("index.html"), kBinary);
  EXPECT_EQ(entries(), std::vector<std::string>{"index.html"});  // no temporary file left
}

TEST_F(FileIoTest, ReplacesAnExistingFileCompletely) {
  const std::string path = m_tree.fileWith("index.html", std::string(5000, 'o'));
  ASSERT_TRUE(writeFileAtomically(path, "short"));
  EXPECT_EQ(m_tree.read("index.html"), "short");  // nothing of the longer old file remains
  ASSERT_TRUE(writeFileAtomically(path, ""));
  EXPECT_TRUE(m_tree.exists("index.html"));
  EXPECT_EQ(m_tree.read("index.html"), "");
  ASSERT_TRUE(writeFileAtomically(path, kBinary, Durability::Synced));
  EXPECT_EQ(m_tree.read("index.html"), kBinary);
  EXPECT_EQ(entries(), std::vector<std::string>{"index.html"});
}

TEST_F(FileIoTest, WritesALargeFile) {
  std::string data;
  for (int i = 0; i < 300000; ++i) data += static_cast<char>(i * 7 % 256);
  const std::string path = m_tree.path("big.bin");
  ASSERT_TRUE(writeFileAtomically(path, data));
  EXPECT_EQ(m_tree.read("big.bin"), data);
}

TEST_F(FileIoTest, NewFilesGetTheModeLessTheUmask) {
  const mode_t previous = ::umask(022);
  const bool first = writeFileAtomically(m_tree.path("a.html"), "a").ok;
  ::umask(077);
  const bool second = writeFileAtomically(m_tree.path("b.html"), "b").ok;
  ::umask(previous);
  ASSERT_TRUE(first);
  ASSERT_TRUE(second);
  struct stat st {};
  ASSERT_EQ(::stat(m_tree.path("a.html").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  ASSERT_EQ(::stat(m_tree.path("b.html").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(FileIoTest, SyncedWritesFlushBeforeTheRename) {
  FileSystemOps ops = posixFileSystemOps();
  ops.open = recordingOpen;
  ops.write = recordingWrite;
  ops.fsync = recordingFsync;
  ops.close = recordingClose;
  ops.rename = recordingRename;
  ScopedFileSystemOps guard(ops);

  ASSERT_TRUE(writeFileAtomically(m_tree.path("a.ini"), "data", Durability::Synced));
  EXPECT_EQ(g_calls, (std::vector<std::string>{"open", "write", "fsync", "close", "rename"}));

  g_calls.clear();
  ASSERT_TRUE(writeFileAtomically(m_tree.path("b.html"), "data"));
  EXPECT_EQ(g_calls, (std::vector<std::string>{"open", "write", "close", "rename"}));
}

TEST_F(FileIoTest, NormalWritesDoNotWaitForTheDisk) {
  FileSystemOps ops = posixFileSystemOps();
  ops.fsync = fsyncFails;
  ScopedFileSystemOps guard(ops);
  ASSERT_TRUE(writeFileAtomically(m_tree.path("index.html"), "page"));
  EXPECT_EQ(m_tree.read("index.html"), "page");
}

TEST_F(FileIoTest, ShortAndInterruptedWritesAreContinued) {
  {
    FileSystemOps ops = posixFileSystemOps();
    ops.write = writeInSmallPieces;
    ScopedFileSystemOps guard(ops);
    ASSERT_TRUE(writeFileAtomically(m_tree.path("pieces.bin"), kBinary));
  }
  EXPECT_EQ(m_tree.read("pieces.bin"), kBinary);
  EXPECT_EQ(g_writeCalls, static_cast<int>((kBinary.size() + 2) / 3));

  g_writeCalls = 0;
  {
    FileSystemOps ops = posixFileSystemOps();
    ops.write = writeInterruptedOnce;
    ScopedFileSystemOps guard(ops);
    ASSERT_TRUE(writeFileAtomically(m_tree.path("interrupted.bin"), kBinary));
  }
  EXPECT_EQ(m_tree.read("interrupted.bin"), kBinary);
  EXPECT_EQ(g_writeCalls, 2);
}

// Records the names the write creates.
std::vector<std::string> g_created;
int namingOpen(const char* path, int flags, mode_t mode) {
  g_created.push_back(fs::path(path).filename().string());
  return posixFileSystemOps().open(path, flags, mode);
}

TEST_F(FileIoTest, TheTemporaryNameTellsItsProcessAndLeavesRoomForTheLongestName) {
  const long nameMax = ::pathconf(m_tree.root().c_str(), _PC_NAME_MAX);
  ASSERT_GE(nameMax, 255);
  const std::string longest(255, 'n');
  g_created.clear();
  {
    FileSystemOps ops = posixFileSystemOps();
    ops.open = namingOpen;
    ScopedFileSystemOps guard(ops);
    const IoResult result = writeFileAtomically(m_tree.path(longest), "page");
    ASSERT_TRUE(result.ok) << result.message;
  }
  EXPECT_EQ(m_tree.read(longest), "page");
  EXPECT_EQ(entries(), std::vector<std::string>{longest});
  // A run killed while writing leaves a hidden name a later run can tell
  // as the leftover of a process that has ended.
  ASSERT_EQ(g_created.size(), 1u);
  const auto parsed = parseTemporaryName(g_created[0]);
  ASSERT_TRUE(parsed.has_value()) << g_created[0];
  EXPECT_EQ(parsed->kind, TemporaryKind::AtomicWrite);
  EXPECT_EQ(parsed->owner, currentProcessTag());
  EXPECT_EQ(g_created[0][0], '.');
}

// --- failures ---------------------------------------------------------------

struct Fault {
  const char* step;
  void (*install)(FileSystemOps&);
  Durability durability;
  int error;
  const char* action;  // the words the message must hold
};

const Fault kFaults[] = {
    {"create", [](FileSystemOps& o) { o.open = openFails; }, Durability::Normal, EACCES, "cannot create"},
    {"write, disk full", [](FileSystemOps& o) { o.write = writeFailsFull; }, Durability::Normal, ENOSPC,
     "cannot write"},
    {"write returning 0", [](FileSystemOps& o) { o.write = writeWritesNothing; }, Durability::Normal, ENOSPC,
     "cannot write"},
    {"write failing halfway", [](FileSystemOps& o) { o.write = writeFailsAfterAFewBytes; }, Durability::Normal,
     EIO, "cannot write"},
    {"flush", [](FileSystemOps& o) { o.fsync = fsyncFails; }, Durability::Synced, EIO, "cannot flush"},
    {"close", [](FileSystemOps& o) { o.close = closeFails; }, Durability::Normal, EIO, "cannot close"},
    {"rename", [](FileSystemOps& o) { o.rename = renameFails; }, Durability::Normal, EXDEV, "cannot rename"},
};

TEST_F(FileIoTest, AFailingStepKeepsTheOldFileAndLeavesNoTemporaryFile) {
  const std::string before = "<html>old page</html>\r\n";
  const std::string path = m_tree.fileWith("index.html", before);
  for (const Fault& fault : kFaults) {
    SCOPED_TRACE(fault.step);
    g_writeCalls = 0;
    FileSystemOps ops = posixFileSystemOps();
    fault.install(ops);
    IoResult result;
    {
      ScopedFileSystemOps guard(ops);
      result = writeFileAtomically(path, kBinary + std::string(100, 'n'), fault.durability);
    }
    EXPECT_FALSE(result.ok);
    EXPECT_FALSE(static_cast<bool>(result));
    EXPECT_EQ(result.error, fault.error);
    EXPECT_TRUE(mentions(result.message, fault.action));
    EXPECT_TRUE(mentions(result.message, path));
    EXPECT_EQ(m_tree.read("index.html"), before);
    EXPECT_EQ(entries(), std::vector<std::string>{"index.html"});
  }
}

TEST_F(FileIoTest, AFailingStepCreatesNoFile) {
  const std::string path = m_tree.path("index.html");
  for (const Fault& fault : kFaults) {
    SCOPED_TRACE(fault.step);
    g_writeCalls = 0;
    FileSystemOps ops = posixFileSystemOps();
    fault.install(ops);
    IoResult result;
    {
      ScopedFileSystemOps guard(ops);
      result = writeFileAtomically(path, "new page", fault.durability);
    }
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(entries().empty());
  }
}

TEST_F(FileIoTest, FailsWithoutInjectedFaultsToo) {
  // A folder that does not exist.
  const std::string missing = m_tree.path("gone/index.html");
  IoResult result = writeFileAtomically(missing, "page");
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, ENOENT);
  EXPECT_TRUE(mentions(result.message, missing));
  EXPECT_FALSE(m_tree.exists("gone"));

  // A folder where the file should go: the rename fails, the folder stays.
  const std::string folder = m_tree.folder("index.html");
  m_tree.file("index.html/keep.jpg", 3);
  result = writeFileAtomically(folder, "page");
  EXPECT_FALSE(result.ok);
  EXPECT_TRUE(mentions(result.message, "cannot rename"));
  EXPECT_TRUE(mentions(result.message, folder));
  EXPECT_TRUE(fs::is_directory(folder));
  EXPECT_TRUE(m_tree.exists("index.html/keep.jpg"));
  EXPECT_EQ(entries(), std::vector<std::string>{"index.html"});
}

TEST_F(FileIoTest, TheGuardPutsBackTheOperationsBefore) {
  FileSystemOps failing = posixFileSystemOps();
  failing.open = openFails;
  {
    ScopedFileSystemOps outer(failing);
    EXPECT_EQ(fileSystemOps().open, &openFails);
    {
      ScopedFileSystemOps inner(posixFileSystemOps());
      EXPECT_TRUE(writeFileAtomically(m_tree.path("inner.html"), "x").ok);
    }
    EXPECT_FALSE(writeFileAtomically(m_tree.path("outer.html"), "x").ok);
  }
  EXPECT_EQ(fileSystemOps().open, posixFileSystemOps().open);
  EXPECT_TRUE(writeFileAtomically(m_tree.path("after.html"), "x").ok);
  EXPECT_EQ(entries(), (std::vector<std::string>{"after.html", "inner.html"}));
}

// --- deleting ---------------------------------------------------------------

TEST_F(FileIoTest, RemoveFileDeletesAFile) {
  const std::string path = m_tree.file("t_a.jpg", 10);
  m_tree.file("a.jpg", 10);
  const IoResult result = removeFile(path);
  EXPECT_TRUE(result.ok) << result.message;
  EXPECT_EQ(entries(), std::vector<std::string>{"a.jpg"});
}

TEST_F(FileIoTest, RemoveFileOfAMissingFileFails) {
  const std::string path = m_tree.path("gone.jpg");
  const IoResult result = removeFile(path);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, ENOENT);
  EXPECT_TRUE(mentions(result.message, "cannot delete"));
  EXPECT_TRUE(mentions(result.message, path));
}

TEST_F(FileIoTest, RemoveFileLeavesAFolderAlone) {
  const std::string folder = m_tree.folder("Night");
  const IoResult result = removeFile(folder);
  EXPECT_FALSE(result.ok);
  EXPECT_TRUE(mentions(result.message, folder));
  EXPECT_TRUE(fs::is_directory(folder));
}

}  // namespace
}  // namespace pixelmote::util
