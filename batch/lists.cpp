#include "batch/lists.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "util/path.h"
#include "util/unique_fd.h"

namespace pixelmote::batch {

namespace {

bool nameLess(const std::string& a, const std::string& b) { return util::compareNames(a, b) < 0; }

enum class Kind { Folder, File, Other };

// How long before a reading a folder must have last changed for the reading
// to be trusted later on the strength of an unchanged stamp.
constexpr std::int64_t kSettleNs = 100'000'000;

std::int64_t toNs(const timespec& t) { return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec; }

std::int64_t nowNs() {
  timespec t{};
  ::clock_gettime(CLOCK_REALTIME, &t);
  return toNs(t);
}

Kind kindOf(int dirFd, const char* name, unsigned char type) {
  switch (type) {
    case DT_DIR: return Kind::Folder;
    case DT_REG: return Kind::File;
    case DT_LNK: {
      // Follow the link: a linked file is a file, a linked folder is not
      // walked (it could lead back up the tree), a dangling link is nothing.
      struct stat st {};
      if (::fstatat(dirFd, name, &st, 0) != 0) return Kind::Other;
      return S_ISREG(st.st_mode) ? Kind::File : Kind::Other;
    }
    case DT_UNKNOWN: {
      struct stat st {};
      if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return Kind::Other;
      if (S_ISDIR(st.st_mode)) return Kind::Folder;
      if (S_ISREG(st.st_mode)) return Kind::File;
      if (S_ISLNK(st.st_mode)) return kindOf(dirFd, name, DT_LNK);
      return Kind::Other;
    }
    default: return Kind::Other;  // pipes, devices, sockets
  }
}

}  // namespace

std::shared_ptr<const DirectorySnapshot> DirectorySnapshot::read(const std::string& path,
                                                                 const DirectoryReading* earlier) {
  static const auto kEmpty = std::make_shared<const DirectoryEntries>();
  std::shared_ptr<DirectorySnapshot> snap(new DirectorySnapshot());
  snap->m_reading.path = path;
  snap->m_reading.entries = kEmpty;
  if (path.empty() || path.find('\0') != std::string::npos) return snap;
  const std::int64_t readAt = nowNs();
  snap->m_fd.reset(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!snap->m_fd) return snap;
  const int fd = snap->m_fd.get();
  struct stat st {};
  if (::fstat(fd, &st) != 0) return snap;
  DirectoryStamp& stamp = snap->m_reading.stamp;
  stamp.device = st.st_dev;
  stamp.inode = st.st_ino;
  stamp.mtimeNs = toNs(st.st_mtim);
  stamp.ctimeNs = toNs(st.st_ctim);
  // File-system times tick coarsely: a change made within a tick of this
  // reading might leave the stamp as it is, so such a reading is not reused.
  snap->m_reading.settled = std::max(stamp.mtimeNs, stamp.ctimeNs) < readAt - kSettleNs;

  if (earlier != nullptr && earlier->settled && earlier->path == path && earlier->stamp == stamp) {
    snap->m_reading.entries = earlier->entries;
    snap->m_reading.settled = true;
    snap->m_readable = true;
    return snap;
  }

  // The entries are read straight from our descriptor, which stays open
  // for the size look-ups that follow.
  auto entries = std::make_shared<DirectoryEntries>();
  alignas(8) char buffer[32768];
  for (;;) {
    const ssize_t n = ::getdents64(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return snap;  // unreadable: an empty reading
    if (n == 0) break;
    for (ssize_t at = 0; at < n;) {
      const auto* e = reinterpret_cast<const dirent64*>(buffer + at);
      at += e->d_reclen;
      if (e->d_name[0] == '.') continue;  // hidden, and "." and ".."
      switch (kindOf(fd, e->d_name, e->d_type)) {
        case Kind::Folder: entries->folders.emplace_back(e->d_name); break;
        case Kind::File: entries->files.emplace_back(e->d_name); break;
        case Kind::Other: break;
      }
    }
  }
  std::sort(entries->folders.begin(), entries->folders.end(), nameLess);
  snap->m_reading.entries = std::move(entries);
  snap->m_readable = true;
  return snap;
}

std::optional<std::int64_t> DirectorySnapshot::fileSize(const std::string& name) const {
  if (!m_fd && m_reading.path.empty()) return std::nullopt;
  struct stat st {};
  const int rc = m_fd ? ::fstatat(m_fd.get(), name.c_str(), &st, 0)
                           : ::stat(util::joinPath(m_reading.path, name).c_str(), &st);
  if (rc != 0) return std::nullopt;
  return static_cast<std::int64_t>(st.st_size);
}

// ---------------------------------------------------------------------------

void FolderList::setPath(const std::string& path) {
  // Keep the readings of the new folder's ancestors (and of the folder
  // itself): a walk returns to each of them after every sub-folder.
  if (m_snapshot && m_snapshot->readable()) m_ancestors.push_back(m_snapshot->reading());
  const DirectoryReading* earlier = nullptr;
  std::erase_if(m_ancestors, [&](const DirectoryReading& r) {
    const bool keep = r.path == path || (path.size() > r.path.size() && path.compare(0, r.path.size(), r.path) == 0 &&
                                         (r.path.back() == '/' || path[r.path.size()] == '/'));
    return !keep;
  });
  for (const DirectoryReading& r : m_ancestors) {
    if (r.path == path) earlier = &r;
  }
  m_path = path;
  m_snapshot = DirectorySnapshot::read(path, earlier);
  if (m_onChange) m_onChange();
}

std::size_t FolderList::listCount() const { return m_snapshot ? m_snapshot->folders().size() : 0; }

std::string FolderList::list(std::size_t index) const {
  if (!m_snapshot || index >= m_snapshot->folders().size()) return {};
  return util::joinPath(m_path, m_snapshot->folders()[index]);
}

// ---------------------------------------------------------------------------

bool FileList::matches(const std::string& pattern, const std::string& name) {
  if (pattern == "*" || pattern == "*.*") return true;
  if (pattern.size() < 2 || pattern[0] != '*' || pattern[1] != '.') return name == pattern;
  const std::string_view ext = std::string_view(pattern).substr(2);
  const auto dot = name.rfind('.');
  if (dot == std::string::npos) return false;
  return util::equalsIgnoreCase(std::string_view(name).substr(dot + 1), ext);
}

void FileList::setFolder(const std::string& folder) {
  m_folder = folder;
  refresh();
}

void FileList::setPattern(const std::string& pattern) {
  m_pattern = pattern;
  refresh();
}

void FileList::refresh() {
  m_snapshot = m_folder.empty() ? nullptr : DirectorySnapshot::read(m_folder);
  m_names.reset();
}

void FileList::follow(std::shared_ptr<const DirectorySnapshot> snapshot) {
  m_folder = snapshot ? snapshot->path() : std::string();
  m_snapshot = std::move(snapshot);
  m_names.reset();
}

const std::vector<std::string>& FileList::names() const {
  if (!m_names) {
    std::vector<std::string> out;
    if (m_snapshot) {
      for (const std::string& name : m_snapshot->files()) {
        if (matches(m_pattern, name)) out.push_back(name);
      }
    }
    std::sort(out.begin(), out.end(), nameLess);
    m_names = std::move(out);
  }
  return *m_names;
}

std::size_t FileList::listCount() const { return names().size(); }

const std::string& FileList::list(std::size_t index) const {
  static const std::string kEmpty;
  const auto& n = names();
  return index < n.size() ? n[index] : kEmpty;
}

bool FileList::contains(const std::string& name) const {
  const auto& n = names();
  const auto it = std::lower_bound(n.begin(), n.end(), name, nameLess);
  return it != n.end() && *it == name;
}

std::int64_t FileList::fileSize(const std::string& name) const {
  if (m_snapshot) return m_snapshot->fileSize(name).value_or(0);
  struct stat st {};
  if (::stat(util::joinPath(m_folder, name).c_str(), &st) != 0) return 0;
  return static_cast<std::int64_t>(st.st_size);
}

}  // namespace pixelmote::batch
