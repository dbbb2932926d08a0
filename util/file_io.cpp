#include "util/file_io.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "util/temp_files.h"

namespace pixelmote::util {

namespace {

int posixOpen(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }

const FileSystemOps kPosixOps{posixOpen, ::write, ::fsync, ::close, ::rename, ::unlink};

FileSystemOps g_ops = kPosixOps;

std::string errorText(int err) { return std::strerror(err); }

std::string folderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return path.substr(0, slash + 1);  // keeps the "/"
}

// The temporary name is short and of fixed form whatever the final name:
// a 255-byte final name stays writable, and a run that dies mid-write leaves
// a name a later run recognises as its leftover.
std::string temporaryName(const std::string& folder) {
  return folder + temporaryFileName(TemporaryKind::AtomicWrite);
}

// Deletes a file, trying a second time when the first attempt fails for any
// reason but the file being gone: a passing failure (a busy network share)
// must not leave a file behind, and a lasting one fails again at once.
int unlinkRetryingOnce(const char* path) {
  if (g_ops.unlink(path) == 0) return 0;
  if (errno == ENOENT) return -1;
  return g_ops.unlink(path);
}

}  // namespace

const FileSystemOps& fileSystemOps() { return g_ops; }
const FileSystemOps& posixFileSystemOps() { return kPosixOps; }

ScopedFileSystemOps::ScopedFileSystemOps(const FileSystemOps& ops) : m_previous(g_ops) { g_ops = ops; }
ScopedFileSystemOps::~ScopedFileSystemOps() { g_ops = m_previous; }

StagedFile::StagedFile(std::string path, std::string temporaryPath)
    : m_path(std::move(path)), m_temporary(std::move(temporaryPath)) {}

StagedFile::~StagedFile() { discard(); }

StagedFile::StagedFile(StagedFile&& other) noexcept
    : m_path(std::move(other.m_path)), m_temporary(std::move(other.m_temporary)) {
  other.m_temporary.clear();
}

StagedFile& StagedFile::operator=(StagedFile&& other) noexcept {
  if (this != &other) {
    discard();
    m_path = std::move(other.m_path);
    m_temporary = std::move(other.m_temporary);
    other.m_temporary.clear();
  }
  return *this;
}

void StagedFile::discard() noexcept {
  if (m_temporary.empty()) return;
  unlinkRetryingOnce(m_temporary.c_str());
  m_temporary.clear();
}

IoResult StagedFile::commit() {
  if (m_temporary.empty()) return IoResult::failure(ENOENT, "cannot rename onto " + m_path + ": nothing staged");
  if (g_ops.rename(m_temporary.c_str(), m_path.c_str()) != 0) {
    const int err = errno;
    discard();
    return IoResult::failure(err, "cannot rename onto " + m_path + ": " + errorText(err));
  }
  m_temporary.clear();
  return IoResult::success();
}

IoResult stageFile(const std::string& path, std::string_view data, StagedFile& staged, Durability durability) {
  staged.discard();
  const FileSystemOps& ops = g_ops;
  const std::string folder = folderOf(path);
  std::string temp;
  int fd = -1;
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    temp = temporaryName(folder);
    fd = ops.open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) break;
  }
  if (fd < 0) {
    const int err = errno;
    // Named by the file the caller asked for: the temporary name means nothing
    // to whoever reads the message.
    return IoResult::failure(err, "cannot create " + path + ": " + errorText(err));
  }

  auto fail = [&](const char* action, int err) {
    if (fd >= 0) ops.close(fd);
    unlinkRetryingOnce(temp.c_str());
    return IoResult::failure(err, std::string(action) + " " + path + ": " + errorText(err));
  };

  const char* p = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    const ssize_t n = ops.write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail("cannot write", errno);
    }
    if (n == 0) return fail("cannot write", ENOSPC);
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  if (durability == Durability::Synced && ops.fsync(fd) != 0) return fail("cannot flush", errno);
  const int closeResult = ops.close(fd);
  fd = -1;
  if (closeResult != 0) return fail("cannot close", errno);
  try {
    staged = StagedFile(path, temp);
  } catch (...) {
    // Memory ran out for the names: the written file must not outlive them.
    unlinkRetryingOnce(temp.c_str());
    throw;
  }
  return IoResult::success();
}

IoResult writeFileAtomically(const std::string& path, std::string_view data, Durability durability) {
  StagedFile staged;
  const IoResult written = stageFile(path, data, staged, durability);
  if (!written) return written;
  return staged.commit();
}

IoResult removeFile(const std::string& path) {
  if (unlinkRetryingOnce(path.c_str()) != 0) {
    const int err = errno;
    return IoResult::failure(err, "cannot delete " + path + ": " + errorText(err));
  }
  return IoResult::success();
}

}  // namespace pixelmote::util
