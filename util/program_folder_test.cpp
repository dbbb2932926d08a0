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
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : m_name(name) {
    if (const char* old = std::getenv(name)) m_old = old;
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (m_old) {
      ::setenv(m_name, m_old->c_str(), 1);
    } else {
      ::unsetenv(m_name);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* m_name;
  std::optional<std::string> m_old;
};

TEST(OwnFilesFolder, ABuildFolderKeepsItsFilesAndAnInstalledProgramUsesTheUsersFolder) {
  TempTree tree;
  const std::string build = tree.folder("src/build");
  const std::string bin = tree.folder("usr/bin");
  tree.symlink("bin", "usr/bin");
  const std::string config = tree.folder("home/.config");
  const ScopedEnv xdg("XDG_CONFIG_HOME", config);

  struct Case {
    const char* what;
    std::string folder;
    std::string installedBinDir;
    std::string expected;
  } const cases[] = {
      {"build folder", build, bin, build},
      {"never installed", build, tree.path("nowhere/bin"), build},
      {"no install folder known", build, "", build},
      {"the install folder", bin, bin, config + "/pixelmote"},
      {"reached through a link", tree.path("bin"), bin, config + "/pixelmote"},
      {"with a trailing slash", bin + "/", bin, config + "/pixelmote"},
      {"install folder named through a link", bin, tree.path("bin"), config + "/pixelmote"},
  };
  for (const Case& c : cases) {
    const auto folder = ownFilesFolder(c.folder, c.installedBinDir);
    ASSERT_TRUE(folder) << c.what << ": " << folder.message();
    EXPECT_EQ(folder.value(), c.expected) << c.what;
    EXPECT_TRUE(isFolder(folder.value())) << c.what;
  }
  EXPECT_EQ(isInstalledFolder(build, bin), false);
  EXPECT_EQ(isInstalledFolder(tree.path("bin/"), bin), true);
}

TEST(OwnFilesFolder, AnInstalledProgramFallsBackToHomeThenToTheAccountsHome) {
  TempTree tree;
  const std::string bin = tree.folder("usr/bin");
  const std::string home = tree.folder("home");
  {
    const ScopedEnv xdg("XDG_CONFIG_HOME", std::string("relative/config"));  // not absolute: ignored
    const ScopedEnv homeVar("HOME", home);
    const auto folder = ownFilesFolder(bin, bin);
    ASSERT_TRUE(folder) << folder.message();
    EXPECT_EQ(folder.value(), home + "/.config/pixelmote");
    EXPECT_TRUE(isFolder(home + "/.config/pixelmote")) << "created with its parents";
  }
  {
    // As a service without HOME: the account's home folder, never the program's.
    const passwd* account = ::getpwuid(::getuid());
    ASSERT_NE(account, nullptr);
    const std::string expected = std::string(account->pw_dir) + "/.config/pixelmote";
    const ScopedEnv xdg("XDG_CONFIG_HOME", std::nullopt);
    const ScopedEnv homeVar("HOME", std::nullopt);
    const auto folder = ownFilesFolder(bin, bin);
    ASSERT_TRUE(folder) << folder.message();
    EXPECT_EQ(folder.value(), expected);
  }
}

TEST(OwnFilesFolder, TheTestProgramRunsFromItsBuildFolder) {
  // The suite's own temporary files go beside it, as a developer's build does.
  EXPECT_EQ(writableProgramFolder().value(), programFolder());
}

}  // namespace
}  // namespace pixelmote::util
