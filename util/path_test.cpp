// Path and name routines, and the folder the program keeps its own files in.
#include "util/path.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "testsupport/temp_tree.h"
#include "util/program_folder.h"

namespace pixelmote::util {
namespace {

using namespace std::string_literals;
using pixelmote::testing::TempTree;

TEST(PathStrings, TablesOfEachRoutine) {
  const struct {
    std::size_t start;
    std::string text, sub;
    std::size_t found;  // 1-based, 0 for none
  } inStrBack[] = {
      {0, "/pics/", "/", 6},         {0, "/a.jpg", "/", 1},       {0, "aaaa", "aa", 3},  // overlapping: the last place
      {0, "abc", "abc", 1},          {0, "abc", "x", 0},          {0, "ab", "abc", 0},  {0, "", "/", 0},
      {0, "PHOTO.JPG.bak", ".jpg", 6}, {0, "photo.jpg", ".JPG", 6},
      {0, "x\xC3\xA9y", "\xC3\x89", 0},  // "é" does not match "É"
      {0, "a@b", "`", 0},              // differ by 0x20 but are no letters
      {6, "a/b/c/", "/", 6},         {5, "a/b/c/", "/", 4},       {4, "a/b/c/", "/", 4}, {3, "a/b/c/", "/", 2},
      {1, "a/b/c/", "/", 0},         {100, "a/b/c/", "/", 6},     {6, "abcabc", "abc", 4}, {3, "abcabc", "abc", 1},
  };
  for (const auto& c : inStrBack) EXPECT_EQ(InStrBack(c.start, c.text, c.sub), c.found) << c.text << " " << c.start;

  const struct {
    std::string text;
    std::size_t n;
    std::string kept;
  } dropRight[] = {{"abc", 0, "abc"}, {"abc", 2, "a"}, {"abc", 3, ""}, {"abc", 4, ""}, {"", 1, ""}};
  for (const auto& c : dropRight) EXPECT_EQ(DropRight(c.text, c.n), c.kept) << c.text << " " << c.n;

  // The first point cuts: two pictures with the same first part share one thumbnail name.
  const std::pair<std::string, std::string> stripExt[] = {
      {"photo.jpg", "photo"}, {"photo", "photo"}, {".jpg", ""}, {"my.photo.jpg", "my"}, {"photo.", "photo"}, {"", ""}};
  for (const auto& [name, stem] : stripExt) EXPECT_EQ(StripExt(name), stem) << name;

  const std::pair<std::string, std::string> fileNamePart[] = {
      {"/pics/a.jpg", "a.jpg"}, {"a.jpg", "a.jpg"},       {"/pics/", ""},
      {"/", ""},                {"/pics/a\\b.jpg", "a\\b.jpg"}, {"C:a.jpg", "C:a.jpg"}};  // a backslash is ordinary
  for (const auto& [path, name] : fileNamePart) EXPECT_EQ(FileNamePart(path), name) << path;

  EXPECT_EQ(asciiLower("AZaz@[`{09\xC3\x89T"), "azaz@[`{09\xC3\x89t");  // "É" stays
  const struct {
    std::string a, b;
    bool equal;
  } equalsIgnoringCase[] = {
      {"", "", true},       {"Photo.JPG", "photo.jpg", true}, {"az", "AZ", true},  {"a\0B"s, "A\0b"s, true},
      {"abc", "abd", false}, {"abc", "abcd", false},          {"abc", "", false},  {"\xC3\xA9", "\xC3\x89", false},
      {"@", "`", false},    {"[", "{", false},                {"a\0b"s, "a\0c"s, false},
  };
  for (const auto& c : equalsIgnoringCase) EXPECT_EQ(equalsIgnoreCase(c.a, c.b), c.equal) << c.a << "/" << c.b;
}

bool isFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Sets (or with nullopt unsets) an environment variable for one scope.
struct ScopedEnv {
  ScopedEnv(const char* name, std::optional<std::string> value) : m_name(name) {
    if (const char* old = std::getenv(name)) m_old = old;
    value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
  }
  ~ScopedEnv() { m_old ? ::setenv(m_name, m_old->c_str(), 1) : ::unsetenv(m_name); }
  const char* m_name;
  std::optional<std::string> m_old;
};

// A build folder keeps its files; an installed program uses the user's
// config folder, then HOME's, then (as a service without HOME) the account's.
TEST(OwnFilesFolder, ABuildFolderKeepsItsFilesAndAnInstalledProgramUsesTheUsersFolder) {
  TempTree tree;
  const std::string build = tree.folder("src/build");
  const std::string bin = tree.folder("usr/bin");
  tree.symlink("bin", "usr/bin");
  const std::string config = tree.folder("home/.config");
  const std::string home = tree.path("home2");
  const passwd* account = ::getpwuid(::getuid());
  ASSERT_NE(account, nullptr);
  const std::string relative = "relative/config";  // not absolute: ignored
  const std::string plain = tree.folder("plain");
  tree.file("plain/pixelmote", 3);  // a file where the folder should be
  const struct {
    std::string folder, installedBinDir;
    std::optional<std::string> xdg, home;
    std::string expected;  // "" when refused
  } cases[] = {
      {build, bin, config, home, build},
      {build, "", config, home, build},
      {bin, bin, config, home, config + "/pixelmote"},
      {tree.path("bin"), bin, config, home, config + "/pixelmote"},  // reached through a link
      {bin, tree.path("bin"), config, home, config + "/pixelmote"},
      {bin, bin, relative, home, home + "/.config/pixelmote"},  // created with its parents
      {bin, bin, std::nullopt, std::nullopt, std::string(account->pw_dir) + "/.config/pixelmote"},
      {bin, bin, plain, home, ""},
  };
  for (const auto& c : cases) {
    const ScopedEnv xdg("XDG_CONFIG_HOME", c.xdg);
    const ScopedEnv homeVar("HOME", c.home);
    const auto folder = ownFilesFolder(c.folder, c.installedBinDir);
    if (c.expected.empty()) {
      EXPECT_FALSE(folder) << c.folder;
      EXPECT_EQ(folder.message().rfind("cannot create " + plain + "/pixelmote: ", 0), 0u) << folder.message();
      continue;
    }
    ASSERT_TRUE(folder) << c.folder << ": " << folder.message();
    EXPECT_EQ(folder.value(), c.expected) << c.folder;
    EXPECT_TRUE(isFolder(folder.value())) << c.folder;
  }
  EXPECT_FALSE(isInstalledFolder(build, bin));
  EXPECT_TRUE(isInstalledFolder(tree.path("bin/"), bin));
  EXPECT_EQ(writableProgramFolder().value(), programFolder()) << "the suite runs from its build folder";
}

}  // namespace
}  // namespace pixelmote::util
