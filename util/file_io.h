// File writing that never leaves a half-written file under its final name,
// and file deletion, behind a seam that tests use to make each step fail.
#pragma once

#include <string>
#include <string_view>
#include <sys/types.h>

namespace pixelmote::util {

// The outcome of a file operation: ok, or a message that names the action.
struct IoResult {
  bool ok = true;
  int error = 0;          // errno of the failing step
  std::string message;    // e.g. "cannot rename onto /a/index.html: ..."

  static IoResult success() { return {}; }
  static IoResult failure(int err, std::string msg) { return {false, err, std::move(msg)}; }
  explicit operator bool() const { return ok; }
};

// The system calls the writing code goes through. Tests replace single
// entries to inject failures (a full disk, a failing rename ...).
struct FileSystemOps {
  int (*open)(const char* path, int flags, mode_t mode);
  ssize_t (*write)(int fd, const void* buf, size_t count);
  int (*fsync)(int fd);
  int (*close)(int fd);
  int (*rename)(const char* from, const char* to);
  int (*unlink)(const char* path);
};

// The operations in force (the POSIX calls unless a test installed others).
const FileSystemOps& fileSystemOps();
// Installs `ops` until the returned guard is destroyed; for tests.
class ScopedFileSystemOps {
 public:
  explicit ScopedFileSystemOps(const FileSystemOps& ops);
  ~ScopedFileSystemOps();
  ScopedFileSystemOps(const ScopedFileSystemOps&) = delete;
  ScopedFileSystemOps& operator=(const ScopedFileSystemOps&) = delete;

 private:
  FileSystemOps m_previous;
};

// The POSIX calls themselves, for tests that wrap them.
const FileSystemOps& posixFileSystemOps();

// Whether a write waits for the data to reach the disk before the rename.
enum class Durability { Normal, Synced };

// A file written under a temporary name in the folder of its final path,
// waiting to be put in place. Move-only; one that is neither committed nor
// released is deleted (as removeFile does) when its owner goes, and the
// destructor never throws.
class StagedFile {
 public:
  StagedFile() = default;
  StagedFile(std::string path, std::string temporaryPath);
  ~StagedFile();
  StagedFile(StagedFile&& other) noexcept;
  StagedFile& operator=(StagedFile&& other) noexcept;
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;

  bool empty() const { return m_temporary.empty(); }
  const std::string& path() const { return m_path; }
  const std::string& temporaryPath() const { return m_temporary; }

  // Renames the file onto its final path. On failure it is deleted and the
  // message names the final path. Either way nothing is staged afterwards.
  IoResult commit();
  // Deletes the staged file now.
  void discard() noexcept;

 private:
  std::string m_path;
  std::string m_temporary;
};

// Writes `data` to a fresh temporary file in the same folder as `path` and
// leaves it there, in `staged`, for the caller to commit. On failure nothing
// is left and `staged` is empty.
IoResult stageFile(const std::string& path, std::string_view data, StagedFile& staged,
                   Durability durability = Durability::Normal);

// Writes `data` to a fresh temporary file in the same folder as `path`, then
// renames it over `path`. On any failure the temporary file is removed (as
// removeFile does) and `path` is untouched. New files get mode 0666 less the
// umask. Synced writes flush the data to the disk before the rename (for
// files whose loss hurts).
IoResult writeFileAtomically(const std::string& path, std::string_view data,
                             Durability durability = Durability::Normal);

// Deletes a file, trying once more when the first attempt fails; a missing
// file is a failure like any other.
IoResult removeFile(const std::string& path);

}  // namespace pixelmote::util
