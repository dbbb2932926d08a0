#include "util/path.h"

#include <fcntl.h>
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include "util/unique_fd.h"

namespace pixelmote::util {

namespace {

char lowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Paths given to the C library must be NUL-terminated; a name with an embedded
// NUL cannot exist on disk.
bool toCPath(std::string_view path, std::string& out) {
  if (path.empty() || path.find('\0') != std::string_view::npos) return false;
  out.assign(path);
  return true;
}

}  // namespace

std::string asciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = lowerAscii(c);
  return out;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
  }
  return true;
}

int compareNames(std::string_view a, std::string_view b) {
  const std::size_t n = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < n; ++i) {
    const auto ca = static_cast<unsigned char>(lowerAscii(a[i]));
    const auto cb = static_cast<unsigned char>(lowerAscii(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  // Equal when folded: fall back to the bytes so the order is total.
  const int raw = a.compare(b);
  return raw < 0 ? -1 : (raw > 0 ? 1 : 0);
}

std::string joinPath(std::string_view folder, std::string_view name) {
  std::string out(folder);
  if (out.empty() || out.back() != '/') out += '/';
  out += name;
  return out;
}

std::size_t InStrBack(std::size_t start, std::string_view text, std::string_view sub) {
  const std::size_t len = sub.size();
  if (len > text.size()) return 0;
  std::size_t pos = start == 0 ? text.size() - len + 1 : start;
  // A start beyond the last place the substring fits cannot match there.
  if (pos > text.size() - len + 1) pos = text.size() - len + 1;
  for (; pos > 0; --pos) {
    if (equalsIgnoreCase(text.substr(pos - 1, len), sub)) return pos;
  }
  return 0;
}

std::string DropRight(std::string_view text, std::size_t n) {
  if (text.size() <= n) return {};
  return std::string(text.substr(0, text.size() - n));
}

std::string StripExt(std::string_view name) {
  const std::size_t dot = name.find('.');
  if (dot == std::string_view::npos) return std::string(name);
  return std::string(name.substr(0, dot));
}

std::string FileNamePart(std::string_view path) {
  if (path.empty()) return {};
  const std::size_t p = InStrBack(0, path, "/");
  if (p == 0) return std::string(path);
  if (p == path.size()) return {};
  return std::string(path.substr(p));
}

std::string FolderPart(std::string_view path) {
  std::string result;
  const std::size_t p = InStrBack(0, path, "/");
  if (p > 0 && !FileExists(path) && PathExists(path)) {
    if (path.back() == '/') {
      result = DropRight(path, 1);
    } else if (const std::size_t star = path.find("/*"); star != std::string_view::npos) {
      result = std::string(path.substr(0, star));
    } else {
      result = std::string(path);
    }
  } else if (p > 0) {
    result = std::string(path.substr(0, p - 1));
  }
  // Below the root the folder is the root itself.
  if (result.empty() && !path.empty() && path.front() == '/') result = "/";
  return result;
}

bool FileExists(std::string_view path) {
  std::string c;
  if (!toCPath(path, c)) return false;
  struct stat st {};
  return ::stat(c.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool PathExists(std::string_view path) {
  std::string c;
  if (!toCPath(path, c)) return false;
  struct stat st {};
  if (::stat(c.c_str(), &st) == 0) return true;
  if (c.find_first_of("*?") == std::string::npos) return false;
  glob_t g{};
  const int rc = ::glob(c.c_str(), GLOB_NOSORT, nullptr, &g);
  const bool found = rc == 0 && g.gl_pathc > 0;
  ::globfree(&g);
  return found;
}

bool FileReadable(std::string_view path) {
  std::string c;
  if (!toCPath(path, c)) return false;
  const UniqueFd fd = openForReading(c);
  struct stat st {};
  return fd && ::fstat(fd.get(), &st) == 0 && !S_ISDIR(st.st_mode);
}

}  // namespace pixelmote::util
