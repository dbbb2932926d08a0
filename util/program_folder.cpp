#include "util/program_folder.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace pixelmote::util {

namespace {

std::string executablePath() {
  std::vector<char> buf(4096);
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < buf.size()) return std::string(buf.data(), static_cast<std::size_t>(n));
    buf.resize(buf.size() * 2);
  }
}

bool makeFolders(const std::string& path) {
  for (std::size_t at = 1; at <= path.size(); ++at) {
    if (at == path.size() || path[at] == '/') {
      const std::string part = path.substr(0, at);
      if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
  }
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The home folder of the process's user in the account database, or "".
std::string accountHome() {
  std::vector<char> buf(16384);
  passwd entry {};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buf.data(), buf.size(), &found) != 0 || found == nullptr) return {};
  if (found->pw_dir == nullptr || found->pw_dir[0] != '/') return {};
  return found->pw_dir;
}

}  // namespace

std::string programFolder() {
  const std::string exe = executablePath();
  const auto slash = exe.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : exe.substr(0, slash);
}

std::string programBaseName() {
  std::string name = executablePath();
  if (const auto slash = name.rfind('/'); slash != std::string::npos) name = name.substr(slash + 1);
  if (const auto dot = name.rfind('.'); dot != std::string::npos && dot > 0) name = name.substr(0, dot);
  return name;
}

Result<std::string> writableProgramFolder() { return ownFilesFolder(programFolder(), PIXELMOTE_INSTALL_BINDIR); }

bool isInstalledFolder(const std::string& folder, const std::string& installedBinDir) {
  struct stat a {};
  struct stat b {};
  if (folder.empty() || installedBinDir.empty()) return false;
  if (::stat(folder.c_str(), &a) != 0 || ::stat(installedBinDir.c_str(), &b) != 0) return false;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

Result<std::string> ownFilesFolder(const std::string& programFolder, const std::string& installedBinDir) {
  const std::string& own = programFolder;
  if (!isInstalledFolder(own, installedBinDir) && ::access(own.c_str(), W_OK | X_OK) == 0) return own;
  std::string base;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
    base = std::string(home) + "/.config";
  } else if (const std::string account = accountHome(); !account.empty()) {
    base = account + "/.config";  // services and cron jobs may run without HOME
  } else {
    return Result<std::string>::failure("no folder for the program's files: HOME is not set");
  }
  const std::string folder = base + "/pixelmote";
  if (!makeFolders(folder)) {
    return Result<std::string>::failure("cannot create " + folder + ": " + std::strerror(errno));
  }
  return folder;
}

}  // namespace pixelmote::util
