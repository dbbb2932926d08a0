#include "util/unique_fd.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace pixelmote::util {

void UniqueFd::reset(int fd) noexcept {
  if (m_fd >= 0) {
    const int saved = errno;  // callers may still be reporting the last failure
    ::close(m_fd);
    errno = saved;
  }
  m_fd = fd;
}

UniqueFd openForReading(const std::string& path) {
  return UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
}

ssize_t readFully(int fd, void* buffer, std::size_t size, off_t offset) {
  auto* out = static_cast<char*>(buffer);
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = offset < 0 ? ::read(fd, out + got, size - got)
                                 : ::pread(fd, out + got, size - got, offset + static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

bool readOn(int fd, std::vector<std::uint8_t>& data, std::uint64_t total) {
  const std::size_t had = data.size();
  if (total <= had) return true;
  data.resize(static_cast<std::size_t>(total));
  const ssize_t n = readFully(fd, data.data() + had, data.size() - had);
  if (n < 0) {
    const int err = errno;
    data.resize(had);
    errno = err;
    return false;
  }
  data.resize(had + static_cast<std::size_t>(n));
  return true;
}

}  // namespace pixelmote::util
