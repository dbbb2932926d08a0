// The folder list Dir1 and the file lists File1 and File2 as engine objects:
// what a folder holds, in name order, read from the disk on each change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "util/unique_fd.h"

namespace pixelmote::batch {

// What identifies the state of a folder's entries: any entry added, removed
// or renamed changes its modification or change time.
struct DirectoryStamp {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t mtimeNs = 0;
  std::int64_t ctimeNs = 0;
  bool operator==(const DirectoryStamp&) const = default;
};

// The names found in one reading of a folder.
struct DirectoryEntries {
  std::vector<std::string> folders;  // sorted by name
  std::vector<std::string> files;    // in directory order
};

// A reading kept for later: where, what it found, and the folder's stamp.
struct DirectoryReading {
  std::string path;
  DirectoryStamp stamp;
  bool settled = false;  // the folder had not changed just before the reading
  std::shared_ptr<const DirectoryEntries> entries;
};

// One reading of a folder: its visible sub-folders (sorted by name) and its
// visible files (in directory order). Hidden names (a leading "."), folders
// reached through symbolic links, dangling links and special files (pipes,
// devices, sockets) are left out; a file reached through a link is a file.
// A folder that cannot be read gives an empty reading.
class DirectorySnapshot {
 public:
  // Reads `path`. When `earlier` is a reading of the same folder whose stamp
  // still matches, and the folder had not changed shortly before that
  // reading (so a change in the same clock tick cannot hide), its entries
  // are taken over instead of listing the folder again: the result is the
  // same, without the cost of listing a large folder once per sub-folder.
  static std::shared_ptr<const DirectorySnapshot> read(const std::string& path,
                                                       const DirectoryReading* earlier = nullptr);
  DirectorySnapshot(const DirectorySnapshot&) = delete;
  DirectorySnapshot& operator=(const DirectorySnapshot&) = delete;

  const std::string& path() const { return m_reading.path; }
  bool readable() const { return m_readable; }
  const std::vector<std::string>& folders() const { return m_reading.entries->folders; }
  const std::vector<std::string>& files() const { return m_reading.entries->files; }
  const DirectoryReading& reading() const { return m_reading; }
  // Size in bytes of the file `name` in this folder now; nullopt when it is gone.
  std::optional<std::int64_t> fileSize(const std::string& name) const;

 private:
  DirectorySnapshot() = default;
  DirectoryReading m_reading;
  bool m_readable = false;
  util::UniqueFd m_fd;  // kept open so sizes are looked up relative to the folder
};

// The folder list: a current path and that folder's sub-folders.
class FolderList {
 public:
  const std::string& path() const { return m_path; }
  // Moves to `path`, reads it afresh and runs the change handler.
  void setPath(const std::string& path);
  std::size_t listCount() const;
  // Full path of sub-folder `index` (0-based, name order).
  std::string list(std::size_t index) const;
  // The reading behind the current listing (shared with the file lists).
  const std::shared_ptr<const DirectorySnapshot>& snapshot() const { return m_snapshot; }
  void setChangeHandler(std::function<void()> handler) { m_onChange = std::move(handler); }

 private:
  std::string m_path;
  std::shared_ptr<const DirectorySnapshot> m_snapshot;
  // Earlier readings of the current folder's ancestors: a walk comes back to
  // each of them once per sub-folder.
  std::vector<DirectoryReading> m_ancestors;
  std::function<void()> m_onChange;
};

// A file list: a folder, a pattern "*.EXT" (the text after a name's last "."
// equals EXT, ASCII case ignored; "*" and "*.*" take every file) and the
// matching names in name order. It re-reads its folder when the folder or the
// pattern is set or on refresh, and notices nothing in between.
class FileList {
 public:
  const std::string& folder() const { return m_folder; }
  const std::string& pattern() const { return m_pattern; }
  void setFolder(const std::string& folder);
  void setPattern(const std::string& pattern);
  void refresh();
  // Takes a reading of its folder that was made just now (by the folder
  // list), instead of reading the folder a second time.
  void follow(std::shared_ptr<const DirectorySnapshot> snapshot);

  std::size_t listCount() const;
  const std::string& list(std::size_t index) const;
  // True when `name` is listed (exact bytes).
  bool contains(const std::string& name) const;
  // Size of a file of this folder; 0 when it has vanished since the reading.
  std::int64_t fileSize(const std::string& name) const;

  // True when `name` matches `pattern` as a file list matches names.
  static bool matches(const std::string& pattern, const std::string& name);

 private:
  const std::vector<std::string>& names() const;

  std::string m_folder;
  std::string m_pattern = "*.*";
  std::shared_ptr<const DirectorySnapshot> m_snapshot;
  // The matching names, worked out from the snapshot when first asked for.
  mutable std::optional<std::vector<std::string>> m_names;
};

}  // namespace pixelmote::batch
