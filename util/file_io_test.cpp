#include "util/file_io.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "testsupport/temp_tree.h"
#include "util/file_bytes.h"
#include "util/temp_files.h"

namespace pixelmote::util {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

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
    EXPECT_EQ(bytes.ok() ? bytes.value().size() : 0u, read ? 5u : 0u) << limit;
  }
}

template <int error>
int fails() {
  errno = error;
  return -1;
}
// Whatever step fails, the old file stays as it was (or no file appears), no
// temporary file is left, and the message names the step and the file.
TEST(FileIo, AFailingStepKeepsTheOldFileOrMakesNoneAndLeavesNoTemporaryFile) {
  const struct {
    void (*install)(FileSystemOps&);
    Durability durability;
    int error;
    const char* action;
  } faults[] = {
      {[](FileSystemOps& o) { o.open = [](const char*, int, mode_t) { return fails<EACCES>(); }; }, Durability::Normal,
       EACCES, "cannot create"},
      {[](FileSystemOps& o) { o.write = [](int, const void*, size_t) -> ssize_t { return fails<ENOSPC>(); }; },
       Durability::Normal, ENOSPC, "cannot write"},
      {[](FileSystemOps& o) { o.fsync = [](int) { return fails<EIO>(); }; }, Durability::Synced, EIO, "cannot flush"},
      {[](FileSystemOps& o) {
         o.close = [](int fd) {  // closes the descriptor but reports a failure, as NFS may
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
      FileSystemOps ops = posixFileSystemOps();
      fault.install(ops);
      IoResult result;
      {
        ScopedFileSystemOps guard(ops);
        result = writeFileAtomically(path, kBinary + std::string(100, 'n'), fault.durability);
      }
      EXPECT_FALSE(result.ok || result);
      EXPECT_EQ(result.error, fault.error);
      EXPECT_NE(result.message.find(std::string(fault.action) + " "), std::string::npos) << result.message;
      EXPECT_NE(result.message.find(path), std::string::npos) << result.message;
      EXPECT_EQ(entries(tree.root()), existed ? std::vector<std::string>{"index.html"} : std::vector<std::string>{});
      EXPECT_EQ(tree.read("index.html"), existed ? before : "");
    }
  }
  ASSERT_TRUE(writeFileAtomically(path, kBinary, Durability::Synced).ok) << "the calls are put back";
  EXPECT_EQ(tree.read("index.html"), kBinary);
  EXPECT_EQ(entries(tree.root()), std::vector<std::string>{"index.html"});
  EXPECT_TRUE(removeFile(path).ok) << "a delete that works says so";
  const IoResult gone = removeFile(path);
  EXPECT_EQ(gone.error, ENOENT) << gone.message;
}

// A PID no process can have: above the largest the kernel allows.
constexpr pid_t kFreePid = 4194304 + 1;

ProcessTag withPid(pid_t pid, std::uint64_t start) {
  ProcessTag tag = currentProcessTag();
  tag.pid = pid;
  tag.startTime = start;
  return tag;
}

// Only files of ended runs go: judged by PID and start time within this
// machine and PID namespace; the user's look-alikes, links and folders stay.
TEST(DeadLeftovers, JudgedByPidStartTimeAndSpace) {
  testing::TempTree tree;
  const ProcessTag self = currentProcessTag();
  ProcessTag otherSpace = withPid(kFreePid, 5);
  otherSpace.space ^= 1;
  const struct {
    const char* what;
    ProcessTag owner;
    bool removed;
  } cases[] = {
      {"this process", self, false},
      {"this PID reused by a process started later", withPid(self.pid, self.startTime + 1), true},
      {"this PID reused by a process started earlier", withPid(self.pid, self.startTime - 1), true},
      {"a PID no process has", withPid(kFreePid, 5), true},
      {"no start time, PID running", withPid(self.pid, 0), false},
      {"another machine or namespace", otherSpace, false},
  };
  std::vector<std::string> stays = {"temp.bmp", "t_temp.tmp", ".pm12-3.tmp", "index.html"};  // a user's look-alikes
  for (const std::string& name : stays) tree.file(name);
  std::size_t expected = 0;
  std::uint32_t number = 0;
  for (const auto& c : cases) {
    EXPECT_EQ(processEnded(c.owner), c.removed) << c.what;
    for (const TemporaryKind kind : {TemporaryKind::AtomicWrite, TemporaryKind::Bitmap, TemporaryKind::PrefixProbe}) {
      const std::string name = temporaryFileName(kind, c.owner, number++, "p_");
      tree.file(name);
      c.removed ? (void)++expected : stays.push_back(name);
    }
  }
  const std::string linked = temporaryFileName(TemporaryKind::AtomicWrite, withPid(kFreePid, 9), number++);
  tree.symlink(linked, tree.fileWith("sub/picture.jpg", "user's picture"));
  stays.insert(stays.end(), {linked, "sub"});
  EXPECT_EQ(removeDeadLeftovers(tree.root()), expected);
  std::sort(stays.begin(), stays.end());
  EXPECT_EQ(entries(tree.root()), stays);
  EXPECT_EQ(tree.read("sub/picture.jpg"), "user's picture");
}

// A run in another PID namespace (a container on the same machine) cannot be
// looked up from here: its files stay, though its PID here is someone else's.
TEST(DeadLeftovers, AnotherPidNamespacesFilesStay) {
  if (const char* folder = std::getenv("PIXELMOTE_TEST_TEMPORARY_IN")) {  // the run inside the namespace
    std::ofstream(std::string(folder) + "/" + temporaryFileName(TemporaryKind::AtomicWrite)) << "part";
    return;
  }
  testing::TempTree tree;
  const std::string command = "PIXELMOTE_TEST_TEMPORARY_IN='" + tree.root() +
                              "' unshare -Urpf " + fs::read_symlink("/proc/self/exe").string() +
                              " --gtest_filter=DeadLeftovers.AnotherPidNamespacesFilesStay >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0 || entries(tree.root()).size() != 1) {
    GTEST_SKIP() << "no new PID namespace here";
  }
  const auto name = parseTemporaryName(entries(tree.root())[0]);
  ASSERT_TRUE(name.has_value());
  EXPECT_NE(name->owner.pid, ::getpid());
  EXPECT_EQ(removeDeadLeftovers(tree.root()), 0u);
  EXPECT_EQ(entries(tree.root()).size(), 1u);
}

}  // namespace
}  // namespace pixelmote::util
