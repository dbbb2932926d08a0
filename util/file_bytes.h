// Reading a whole file into memory (a copy, so a file that shrinks while it
// is read cannot pull memory away from under a decoder).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "util/result.h"

namespace pixelmote::util {

// The bytes of the regular file at `path`. Fails with a message naming the
// file when it cannot be opened or read, is not a regular file, or is larger
// than `maxBytes`.
Result<std::vector<std::uint8_t>> readFileBytes(const std::string& path,
                                                std::uint64_t maxBytes = std::uint64_t{4} << 30);

}  // namespace pixelmote::util
