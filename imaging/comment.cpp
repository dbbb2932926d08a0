// Finding the comment a thumbnail file carries near its start.
#include <cstring>

#include "imaging/codec.h"

namespace pixelmote::imaging {

namespace {

std::string jpegComment(Bytes data) {
  std::size_t at = 2;  // after SOI
  while (at + 4 <= data.size()) {
    if (data[at] != 0xFF) return {};
    const std::uint8_t marker = data[at + 1];
    if (marker == 0xFF) {  // fill byte
      ++at;
      continue;
    }
    if (marker == 0xDA || marker == 0xD9) return {};  // picture data: no comment before it
    const std::size_t length = (std::size_t{data[at + 2]} << 8) | data[at + 3];
    if (length < 2 || at + 2 + length > data.size()) return {};
    if (marker == 0xFE) return std::string(reinterpret_cast<const char*>(data.data() + at + 4), length - 2);
    at += 2 + length;
  }
  return {};
}

std::string gifComment(Bytes data) {
  if (data.size() < 13) return {};
  std::size_t at = 13;
  if (data[10] & 0x80) at += 3u * (std::size_t{1} << ((data[10] & 0x07) + 1));  // global colour table
  while (at < data.size()) {
    if (data[at] != 0x21 || at + 2 > data.size()) return {};  // an image or the end: no comment before it
    const std::uint8_t label = data[at + 1];
    at += 2;
    std::string text;
    // Sub-blocks up to the terminating empty one.
    while (at < data.size() && data[at] != 0) {
      const std::size_t n = data[at];
      if (at + 1 + n > data.size()) return {};
      if (label == 0xFE) text.append(reinterpret_cast<const char*>(data.data() + at + 1), n);
      at += 1 + n;
    }
    if (at >= data.size()) return {};
    ++at;
    if (label == 0xFE) return text;
  }
  return {};
}

}  // namespace

std::string leadingComment(Bytes data) {
  if (data.size() >= 2 && data[0] == 0xFF && data[1] == 0xD8) return jpegComment(data);
  if (data.size() >= 6 && (std::memcmp(data.data(), "GIF87a", 6) == 0 || std::memcmp(data.data(), "GIF89a", 6) == 0)) {
    return gifComment(data);
  }
  return {};
}

}  // namespace pixelmote::imaging
