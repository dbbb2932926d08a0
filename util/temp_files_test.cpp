#include "util/temp_files.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <limits>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "imaging/render.h"
#include "testsupport/temp_tree.h"
#include "util/file_io.h"
#include "util/program_folder.h"

namespace pixelmote::util {
namespace {

namespace fs = std::filesystem;

// A PID no process can have: above the kernel's largest.
pid_t freePid() {
  std::string text;
  if (FILE* f = std::fopen("/proc/sys/kernel/pid_max", "r")) {
    char buffer[32] = {};
    if (std::fgets(buffer, sizeof buffer, f) != nullptr) text = buffer;
    std::fclose(f);
  }
  return static_cast<pid_t>(text.empty() ? 4194304 : std::stol(text)) + 1;
}

ProcessTag withPid(pid_t pid, std::uint64_t start) {
  ProcessTag tag = currentProcessTag();
  tag.pid = pid;
  tag.startTime = start;
  return tag;
}

std::vector<std::string> namesIn(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// The names in `folder` of temporary files of `kind` made by process `pid`.
std::vector<std::string> filesOf(const std::string& folder, pid_t pid, TemporaryKind kind) {
  std::vector<std::string> out;
  for (const std::string& name : namesIn(folder)) {
    const auto parsed = parseTemporaryName(name);
    if (parsed && parsed->owner.pid == pid && parsed->kind == kind) out.push_back(name);
  }
  return out;
}

void touch(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0) << path;
  ::close(fd);
}

// --- names ------------------------------------------------------------------

TEST(TemporaryNames, WhatTheMakersWriteIsReadBack) {
  const ProcessTag self = currentProcessTag();
  EXPECT_EQ(self.pid, ::getpid());
  EXPECT_NE(self.startTime, 0u) << "the start time is read from /proc/self/stat";

  const ProcessTag extremes[] = {
      self,
      {0, 1, 0, },
      {0xFFFFFFFFu, std::numeric_limits<pid_t>::max(), std::numeric_limits<std::uint64_t>::max()},
      {0x00000a0bu, 12, 3},
  };
  const std::uint32_t numbers[] = {0, 7, 10, std::numeric_limits<std::uint32_t>::max()};
  // Prefixes that hold the words and signs of the names themselves.
  const std::string prefixes[] = {"", "t_", "temp", ".pm", "a-1-2-", "temp1-2-0000000a-3", "\xc3\xa9 "};
  for (const ProcessTag& owner : extremes) {
    for (const std::uint32_t number : numbers) {
      for (const TemporaryKind kind : {TemporaryKind::AtomicWrite, TemporaryKind::Bitmap, TemporaryKind::PrefixProbe}) {
        for (const std::string& prefix : prefixes) {
          if (kind != TemporaryKind::PrefixProbe && !prefix.empty()) continue;
          const std::string name = temporaryFileName(kind, owner, number, prefix);
          SCOPED_TRACE(name);
          const auto parsed = parseTemporaryName(name);
          ASSERT_TRUE(parsed.has_value());
          EXPECT_EQ(parsed->kind, kind);
          EXPECT_EQ(parsed->owner, owner);
          EXPECT_EQ(parsed->number, number);
          EXPECT_LE(name.size(), kind == TemporaryKind::PrefixProbe ? prefix.size() + kProbeNameExtra : 255u);
          if (kind == TemporaryKind::PrefixProbe) {
            EXPECT_EQ(name.compare(0, prefix.size(), prefix), 0) << "a probe begins with its prefix";
          } else {
            EXPECT_EQ(name[0] == '.', kind == TemporaryKind::AtomicWrite) << "hidden beside the user's files";
          }
        }
      }
    }
  }
  // The longest usable prefix with the longest tag still makes a name.
  const std::string longest = temporaryFileName(TemporaryKind::PrefixProbe, extremes[2], numbers[3],
                                                std::string(kLongestProbedPrefix, 'p'));
  EXPECT_EQ(longest.size(), 255u);

  // Fresh names of this process differ from each other.
  EXPECT_NE(temporaryFileName(TemporaryKind::AtomicWrite), temporaryFileName(TemporaryKind::AtomicWrite));
  const auto fresh = parseTemporaryName(temporaryFileName(TemporaryKind::Bitmap));
  ASSERT_TRUE(fresh.has_value());
  EXPECT_EQ(fresh->owner, self);
}

TEST(TemporaryNames, LookAlikesAreNotOurs) {
  const std::string tag = "12-345-0a1b2c3d-6";
  const char* const kNotOurs[] = {
      "temp.bmp", "temp.tmp", "t_temp.tmp", ".pm.tmp", ".tmp", "temp",
      // Older shapes, without start time or space.
      ".pm12-3.tmp", "temp12-3.bmp", "t_temp12-3.tmp", ".pm12-345-6.tmp",
      // A field too many or missing, empty, signed, padded.
      ".pm12-345-0a1b2c3d-6-7.tmp", ".pm12-345-0a1b2c3d.tmp", ".pm12--0a1b2c3d-6.tmp", ".pm-345-0a1b2c3d-6.tmp",
      ".pm+12-345-0a1b2c3d-6.tmp", ".pm 12-345-0a1b2c3d-6.tmp", ".pm012-345-0a1b2c3d-6.tmp",
      ".pm12-0345-0a1b2c3d-6.tmp", ".pm12-345-0a1b2c3d-06.tmp",
      // The space: not 8 lower-case hex digits.
      ".pm12-345-0A1B2C3D-6.tmp", ".pm12-345-a1b2c3d-6.tmp", ".pm12-345-00a1b2c3d-6.tmp", ".pm12-345-0a1b2c3g-6.tmp",
      // Out of range: PID 0, numbers past their type.
      ".pm0-345-0a1b2c3d-6.tmp", ".pm2147483648-345-0a1b2c3d-6.tmp", ".pm12-18446744073709551616-0a1b2c3d-6.tmp",
      ".pm12-345-0a1b2c3d-4294967296.tmp",
      // Extra characters around an exact tag, other case, other extensions.
      "x.pm12-345-0a1b2c3d-6.tmp", ".pm12-345-0a1b2c3d-6.tmp~", ".pm12-345-0a1b2c3d-6x.tmp", ".PM12-345-0a1b2c3d-6.tmp",
      ".pm12-345-0a1b2c3d-6.TMP", ".pm12-345-0a1b2c3d-6.bmp", "temp12-345-0a1b2c3d-6.bmp.jpg",
      "Temp12-345-0a1b2c3d-6.bmp",
      "xtemp12-345-0a1b2c3d-6.bmp", "temp12-345-0a1b2c3d-6 .bmp", "t_temp12-345-0a1b2c3d-6.tmp.tmp",
      "t_tamp12-345-0a1b2c3d-6.tmp", "t_temp12-345-0a1b2c3d-6_.tmp", ".pm12-345-0a1b2c3d-6",
  };
  for (const char* name : kNotOurs) EXPECT_FALSE(parseTemporaryName(name).has_value()) << name;

  // The same tag in its exact places is ours.
  for (const std::string& name : {".pm" + tag + ".tmp", "temp" + tag + ".bmp", "temp" + tag + ".tmp",
                                  "t_temp" + tag + ".tmp", "x.pmtemp" + tag + ".tmp"}) {
    EXPECT_TRUE(parseTemporaryName(name).has_value()) << name;
  }
}

// --- the probe ----------------------------------------------------------------

std::vector<std::string> g_opened;
int recordingOpen(const char* path, int flags, mode_t mode) {
  g_opened.push_back(fs::path(path).filename().string());
  return posixFileSystemOps().open(path, flags, mode);
}

TEST(PrefixProbe, PassesAndFailsAsBeforeUnderNamesOfThisProcess) {
  testing::TempTree tree;
  const ProcessTag self = currentProcessTag();
  // The first name tried is taken by a user's file: the probe moves on.
  const std::string taken = temporaryFileName(TemporaryKind::PrefixProbe, self, 0, "ab");
  tree.fileWith(taken, "keep");

  struct Case {
    std::string folder;
    std::string prefix;
    bool passes;
  };
  const Case cases[] = {
      {tree.root(), "t_", true},
      {tree.root(), "", true},
      {tree.root(), "ab", true},
      {tree.root(), "\xc3\xa9_", true},
      {tree.root(), std::string(kLongestProbedPrefix, 'n'), true},
      {tree.root(), std::string(kLongestProbedPrefix + 1, 'n'), false},
      {tree.root(), "a/b", false},
      {tree.root(), std::string("a\0b", 3), false},
      {tree.path("missing"), "t_", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.prefix.substr(0, 20) + " in " + c.folder);
    g_opened.clear();
    FileSystemOps ops = posixFileSystemOps();
    ops.open = recordingOpen;
    bool passed = false;
    {
      ScopedFileSystemOps guard(ops);
      passed = prefixProbePasses(c.folder, c.prefix);
    }
    EXPECT_EQ(passed, c.passes);
    for (const std::string& name : g_opened) {
      const auto parsed = parseTemporaryName(name);
      ASSERT_TRUE(parsed.has_value()) << name;
      EXPECT_EQ(parsed->kind, TemporaryKind::PrefixProbe);
      EXPECT_EQ(parsed->owner, self);
      EXPECT_EQ(name.compare(0, c.prefix.size(), c.prefix), 0) << name;
    }
    if (c.passes) {
      EXPECT_FALSE(g_opened.empty());
    }
  }
  EXPECT_EQ(namesIn(tree.root()), std::vector<std::string>{taken}) << "no probe is left behind";
  EXPECT_EQ(tree.read(taken), "keep");
}

// --- leftovers ----------------------------------------------------------------

// A child process that makes a temporary file through the program's own
// code and is held inside a system call until the parent lets it go or kills
// it. The seam's hooks are plain functions, so the child's pipe ends are kept
// in globals (each child has its own copy).
int g_ready = -1;    // the child writes a byte here once its file exists
int g_release = -1;  // the child waits here; end of file lets it go

void signalAndWait() {
  const char byte = 1;
  (void)!::write(g_ready, &byte, 1);
  char ignored;
  while (::read(g_release, &ignored, 1) < 0 && errno == EINTR) {
  }
}

// Holds the child in the middle of writing the temporary file.
ssize_t writeThenWait(int fd, const void* buf, size_t count) {
  const ssize_t n = posixFileSystemOps().write(fd, buf, std::min<size_t>(count, 4096));
  signalAndWait();
  return n;
}
// Holds the child between creating the probe and deleting it.
int closeThenWait(int fd) {
  const int result = posixFileSystemOps().close(fd);
  signalAndWait();
  return result;
}

class Child {
 public:
  // Runs `work` in a child and returns once the child's file exists.
  template <class Work>
  explicit Child(Work work) {
    int ready[2];
    int release[2];
    if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(release, O_CLOEXEC) != 0) return;
    m_pid = ::fork();
    if (m_pid == 0) {
      ::close(ready[0]);
      ::close(release[1]);
      g_ready = ready[1];
      g_release = release[0];
      work();
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    m_release = release[1];
    char byte = 0;
    m_started = ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
  }
  ~Child() { kill(); }

  pid_t pid() const { return m_pid; }
  bool started() const { return m_started; }

  // SIGKILL, as a killed run gets, and the child reaped.
  void kill() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGKILL);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
    ::close(m_release);
    m_pid = -1;
  }

 private:
  pid_t m_pid = -1;
  int m_release = -1;
  bool m_started = false;
};

TEST(DeadLeftovers, AKilledRunsFilesGoWhileOthersStay) {
  testing::TempTree tree;
  const std::string folder = tree.root();
  const std::string big(1 << 20, 'x');

  Child writer([&] {
    FileSystemOps ops = posixFileSystemOps();
    ops.write = writeThenWait;
    ScopedFileSystemOps guard(ops);
    writeFileAtomically(folder + "/index.html", big);
  });
  Child prober([&] {
    FileSystemOps ops = posixFileSystemOps();
    ops.close = closeThenWait;
    ScopedFileSystemOps guard(ops);
    prefixProbePasses(folder, "t_");
  });
  // The bitmap lies in the program's folder from its writing until it is read back.
  Child renderer([] {
    const auto bitmap = imaging::temporaryBitmapPath();
    if (bitmap && writeFileAtomically(bitmap.value(), "BM picture")) signalAndWait();
  });
  Child live([&] {
    FileSystemOps ops = posixFileSystemOps();
    ops.write = writeThenWait;
    ScopedFileSystemOps guard(ops);
    writeFileAtomically(folder + "/other.html", big);
  });
  ASSERT_TRUE(writer.started() && prober.started() && renderer.started() && live.started());

  const std::string programFolder = writableProgramFolder().value();
  const auto writerFiles = filesOf(folder, writer.pid(), TemporaryKind::AtomicWrite);
  const auto proberFiles = filesOf(folder, prober.pid(), TemporaryKind::PrefixProbe);
  const auto bitmaps = filesOf(programFolder, renderer.pid(), TemporaryKind::Bitmap);
  const auto liveFiles = filesOf(folder, live.pid(), TemporaryKind::AtomicWrite);
  ASSERT_EQ(writerFiles.size(), 1u);
  ASSERT_EQ(proberFiles.size(), 1u);
  ASSERT_EQ(proberFiles[0].rfind("t_", 0), 0u);
  ASSERT_EQ(bitmaps.size(), 1u);
  ASSERT_EQ(liveFiles.size(), 1u);

  // This process's own files of each kind, and a user's look-alikes.
  std::vector<std::string> stays = liveFiles;
  for (const TemporaryKind kind : {TemporaryKind::AtomicWrite, TemporaryKind::Bitmap, TemporaryKind::PrefixProbe}) {
    stays.push_back(temporaryFileName(kind, "t_"));
  }
  const std::string writerPid = std::to_string(writer.pid());
  for (const std::string& name : std::vector<std::string>{"temp.bmp", "t_temp.tmp", ".pm12-3.tmp",
                                                          "temp" + writerPid + "-0.bmp", ".pm" + writerPid + "-1.tmp",
                                                          "index.html"}) {
    stays.push_back(name);
  }
  for (const std::string& name : stays) {
    if (!tree.exists(name)) touch(tree.path(name));
  }

  // Still running: nothing goes.
  EXPECT_EQ(removeDeadLeftovers(folder), 0u);

  writer.kill();
  prober.kill();
  renderer.kill();
  EXPECT_TRUE(tree.exists(writerFiles[0]) && tree.exists(proberFiles[0])) << "a killed run leaves its files";

  EXPECT_EQ(removeDeadLeftovers(folder), 2u);
  std::sort(stays.begin(), stays.end());
  EXPECT_EQ(namesIn(folder), stays);
  EXPECT_GE(removeDeadLeftovers(programFolder), 1u);
  EXPECT_FALSE(fs::exists(programFolder + "/" + bitmaps[0]));

  // Once the second run is killed too, its file goes as well.
  live.kill();
  EXPECT_EQ(removeDeadLeftovers(folder), 1u);
  EXPECT_FALSE(tree.exists(liveFiles[0]));
  EXPECT_EQ(removeDeadLeftovers(folder), 0u);
}

TEST(DeadLeftovers, JudgedByPidStartTimeAndSpace) {
  testing::TempTree tree;
  const ProcessTag self = currentProcessTag();
  const pid_t gone = freePid();
  ProcessTag otherSpace = withPid(gone, 5);
  otherSpace.space ^= 1;

  struct Case {
    const char* what;
    ProcessTag owner;
    bool removed;
  };
  const Case cases[] = {
      {"this process", self, false},
      {"this PID reused by a process started later", withPid(self.pid, self.startTime + 1), true},
      {"this PID reused by a process started earlier", withPid(self.pid, self.startTime - 1), true},
      {"a PID no process has", withPid(gone, 5), true},
      {"the parent, running", withPid(::getppid(), 0), false},
      {"no start time, PID running", withPid(self.pid, 0), false},
      {"no start time, PID free", withPid(gone, 0), true},
      {"another machine or namespace", otherSpace, false},
  };
  for (const Case& c : cases) EXPECT_EQ(processEnded(c.owner), c.removed) << c.what;

  std::vector<std::string> stays;
  std::size_t expected = 0;
  std::uint32_t number = 0;
  for (const Case& c : cases) {
    for (const TemporaryKind kind : {TemporaryKind::AtomicWrite, TemporaryKind::Bitmap, TemporaryKind::PrefixProbe}) {
      const std::string name = temporaryFileName(kind, c.owner, number++, "p_");
      touch(tree.path(name));
      if (c.removed) {
        ++expected;
      } else {
        stays.push_back(name);
      }
    }
  }
  EXPECT_EQ(removeDeadLeftovers(tree.root()), expected);
  std::sort(stays.begin(), stays.end());
  EXPECT_EQ(namesIn(tree.root()), stays);
}

TEST(DeadLeftovers, OnlyRegularFilesOfTheFolderItself) {
  testing::TempTree tree;
  auto dead = [n = 0u]() mutable {
    return temporaryFileName(TemporaryKind::AtomicWrite, withPid(freePid(), 9), n++);
  };
  const std::string target = tree.fileWith("outside/picture.jpg", "user's picture");
  const std::string linked = dead();
  const std::string danglingLink = dead();
  const std::string asFolder = dead();
  const std::string below = dead();
  tree.folder("pics");
  tree.symlink("pics/" + linked, target);
  tree.symlink("pics/" + danglingLink, tree.path("nowhere"));
  tree.file("pics/" + asFolder + "/keep.jpg", 3);
  tree.file("pics/sub/" + below, 3);
  const std::string plain = dead();
  tree.file("pics/" + plain, 3);

  EXPECT_EQ(removeDeadLeftovers(tree.path("pics")), 1u);
  EXPECT_FALSE(tree.exists("pics/" + plain));
  EXPECT_TRUE(tree.exists("pics/" + linked));
  EXPECT_TRUE(tree.exists("pics/" + danglingLink));
  EXPECT_EQ(tree.read("outside/picture.jpg"), "user's picture");
  EXPECT_TRUE(tree.exists("pics/" + asFolder + "/keep.jpg"));
  EXPECT_TRUE(tree.exists("pics/sub/" + below)) << "folders below are not searched";

  // Folders that cannot be read, or are not folders, or are missing, give 0.
  const std::string file = tree.fileWith("note.txt", "text");
  EXPECT_EQ(removeDeadLeftovers(file), 0u);
  EXPECT_EQ(removeDeadLeftovers(tree.path("missing")), 0u);

  tree.file("closed/" + plain, 3);
  ::chmod(tree.root().c_str(), 0755);
  ::chmod(tree.path("closed").c_str(), 0333);  // names can be deleted, not listed
  const pid_t child = ::fork();
  if (child == 0) {
    // Root reads every folder; the test drops to an ordinary user.
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(2);
    ::_exit(removeDeadLeftovers(tree.path("closed")) == 0 ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  ::chmod(tree.path("closed").c_str(), 0755);
  EXPECT_TRUE(tree.exists("closed/" + plain));
}

}  // namespace
}  // namespace pixelmote::util
