#include "util/file_io.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <limits>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "testsupport/temp_tree.h"
#include "util/file_bytes.h"
#include "util/temp_files.h"
#include "util/unique_fd.h"

namespace pixelmote::util {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

// The seam takes plain function pointers, so the fakes keep their state here.
std::vector<std::string> g_calls;  // the names opened, "fsync" and "rename", in order
int g_writeCalls = 0;

int recordingOpen(const char* path, int flags, mode_t mode) {
  g_calls.push_back(fs::path(path).filename().string());
  return posixFileSystemOps().open(path, flags, mode);
}
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
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

const std::string kBinary = "line 1\r\nline 2\n\0\x01\x7F\x80\xFF end"s;

// A limit is the largest size still read.
TEST(FileIo, ReadsAFileOfUpToTheLimitsBytes) {
  const testing::TempTree tree;
  const std::string path = tree.fileWith("five", "12345");
  for (const auto& [limit, read] : {std::pair{5u, true}, std::pair{4u, false}, std::pair{6u, true}}) {
    const auto bytes = readFileBytes(path, limit);
    EXPECT_EQ(bytes.ok(), read) << limit;
    if (bytes.ok()) {
      EXPECT_EQ(bytes.value().size(), 5u);
    }
  }
}

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
    ops.open = recordingOpen;
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

// --- temporary files: their names, the prefix probe, the leftovers of dead runs

constexpr TemporaryKind kKinds[] = {TemporaryKind::AtomicWrite, TemporaryKind::Bitmap, TemporaryKind::PrefixProbe};

// A PID no process can have: above the largest the kernel allows.
constexpr pid_t kFreePid = 4194304 + 1;

ProcessTag withPid(pid_t pid, std::uint64_t start) {
  ProcessTag tag = currentProcessTag();
  tag.pid = pid;
  tag.startTime = start;
  return tag;
}

TEST(TemporaryNames, WhatTheMakersWriteIsReadBackAndLookAlikesAreNotOurs) {
  const ProcessTag self = currentProcessTag();
  EXPECT_EQ(self.pid, ::getpid());
  EXPECT_NE(self.startTime, 0u) << "the start time is read from /proc/self/stat";
  const ProcessTag owners[] = {
      self, {0, 1, 0}, {0xFFFFFFFFu, std::numeric_limits<pid_t>::max(), std::numeric_limits<std::uint64_t>::max()}};
  for (const ProcessTag& owner : owners) {
    for (const std::uint32_t number : {0u, 10u, std::numeric_limits<std::uint32_t>::max()}) {
      for (const TemporaryKind kind : kKinds) {
        // Probe prefixes that hold the words and signs of the names themselves.
        for (const std::string prefix : {"", "temp1-2-0000000a-3", "\xc3\xa9 "}) {
          if (kind != TemporaryKind::PrefixProbe && !prefix.empty()) continue;
          const std::string name = temporaryFileName(kind, owner, number, prefix);
          const auto parsed = parseTemporaryName(name);
          EXPECT_TRUE(parsed && parsed->kind == kind && parsed->owner == owner && parsed->number == number) << name;
          EXPECT_EQ(name.rfind(prefix, 0), 0u) << name;
          EXPECT_EQ(name[0] == '.', kind == TemporaryKind::AtomicWrite) << "hidden beside the user's files";
        }
      }
    }
  }
  const std::string longest = temporaryFileName(TemporaryKind::PrefixProbe, owners[2], ~0u,
                                                std::string(kLongestProbedPrefix, 'p'));
  EXPECT_EQ(longest.size(), 255u) << "the longest usable prefix with the longest tag still makes a name";
  EXPECT_NE(temporaryFileName(TemporaryKind::AtomicWrite), temporaryFileName(TemporaryKind::AtomicWrite));

  const std::string tag = "12-345-0a1b2c3d-6";
  for (const std::string& name : {".pm" + tag + ".tmp", "temp" + tag + ".bmp", "t_temp" + tag + ".tmp"}) {
    EXPECT_TRUE(parseTemporaryName(name).has_value()) << name;
  }
  // Older shapes; fields too many, missing, signed, padded, out of range; other case; extra characters.
  const char* const kNotOurs[] = {
      "temp.bmp", "t_temp.tmp", ".pm.tmp", ".pm12-3.tmp", "temp12-3.bmp", ".pm12-345-6.tmp", ".pm12-345-0a1b2c3d-6-7.tmp",
      ".pm12--0a1b2c3d-6.tmp", ".pm+12-345-0a1b2c3d-6.tmp", ".pm012-345-0a1b2c3d-6.tmp", ".pm12-0345-0a1b2c3d-6.tmp",
      ".pm12-345-0a1b2c3d-06.tmp", ".pm12-345-0A1B2C3D-6.tmp", ".pm12-345-a1b2c3d-6.tmp", ".pm12-345-0a1b2c3g-6.tmp",
      ".pm0-345-0a1b2c3d-6.tmp", ".pm2147483648-345-0a1b2c3d-6.tmp", ".pm12-18446744073709551616-0a1b2c3d-6.tmp",
      ".pm12-345-0a1b2c3d-4294967296.tmp", "x.pm12-345-0a1b2c3d-6.tmp", ".pm12-345-0a1b2c3d-6.tmp~",
      ".PM12-345-0a1b2c3d-6.tmp", ".pm12-345-0a1b2c3d-6.bmp", "Temp12-345-0a1b2c3d-6.bmp", "xtemp12-345-0a1b2c3d-6.bmp",
      "temp12-345-0a1b2c3d-6 .bmp", "t_tamp12-345-0a1b2c3d-6.tmp", "t_temp12-345-0a1b2c3d-6_.tmp", ".pm12-345-0a1b2c3d-6",
  };
  for (const char* name : kNotOurs) EXPECT_FALSE(parseTemporaryName(name).has_value()) << name;
}

TEST(PrefixProbe, PassesAndFailsUnderNamesOfThisProcessAndLeavesNothing) {
  testing::TempTree tree;
  const ProcessTag self = currentProcessTag();
  // The first name tried is taken by a user's file: the probe moves on.
  const std::string taken = temporaryFileName(TemporaryKind::PrefixProbe, self, 0, "ab");
  tree.fileWith(taken, "keep");
  const struct {
    std::string folder, prefix;
    bool passes;
  } cases[] = {
      {tree.root(), "t_", true},          {tree.root(), "", true},
      {tree.root(), "ab", true},          {tree.root(), std::string(kLongestProbedPrefix, 'n'), true},
      {tree.root(), "a/b", false},        {tree.root(), std::string(kLongestProbedPrefix + 1, 'n'), false},
      {tree.path("missing"), "t_", false}, {tree.root(), std::string("a\0b", 3), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.prefix.substr(0, 20) + " in " + c.folder);
    g_calls.clear();
    FileSystemOps ops = posixFileSystemOps();
    ops.open = recordingOpen;
    ScopedFileSystemOps guard(ops);
    EXPECT_EQ(prefixProbePasses(c.folder, c.prefix), c.passes);
    for (const std::string& name : g_calls) {
      const auto parsed = parseTemporaryName(name);
      EXPECT_TRUE(parsed && parsed->kind == TemporaryKind::PrefixProbe && parsed->owner == self) << name;
      EXPECT_EQ(name.rfind(c.prefix, 0), 0u) << name;
    }
    EXPECT_TRUE(!c.passes || !g_calls.empty());
  }
  EXPECT_EQ(entries(tree.root()), std::vector<std::string>{taken}) << "no probe is left behind";
  EXPECT_EQ(tree.read(taken), "keep");
}

TEST(DeadLeftovers, JudgedByPidStartTimeAndSpace) {
  testing::TempTree tree;
  const ProcessTag self = currentProcessTag();
  const pid_t gone = kFreePid;
  ProcessTag otherSpace = withPid(gone, 5);
  otherSpace.space ^= 1;
  const struct {
    const char* what;
    ProcessTag owner;
    bool removed;
  } cases[] = {
      {"this process", self, false},
      {"this PID reused by a process started later", withPid(self.pid, self.startTime + 1), true},
      {"this PID reused by a process started earlier", withPid(self.pid, self.startTime - 1), true},
      {"a PID no process has", withPid(gone, 5), true},
      {"the parent, running", withPid(::getppid(), 0), false},
      {"no start time, PID running", withPid(self.pid, 0), false},
      {"no start time, PID free", withPid(gone, 0), true},
      {"another machine or namespace", otherSpace, false},
  };
  std::vector<std::string> stays = {"temp.bmp", "t_temp.tmp", ".pm12-3.tmp", "index.html"};  // a user's look-alikes
  for (const std::string& name : stays) tree.file(name);
  std::size_t expected = 0;
  std::uint32_t number = 0;
  for (const auto& c : cases) {
    EXPECT_EQ(processEnded(c.owner), c.removed) << c.what;
    for (const TemporaryKind kind : kKinds) {
      const std::string name = temporaryFileName(kind, c.owner, number++, "p_");
      tree.file(name);
      if (c.removed) {
        ++expected;
      } else {
        stays.push_back(name);
      }
    }
  }
  // Only regular files of the folder itself go: not links (to a user's file
  // or dangling), not folders, nothing below.
  const auto dead = [&] { return temporaryFileName(TemporaryKind::AtomicWrite, withPid(gone, 9), number++); };
  const std::string linked = dead(), dangling = dead(), asFolder = dead(), below = dead();
  tree.symlink(linked, tree.fileWith("sub/picture.jpg", "user's picture"));
  tree.symlink(dangling, tree.path("nowhere"));
  tree.file(asFolder + "/keep.jpg", 3);
  tree.file("sub/" + below, 3);
  stays.insert(stays.end(), {linked, dangling, asFolder, "sub"});
  EXPECT_EQ(removeDeadLeftovers(tree.root()), expected);
  std::sort(stays.begin(), stays.end());
  EXPECT_EQ(entries(tree.root()), stays);
  EXPECT_EQ(entries(tree.path("sub")), (std::vector<std::string>{below, "picture.jpg"}));
  EXPECT_EQ(tree.read("sub/picture.jpg"), "user's picture");
  EXPECT_EQ(removeDeadLeftovers(tree.path("sub/picture.jpg")), 0u) << "not a folder";
  EXPECT_EQ(removeDeadLeftovers(tree.path("missing")), 0u);
}

}  // namespace
}  // namespace pixelmote::util
