#include "imaging/estimate.h"

#include <algorithm>
#include <cstring>
#include <sys/stat.h>
#include <vector>

#include "imaging/geometry.h"
#include "imaging/picture_file.h"
#include "util/unique_fd.h"

namespace pixelmote::imaging {

namespace {

constexpr std::uint64_t kSmall = std::uint64_t{1} << 20;

std::uint32_t be16(const std::uint8_t* p) { return (std::uint32_t{p[0]} << 8) | p[1]; }
std::uint32_t le16(const std::uint8_t* p) { return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8); }
std::uint32_t be32(const std::uint8_t* p) { return (be16(p) << 16) | be16(p + 2); }
std::int32_t le32(const std::uint8_t* p) {
  return static_cast<std::int32_t>(le16(p) | (le16(p + 2) << 16));
}

std::uint64_t boxBytes(std::uint64_t width, std::uint64_t height, double sizePercent) {
  if (width == 0 || height == 0 || width > 0x7FFFFFFF || height > 0x7FFFFFFF) return 0;
  const Size box = SizeThumb(sizePercent, Size{static_cast<int>(width), static_cast<int>(height)});
  return static_cast<std::uint64_t>(box.pixels()) * 3;
}

// JPEG: the frame header gives the size, the components' sampling and
// whether the file is progressive (whose coefficients are all kept).
LoadEstimate jpegBytes(Bytes d, double sizePercent) {
  std::size_t at = 2;
  while (at + 4 <= d.size()) {
    if (d[at] != 0xFF) return {kSmall, 0};
    const std::uint8_t marker = d[at + 1];
    if (marker == 0xFF) {
      ++at;
      continue;
    }
    const std::size_t length = be16(d.data() + at + 2);
    const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (frame) {
      if (at + 4 + length - 2 > d.size() || length < 8) return {kSmall, 0};
      const std::uint8_t* f = d.data() + at + 4;
      const std::uint64_t height = be16(f + 1);
      const std::uint64_t width = be16(f + 3);
      const int components = f[5];
      const bool progressive = marker == 0xC2 || marker == 0xC6 || marker == 0xCA || marker == 0xCE;
      std::uint64_t working = kSmall + width * 3 * 16;  // a few rows
      if (progressive && components > 0 && 8u + 3u * components <= length) {
        int hMax = 1, vMax = 1;
        for (int c = 0; c < components; ++c) {
          hMax = std::max(hMax, f[7 + 3 * c] >> 4);
          vMax = std::max(vMax, f[7 + 3 * c] & 0x0F);
        }
        for (int c = 0; c < components; ++c) {
          const int h = std::max(1, f[7 + 3 * c] >> 4);
          const int v = std::max(1, f[7 + 3 * c] & 0x0F);
          const std::uint64_t blocksAcross = (width * h + 8u * hMax - 1) / (8u * hMax);
          const std::uint64_t blocksDown = (height * v + 8u * vMax - 1) / (8u * vMax);
          working += blocksAcross * blocksDown * 128;  // 64 coefficients of 2 bytes
        }
      }
      return {working, boxBytes(width, height, sizePercent)};
    }
    if (marker == 0xDA || marker == 0xD9 || length < 2) return {kSmall, 0};
    at += 2 + length;
  }
  return {kSmall, 0};
}

}  // namespace

LoadEstimate estimateLoadBytes(Bytes d, double sizePercent) {
  if (d.size() >= 4 && d[0] == 0xFF && d[1] == 0xD8) return jpegBytes(d, sizePercent);
  std::uint64_t width = 0;
  std::uint64_t height = 0;
  if (d.size() >= 10 && std::memcmp(d.data(), "GIF", 3) == 0) {
    width = le16(d.data() + 6);
    height = le16(d.data() + 8);
  } else if (d.size() >= 24 && std::memcmp(d.data(), "\x89PNG", 4) == 0) {
    width = be32(d.data() + 16);
    height = be32(d.data() + 20);
  } else if (d.size() >= 26 && d[0] == 'B' && d[1] == 'M') {
    width = static_cast<std::uint64_t>(std::abs(static_cast<std::int64_t>(le32(d.data() + 18))));
    height = static_cast<std::uint64_t>(std::abs(static_cast<std::int64_t>(le32(d.data() + 22))));
  } else if (d.size() >= 12 && d[0] == 0x0A) {
    width = le16(d.data() + 8) + 1u - le16(d.data() + 4);
    height = le16(d.data() + 10) + 1u - le16(d.data() + 6);
    width &= 0xFFFF;
    height &= 0xFFFF;
  } else {
    return {kSmall, 0};
  }
  // These forms may hold one byte or more per pixel while decoding
  // (interlaced frames, compressed runs); four bytes bound them all.
  return {kSmall + std::min<std::uint64_t>(width * height, std::uint64_t{1} << 32) * 4,
          boxBytes(width, height, sizePercent)};
}

LoadEstimate estimateLoadBytes(const std::string& path, double sizePercent) {
  const util::UniqueFd fd = util::openForReading(path);
  if (!fd) return {kSmall, 0};
  std::vector<std::uint8_t> head;
  if (!util::readOn(fd.get(), head, kHeadBytes)) head.clear();
  struct stat st {};
  const std::uint64_t fileBytes =
      ::fstat(fd.get(), &st) == 0 && st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
  // The bytes read are held while decoding.
  const Bytes bytes(head.data(), head.size());
  LoadEstimate estimate = estimateLoadBytes(bytes, sizePercent);
  estimate.working += plannedReadBytes(pictureTypeFor(path), bytes, fileBytes);
  return estimate;
}

}  // namespace pixelmote::imaging
