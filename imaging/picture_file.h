// Reading a picture file for its decoder: its head checked before the rest
// is read, and no more of it read than the declared picture can use.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "imaging/codec.h"
#include "util/result.h"

namespace pixelmote::imaging {

// A file's size and modification time, as they were when it was opened.
struct FileIdentity {
  std::int64_t bytes = 0;
  std::int64_t modifiedSeconds = 0;
  long modifiedNanoseconds = 0;
  bool operator==(const FileIdentity&) const = default;
};

// The identity of the file at `path` now; none when it cannot be examined.
std::optional<FileIdentity> fileIdentity(const std::string& path);

// The bytes read first: every header check is answered from them unless a
// header runs on past them (large metadata before a JPEG's frame).
inline constexpr std::size_t kHeadBytes = 256 * 1024;

// Files whose reads would be larger are refused.
inline constexpr std::uint64_t kMaxPictureFileBytes = std::uint64_t{4} << 30;

// A picture file's bytes for its decoder.
struct PictureBytes {
  std::vector<std::uint8_t> data;  // the start of the file, up to its read bound
  FileIdentity identity;           // of the open file, taken before any of its bytes were read
};

// Opens the regular file at `path` once, reads its head, checks it with
// `codec`'s head check (reading on while the header does, up to
// limits.maxHeaderBytes) and then reads up to the read bound. Fails with a
// message naming the file when it cannot be opened or read, is not a regular
// file, or more than kMaxPictureFileBytes would be read; with the decoder's
// message when the head check fails.
util::Result<PictureBytes> readPicture(const std::string& path, const Codec& codec,
                                       const DecodeLimits& limits = {});

// How many bytes readPicture reads of a file of `fileSize` bytes that begins
// with `head` (kHeadBytes of it, or all of a shorter file).
std::uint64_t plannedReadBytes(const Codec& codec, Bytes head, std::uint64_t fileSize,
                               const DecodeLimits& limits = {});

}  // namespace pixelmote::imaging
