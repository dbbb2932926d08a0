// A folder tree made for one test under a fresh temporary folder and removed
// with everything in it afterwards.
#pragma once

#include <cstddef>
#include <string>

namespace pixelmote::testing {

class TempTree {
 public:
  TempTree();
  ~TempTree();
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  // The tree's root folder (absolute, no trailing "/").
  const std::string& root() const { return m_root; }
  // Absolute path of `relative` below the root ("" gives the root).
  std::string path(const std::string& relative) const;

  // Creates a folder (and its parents) below the root; returns its path.
  std::string folder(const std::string& relative) const;
  // Creates a file of `size` bytes (parents as needed); returns its path.
  std::string file(const std::string& relative, std::size_t size = 0) const;
  // Creates a file holding `content` exactly.
  std::string fileWith(const std::string& relative, const std::string& content) const;
  // Creates a small JPEG thumbnail that carries this program's stamp, as
  // Create writes them (whatever its picture).
  std::string thumbnail(const std::string& relative) const;
  // Creates a symbolic link at `relative` pointing to `target` (as given).
  std::string symlink(const std::string& relative, const std::string& target) const;

  bool exists(const std::string& relative) const;
  std::string read(const std::string& relative) const;

 private:
  std::string m_root;
};

// Removes a tree made writable first (tests may take rights away).
void removeTree(const std::string& path);

}  // namespace pixelmote::testing
