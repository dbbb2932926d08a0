#include "util/temp_files.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <limits>
#include <string>
#include <unistd.h>
#include <vector>

#include "testsupport/temp_tree.h"
#include "util/file_io.h"

namespace pixelmote::util {
namespace {

namespace fs = std::filesystem;

constexpr TemporaryKind kKinds[] = {TemporaryKind::AtomicWrite, TemporaryKind::Bitmap, TemporaryKind::PrefixProbe};

// A PID no process can have: above the largest the kernel allows.
constexpr pid_t kFreePid = 4194304 + 1;

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

std::vector<std::string> g_opened;
int recordingOpen(const char* path, int flags, mode_t mode) {
  g_opened.push_back(fs::path(path).filename().string());
  return posixFileSystemOps().open(path, flags, mode);
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
    g_opened.clear();
    FileSystemOps ops = posixFileSystemOps();
    ops.open = recordingOpen;
    ScopedFileSystemOps guard(ops);
    EXPECT_EQ(prefixProbePasses(c.folder, c.prefix), c.passes);
    for (const std::string& name : g_opened) {
      const auto parsed = parseTemporaryName(name);
      EXPECT_TRUE(parsed && parsed->kind == TemporaryKind::PrefixProbe && parsed->owner == self) << name;
      EXPECT_EQ(name.rfind(c.prefix, 0), 0u) << name;
    }
    EXPECT_TRUE(!c.passes || !g_opened.empty());
  }
  EXPECT_EQ(namesIn(tree.root()), std::vector<std::string>{taken}) << "no probe is left behind";
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
  EXPECT_EQ(namesIn(tree.root()), stays);
  EXPECT_EQ(namesIn(tree.path("sub")), (std::vector<std::string>{below, "picture.jpg"}));
  EXPECT_EQ(tree.read("sub/picture.jpg"), "user's picture");
  EXPECT_EQ(removeDeadLeftovers(tree.path("sub/picture.jpg")), 0u) << "not a folder";
  EXPECT_EQ(removeDeadLeftovers(tree.path("missing")), 0u);
}

}  // namespace
}  // namespace pixelmote::util
