#include "util/path.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "testsupport/temp_tree.h"
#include "util/program_folder.h"

namespace pixelmote::util {
namespace {

using namespace std::string_literals;

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

  const std::pair<std::string, std::string> joins[] = {
      {"/pics", "/pics/a.jpg"}, {"/pics/", "/pics/a.jpg"}, {"/", "/a.jpg"}};
  for (const auto& [folder, joined] : joins) EXPECT_EQ(joinPath(folder, "a.jpg"), joined);
}

TEST(PathStrings, CompareNamesOrdersByFoldedBytesThenByRawBytes) {
  // Letters fold to lower case, so "[" and "_" come before all letters;
  // bytes of 0x80 and above are unsigned and come after all of ASCII.
  const std::vector<std::string> names = {"",  "1.jpg", "[", "_x", "A",  "a",    "a.jpg", "AB",
                                          "Ab", "aB",   "ab", "b", "C", "Night", "z",     "{",
                                          "\x7F", "\x80", "\xC3\xA9t\xC3\xA9", "\xFF"};
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(compareNames(names[i], names[i]), 0) << i;
    for (std::size_t j = i + 1; j < names.size(); ++j) {
      EXPECT_LT(compareNames(names[i], names[j]), 0) << "[" << i << "] before [" << j << "]";
      EXPECT_GT(compareNames(names[j], names[i]), 0) << "[" << j << "] after [" << i << "]";
    }
  }
}

TEST(PathOnDisk, FolderPartAndWhatExistsOrOpens) {
  testing::TempTree tree;
  const std::string root = tree.root();
  const std::string pics = tree.folder("pics");
  tree.file("pics/a.jpg", 3);
  tree.file("pics/empty.jpg");
  tree.folder("pics/Night");
  tree.symlink("pics/link.jpg", pics + "/a.jpg");
  tree.symlink("pics/dangling.jpg", pics + "/gone.jpg");
  const std::string top = root.substr(0, root.find('/', 1));

  const std::pair<std::string, std::string> folderPart[] = {
      {pics + "/a.jpg", pics},   {pics, pics},  // an existing folder is itself
      {pics + "/", pics},        {pics + "/*.png", pics},  {pics + "/gone.jpg", pics},
      {root + "/nodir/", root + "/nodir"},      {root + "/nodir/x.jpg", root + "/nodir"},
      {"/", "/"},                {"/pixelmote-no-such-file.jpg", "/"}, {top, top},
      {"pics", ""},              {""s, ""},
  };
  for (const auto& [path, folder] : folderPart) EXPECT_EQ(FolderPart(path), folder) << path;

  const struct {
    std::string path;
    bool file, readable, exists;
  } cases[] = {
      {pics + "/a.jpg", true, true, true},       {pics + "/empty.jpg", true, true, true},
      {pics + "/link.jpg", true, true, true},    {pics, false, false, true},
      {pics + "/", false, false, true},          {pics + "/gone.jpg", false, false, false},
      {pics + "/dangling.jpg", false, false, false}, {root + "/gone/", false, false, false},
      // A pattern is a path if it matches (folders too), never a file.
      {pics + "/*.jpg", false, false, true},     {pics + "/?.jpg", false, false, true},
      {pics + "/Ni*", false, false, true},       {pics + "/??.jpg", false, false, false},
      {pics + "/*.gif", false, false, false},    {"", false, false, false},
      {pics + "/a.jpg\0"s, false, false, false},  // no name on disk holds a NUL
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FileExists(c.path), c.file) << c.path;
    EXPECT_EQ(FileReadable(c.path), c.readable) << c.path;
    EXPECT_EQ(PathExists(c.path), c.exists) << c.path;
  }
}

// --- the folders the program lives in and writes its own files to

using pixelmote::testing::TempTree;

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
      {bin + "/", bin, config, home, config + "/pixelmote"},
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
