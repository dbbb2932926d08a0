// The folder the program keeps its own files in.
#include "util/program_folder.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "testsupport/temp_tree.h"

namespace pixelmote::util {
namespace {

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
