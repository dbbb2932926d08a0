#include "util/file_bytes.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include "util/unique_fd.h"

namespace pixelmote::util {

Result<std::vector<std::uint8_t>> readFileBytes(const std::string& path, std::uint64_t maxBytes) {
  using R = Result<std::vector<std::uint8_t>>;
  const UniqueFd fd = openForReading(path);
  if (!fd) return R::failure("cannot open " + path + ": " + std::strerror(errno));
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return R::failure("cannot read " + path + ": not a regular file");
  if (static_cast<std::uint64_t>(st.st_size) > maxBytes) return R::failure("cannot read " + path + ": file too large");
  std::vector<std::uint8_t> data;
  // A file that shrank while it was read gives what is there.
  if (!readOn(fd.get(), data, static_cast<std::uint64_t>(st.st_size))) {
    return R::failure("cannot read " + path + ": " + std::strerror(errno));
  }
  return data;
}

}  // namespace pixelmote::util
