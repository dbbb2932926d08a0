#include "testsupport/temp_tree.h"

#include "imaging/codec.h"
#include "imaging/render.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace pixelmote::testing {

namespace fs = std::filesystem;

TempTree::TempTree() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/pixelmote-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  m_root = fs::canonical(pattern).string();
}

TempTree::~TempTree() { removeTree(m_root); }

std::string TempTree::path(const std::string& relative) const {
  return relative.empty() ? m_root : m_root + "/" + relative;
}

std::string TempTree::folder(const std::string& relative) const {
  const std::string p = path(relative);
  fs::create_directories(p);
  return p;
}

std::string TempTree::file(const std::string& relative, std::size_t size) const {
  return fileWith(relative, std::string(size, 'x'));
}

std::string TempTree::fileWith(const std::string& relative, const std::string& content) const {
  const std::string p = path(relative);
  fs::create_directories(fs::path(p).parent_path());
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + p);
  return p;
}

std::string TempTree::thumbnail(const std::string& relative) const {
  imaging::Raster raster(imaging::Size{4, 3});
  const std::string stamp = std::string(imaging::kStampLead) + "1; picture 10 bytes, modified 1.000000000; size 25";
  return fileWith(relative, imaging::encodeJpeg(raster, 75, 0, stamp).value());
}

std::string TempTree::symlink(const std::string& relative, const std::string& target) const {
  const std::string p = path(relative);
  fs::create_directories(fs::path(p).parent_path());
  fs::create_symlink(target, p);
  return p;
}

bool TempTree::exists(const std::string& relative) const {
  std::error_code ec;
  return fs::symlink_status(path(relative), ec).type() != fs::file_type::not_found && !ec;
}

std::string TempTree::read(const std::string& relative) const {
  std::ifstream in(path(relative), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void removeTree(const std::string& path) {
  // chmod and rm cope with trees deeper than a path can name and give back
  // rights a test took away.
  const auto run = [](std::vector<const char*> argv) {
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, const_cast<char* const*>(argv.data()), environ) != 0) return;
    int status = 0;
    ::waitpid(pid, &status, 0);
  };
  run({"chmod", "-R", "u+rwX", "--", path.c_str()});
  run({"rm", "-rf", "--", path.c_str()});
}

}  // namespace pixelmote::testing
