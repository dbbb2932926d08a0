#include "util/file_bytes.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pixelmote::util {

Result<std::vector<std::uint8_t>> readFileBytes(const std::string& path, std::uint64_t maxBytes) {
  using R = Result<std::vector<std::uint8_t>>;
  // O_NONBLOCK keeps a pipe or device named like a picture from hanging us.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return R::failure("cannot open " + path + ": " + std::strerror(errno));
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return R::failure("cannot read " + path + ": not a regular file");
  }
  if (static_cast<std::uint64_t>(st.st_size) > maxBytes) {
    ::close(fd);
    return R::failure("cannot read " + path + ": file too large");
  }
  std::vector<std::uint8_t> data(static_cast<std::size_t>(st.st_size));
  std::size_t got = 0;
  while (got < data.size()) {
    const ssize_t n = ::read(fd, data.data() + got, data.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      ::close(fd);
      return R::failure("cannot read " + path + ": " + std::strerror(err));
    }
    if (n == 0) break;  // the file shrank: decode what is there
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  data.resize(got);
  return data;
}

}  // namespace pixelmote::util
