// File descriptors that close themselves, and reads that carry on through
// signals.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace pixelmote::util {

// Owns one open file descriptor (or none: -1) and closes it when it goes.
// Move-only; the destructor never throws and ignores close's result, which
// for a descriptor only read from says nothing about the data.
class UniqueFd {
 public:
  UniqueFd() noexcept = default;
  explicit UniqueFd(int fd) noexcept : m_fd(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const noexcept { return m_fd; }
  explicit operator bool() const noexcept { return m_fd >= 0; }
  // Gives up ownership: the caller closes the descriptor.
  int release() noexcept {
    const int fd = m_fd;
    m_fd = -1;
    return fd;
  }
  // Closes the descriptor held (if any) and holds `fd` instead.
  void reset(int fd = -1) noexcept;

 private:
  int m_fd = -1;
};

// Opens `path` for reading: close-on-exec, never becoming the controlling
// terminal, and without waiting on a pipe or device that is named like a
// file (O_NONBLOCK). Invalid when it cannot be opened; errno says why.
UniqueFd openForReading(const std::string& path);

// Reads up to `size` bytes at `offset` (or from the current position when
// `offset` is negative) into `buffer`, carrying on after interruptions and
// short reads until `size` bytes are there or the file ends. The count read,
// or -1 with errno set when a read fails.
ssize_t readFully(int fd, void* buffer, std::size_t size, off_t offset = -1);

// Appends bytes from the current position to `data` until it holds `total`
// bytes or the file ends (a file that shrank: what is there). False with
// errno set when a read fails; `data` is then as it was.
bool readOn(int fd, std::vector<std::uint8_t>& data, std::uint64_t total);

}  // namespace pixelmote::util
