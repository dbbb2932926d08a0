// Windows and OS/2 bitmap files: reading of the common forms, writing of
// 24-bit uncompressed files.

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "imaging/codec.h"
#include "imaging/estimate.h"
#include "imaging/palette.h"

namespace pixelmote::imaging {
namespace {

constexpr std::uint32_t kBiRgb = 0;
constexpr std::uint32_t kBiRle8 = 1;
constexpr std::uint32_t kBiRle4 = 2;
constexpr std::uint32_t kBiBitfields = 3;
constexpr std::uint32_t kBiJpeg = 4;
constexpr std::uint32_t kBiPng = 5;
constexpr std::uint32_t kBiAlphaBitfields = 6;

constexpr std::uint64_t kFileHeaderSize = 14;
constexpr std::uint32_t kCoreHeaderSize = 12;    // OS/2 1.x
constexpr std::uint32_t kInfoHeaderSize = 40;    // Windows 3 and the base of later forms
constexpr std::uint32_t kPixelsPerMetre = 2835;  // 72 dots per inch

std::uint16_t le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::string sizeText(std::int64_t w, std::int64_t h) { return std::to_string(w) + " x " + std::to_string(h); }

// One colour component described by a bit mask, scaled to 8 bits.
struct Channel {
  std::uint32_t mask = 0;
  int shift = 0;
  int bits = 0;

  static Channel fromMask(std::uint32_t mask) {
    Channel c;
    c.mask = mask;
    if (mask != 0) {
      c.shift = std::countr_zero(mask);
      c.bits = std::bit_width(mask >> c.shift);
    }
    return c;
  }
  std::uint8_t extract(std::uint32_t pixel) const {
    if (bits == 0) return 0;
    const std::uint32_t v = (pixel & mask) >> shift;
    if (bits >= 8) return static_cast<std::uint8_t>(v >> (bits - 8));
    const std::uint32_t max = (1u << bits) - 1;
    return static_cast<std::uint8_t>((v * 255 + max / 2) / max);
  }
};

std::uint8_t over(std::uint8_t c, std::uint8_t a, std::uint8_t bg) {
  return static_cast<std::uint8_t>((c * a + bg * (255 - a) + 127) / 255);
}

struct BmpLayout {
  std::int64_t width = 0;
  std::int64_t height = 0;  // always positive; see topDown
  bool topDown = false;
  int bitCount = 0;
  std::uint32_t compression = kBiRgb;
  std::uint64_t dataOffset = 0;
  std::array<Rgb, 256> palette{};
  int paletteSize = 0;
  Channel red, green, blue, alpha;
  bool useAlpha = false;
};

// `data` holds at least the headers and the palette; `fileSize` is the
// whole file's size, which the pixel data offset must lie within.
util::Status parseLayout(Bytes data, std::uint64_t fileSize, const DecodeLimits& limits, BmpLayout& out) {
  const std::uint64_t size = data.size();
  if (size < 2 || data[0] != 'B' || data[1] != 'M') return util::Status::failure("not a BMP file");
  if (size < kFileHeaderSize + 4) return util::Status::failure("data ends early");
  const std::uint8_t* d = data.data();
  const std::uint32_t headerSize = le32(d + 14);
  const bool core = headerSize == kCoreHeaderSize;
  if (!core && (headerSize < 16 || headerSize > 4096))
    return util::Status::failure("BMP header size " + std::to_string(headerSize) + " is not supported");
  if (kFileHeaderSize + headerSize > size) return util::Status::failure("data ends early");
  const std::uint8_t* h = d + kFileHeaderSize;
  // OS/2 2.x headers are 16 to 64 bytes long, Windows ones 40, 52, 56, 108 or 124.
  const bool os2 = core || headerSize < kInfoHeaderSize || headerSize == 64;

  std::int64_t height = 0;
  if (core) {
    out.width = le16(h + 4);
    height = le16(h + 6);
    out.bitCount = le16(h + 10);
  } else {
    out.width = static_cast<std::int32_t>(le32(h + 4));
    height = static_cast<std::int32_t>(le32(h + 8));
    out.bitCount = le16(h + 14);
    if (headerSize >= 20) out.compression = le32(h + 16);
  }
  out.topDown = height < 0;
  out.height = height < 0 ? -height : height;
  if (out.width <= 0 || out.height <= 0)
    return util::Status::failure("BMP picture size " + sizeText(out.width, height) + " is invalid");
  if (out.width * out.height > limits.maxPixels)
    return util::Status::failure("picture of " + sizeText(out.width, out.height) + " pixels is too large");

  const int bits = out.bitCount;
  if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
    return util::Status::failure("BMP with " + std::to_string(bits) + " bits per pixel is not supported");
  const std::uint32_t comp = out.compression;
  const bool bitfields = !os2 && (comp == kBiBitfields || comp == kBiAlphaBitfields);
  const bool supported = comp == kBiRgb || (comp == kBiRle8 && bits == 8) || (comp == kBiRle4 && bits == 4) ||
                         (bitfields && (bits == 16 || bits == 32));
  if (!supported) {
    if (!os2 && (comp == kBiJpeg || comp == kBiPng))
      return util::Status::failure("BMP holding an embedded JPEG or PNG picture is not supported");
    return util::Status::failure("BMP compression " + std::to_string(comp) + " with " + std::to_string(bits) +
                                 " bits per pixel is not supported");
  }
  if (out.topDown && (comp == kBiRle8 || comp == kBiRle4))
    return util::Status::failure("compressed BMP cannot be stored top-down");

  // Masks follow the 40-byte part of the header (inside it for later forms).
  std::uint64_t paletteStart = kFileHeaderSize + headerSize;
  if (bitfields) {
    const bool withAlpha = comp == kBiAlphaBitfields || headerSize >= 56;
    const std::uint64_t maskEnd = kFileHeaderSize + kInfoHeaderSize + (withAlpha ? 16 : 12);
    if (maskEnd > size) return util::Status::failure("data ends early");
    const std::uint8_t* m = d + kFileHeaderSize + kInfoHeaderSize;
    out.red = Channel::fromMask(le32(m));
    out.green = Channel::fromMask(le32(m + 4));
    out.blue = Channel::fromMask(le32(m + 8));
    if (withAlpha) out.alpha = Channel::fromMask(le32(m + 12));
    out.useAlpha = out.alpha.bits > 0;
    paletteStart = std::max(paletteStart, maskEnd);
  } else if (bits == 16) {
    out.red = Channel::fromMask(0x7C00);
    out.green = Channel::fromMask(0x03E0);
    out.blue = Channel::fromMask(0x001F);
  } else if (bits == 32) {
    out.red = Channel::fromMask(0x00FF0000);
    out.green = Channel::fromMask(0x0000FF00);
    out.blue = Channel::fromMask(0x000000FF);
  }

  if (bits <= 8) {
    const std::uint64_t maxEntries = std::uint64_t{1} << bits;
    std::uint64_t entries = maxEntries;
    if (!core && headerSize >= 36) {
      const std::uint32_t used = le32(h + 32);
      if (used != 0) entries = std::min<std::uint64_t>(used, maxEntries);
    }
    const std::uint64_t entrySize = core ? 3 : 4;
    if (paletteStart + entries * entrySize > size) return util::Status::failure("BMP palette ends early");
    for (std::uint64_t i = 0; i < entries; ++i) {
      const std::uint8_t* p = d + paletteStart + i * entrySize;
      out.palette[i] = Rgb{p[2], p[1], p[0]};
    }
    out.paletteSize = static_cast<int>(entries);
  }

  out.dataOffset = le32(d + 10);
  if (out.dataOffset < kFileHeaderSize + headerSize || out.dataOffset > fileSize)
    return util::Status::failure("BMP pixel data offset " + std::to_string(out.dataOffset) + " is invalid");
  return util::Status::success();
}

// Converts one stored row of an uncompressed bitmap into RGB.
class RowConverter {
 public:
  RowConverter(const BmpLayout& layout, Rgb background) : m_l(layout), m_bg(background) {}

  void convert(const std::uint8_t* src, std::uint8_t* dst) const {
    const std::int64_t w = m_l.width;
    switch (m_l.bitCount) {
      case 1:
      case 4:
      case 8: {
        const int bits = m_l.bitCount;
        const int perByte = 8 / bits;
        const unsigned mask = (1u << bits) - 1;
        for (std::int64_t x = 0; x < w; ++x) {
          const int shift = 8 - bits * static_cast<int>(x % perByte + 1);
          const unsigned index = (src[x / perByte] >> shift) & mask;
          const Rgb c = static_cast<int>(index) < m_l.paletteSize ? m_l.palette[index] : Rgb{0, 0, 0};
          dst[0] = c.r;
          dst[1] = c.g;
          dst[2] = c.b;
          dst += 3;
        }
        break;
      }
      case 24:
        for (std::int64_t x = 0; x < w; ++x, src += 3, dst += 3) {
          dst[0] = src[2];
          dst[1] = src[1];
          dst[2] = src[0];
        }
        break;
      case 16:
      case 32: {
        const int step = m_l.bitCount / 8;
        for (std::int64_t x = 0; x < w; ++x, src += step, dst += 3) {
          const std::uint32_t v = step == 2 ? le16(src) : le32(src);
          std::uint8_t r = m_l.red.extract(v);
          std::uint8_t g = m_l.green.extract(v);
          std::uint8_t b = m_l.blue.extract(v);
          if (m_l.useAlpha) {
            const std::uint8_t a = m_l.alpha.extract(v);
            r = over(r, a, m_bg.r);
            g = over(g, a, m_bg.g);
            b = over(b, a, m_bg.b);
          }
          dst[0] = r;
          dst[1] = g;
          dst[2] = b;
        }
        break;
      }
      default:
        break;
    }
  }

 private:
  const BmpLayout& m_l;
  Rgb m_bg;
};

// Rows of an uncompressed bitmap go to the sink straight from the file's
// bytes; bottom-up files are addressed from their last stored row.
util::Status decodeUncompressed(Bytes data, BmpLayout& layout, const DecodeRequest& request, RowSink& sink) {
  const std::int64_t w = layout.width;
  const std::int64_t h = layout.height;
  const std::uint64_t rowBits = static_cast<std::uint64_t>(w) * layout.bitCount;
  const std::uint64_t rowBytes = (rowBits + 31) / 32 * 4;
  const std::uint64_t lastRowBytes = (rowBits + 7) / 8;  // the final row's padding may be missing
  const std::uint64_t available = data.size() - layout.dataOffset;
  const std::uint64_t fullRows = static_cast<std::uint64_t>(h - 1);
  if (fullRows > 0 && rowBytes > available / fullRows) return util::Status::failure("data ends early");
  if (rowBytes * fullRows + lastRowBytes > available) return util::Status::failure("data ends early");
  const std::uint8_t* pixels = data.data() + layout.dataOffset;

  // A writer that leaves every alpha value at zero meant no transparency.
  if (layout.useAlpha) {
    bool anyAlpha = false;
    const int step = layout.bitCount / 8;
    for (std::int64_t y = 0; y < h && !anyAlpha; ++y) {
      const std::uint8_t* p = pixels + static_cast<std::uint64_t>(y) * rowBytes;
      for (std::int64_t x = 0; x < w; ++x, p += step) {
        const std::uint32_t v = step == 2 ? le16(p) : le32(p);
        if ((v & layout.alpha.mask) != 0) {
          anyAlpha = true;
          break;
        }
      }
    }
    layout.useAlpha = anyAlpha;
  }

  const Size size{static_cast<int>(w), static_cast<int>(h)};
  if (!sink.begin(size, size, Coverage{})) return util::Status::failure("picture refused");
  std::vector<std::uint8_t> out(static_cast<std::size_t>(w) * 3);
  const RowConverter converter(layout, request.background);
  for (std::int64_t y = 0; y < h; ++y) {
    const std::int64_t stored = layout.topDown ? y : h - 1 - y;
    converter.convert(pixels + static_cast<std::uint64_t>(stored) * rowBytes, out.data());
    sink.row(static_cast<int>(y), out.data());
  }
  return util::Status::success();
}

// Run-length coded 4- and 8-bit bitmaps. Their codes jump about the picture
// (deltas, early line ends), so the indices are gathered first; pixels the
// codes never reach show the background.
util::Status decodeRunLength(Bytes data, const BmpLayout& layout, const DecodeRequest& request, RowSink& sink) {
  const std::int64_t w = layout.width;
  const std::int64_t h = layout.height;
  const std::size_t count = static_cast<std::size_t>(w * h);
  std::vector<std::uint8_t> indices;
  std::vector<std::uint8_t> written;
  try {
    indices.assign(count, 0);
    written.assign((count + 7) / 8, 0);
  } catch (const std::bad_alloc&) {
    return util::Status::failure("not enough memory for a picture of " + sizeText(w, h) + " pixels");
  }
  const bool four = layout.compression == kBiRle4;
  const std::uint8_t* p = data.data() + layout.dataOffset;
  const std::uint8_t* end = data.data() + data.size();
  std::int64_t x = 0;
  std::int64_t y = 0;  // stored row: 0 is the bottom one
  auto put = [&](unsigned index) {
    if (x < w && y < h) {
      const std::size_t i = static_cast<std::size_t>(y * w + x);
      indices[i] = static_cast<std::uint8_t>(index);
      written[i / 8] = static_cast<std::uint8_t>(written[i / 8] | (1u << (i % 8)));
    }
    ++x;
  };
  bool finished = false;
  while (!finished && y < h) {
    if (end - p < 2) return util::Status::failure("data ends early");
    const unsigned n = p[0];
    const unsigned value = p[1];
    p += 2;
    if (n > 0) {
      for (unsigned i = 0; i < n; ++i) put(four ? (i % 2 == 0 ? value >> 4 : value & 0x0F) : value);
      continue;
    }
    switch (value) {
      case 0:  // end of line
        x = 0;
        ++y;
        break;
      case 1:  // end of picture
        finished = true;
        break;
      case 2:  // move right and up
        if (end - p < 2) return util::Status::failure("data ends early");
        x += p[0];
        y += p[1];
        p += 2;
        break;
      default: {  // literal pixels, padded to an even byte count
        const unsigned bytes = four ? (value + 1) / 2 : value;
        const unsigned padded = bytes + (bytes & 1);
        if (static_cast<unsigned>(end - p) < padded) return util::Status::failure("data ends early");
        for (unsigned i = 0; i < value; ++i) put(four ? (i % 2 == 0 ? p[i / 2] >> 4 : p[i / 2] & 0x0F) : p[i]);
        p += padded;
        break;
      }
    }
  }

  const Size size{static_cast<int>(w), static_cast<int>(h)};
  if (!sink.begin(size, size, Coverage{})) return util::Status::failure("picture refused");
  std::vector<std::uint8_t> out(static_cast<std::size_t>(w) * 3);
  for (std::int64_t row = 0; row < h; ++row) {
    const std::size_t base = static_cast<std::size_t>((h - 1 - row) * w);
    std::uint8_t* o = out.data();
    for (std::int64_t col = 0; col < w; ++col, o += 3) {
      const std::size_t i = base + static_cast<std::size_t>(col);
      Rgb c = request.background;
      if (written[i / 8] & (1u << (i % 8))) c = indices[i] < layout.paletteSize ? layout.palette[indices[i]] : Rgb{};
      o[0] = c.r;
      o[1] = c.g;
      o[2] = c.b;
    }
    sink.row(static_cast<int>(row), out.data());
  }
  return util::Status::success();
}

void put16(std::string& s, std::size_t at, std::uint32_t v) {
  s[at] = static_cast<char>(v & 0xFF);
  s[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}
void put32(std::string& s, std::size_t at, std::uint32_t v) {
  put16(s, at, v & 0xFFFF);
  put16(s, at + 2, v >> 16);
}

}  // namespace

util::Status decodeBmp(Bytes data, const DecodeRequest& request, RowSink& sink) {
  BmpLayout layout;
  if (util::Status s = parseLayout(data, data.size(), request.limits, layout); !s) return s;
  if (layout.compression == kBiRle8 || layout.compression == kBiRle4)
    return decodeRunLength(data, layout, request, sink);
  return decodeUncompressed(data, layout, request, sink);
}

util::Result<HeadCheck> checkBmpHead(Bytes head, std::uint64_t fileSize, const DecodeLimits& limits) {
  // The headers and the palette take at most a few kilobytes: the head holds
  // them unless the file is shorter.
  BmpLayout layout;
  if (util::Status s = parseLayout(head, fileSize, limits, layout); !s) return util::Result<HeadCheck>::failure(s.message());
  const std::uint64_t w = static_cast<std::uint64_t>(layout.width);
  const std::uint64_t h = static_cast<std::uint64_t>(layout.height);
  std::uint64_t pixelBytes = 0;
  if (layout.compression == kBiRle8 || layout.compression == kBiRle4) {
    // A run of one pixel takes two bytes; every row ends with two more.
    pixelBytes = 4 * w * h + 4 * h + 64;
  } else {
    pixelBytes = (w * static_cast<std::uint64_t>(layout.bitCount) + 31) / 32 * 4 * h;
  }
  HeadCheck check;
  check.readBound = layout.dataOffset + pixelBytes + kMetadataRoom;
  return check;
}

util::Result<std::string> encodeBmp(const Raster& raster) {
  if (util::Status s = checkWritable(raster); !s) return util::Result<std::string>::failure(s.message());
  const std::int64_t w = raster.size.width;
  const std::int64_t h = raster.size.height;
  const std::uint64_t rowBytes = (static_cast<std::uint64_t>(w) * 3 + 3) / 4 * 4;
  const std::uint64_t imageBytes = rowBytes * static_cast<std::uint64_t>(h);
  const std::uint64_t fileBytes = kFileHeaderSize + kInfoHeaderSize + imageBytes;
  if (fileBytes > 0xFFFFFFFFu || w > 0x7FFFFFFF || h > 0x7FFFFFFF)
    return util::Result<std::string>::failure("picture of " + sizeText(w, h) + " pixels is too large for BMP");

  std::string out;
  try {
    out.assign(static_cast<std::size_t>(fileBytes), '\0');
  } catch (const std::bad_alloc&) {
    return util::Result<std::string>::failure("not enough memory to write a BMP file");
  }
  out[0] = 'B';
  out[1] = 'M';
  put32(out, 2, static_cast<std::uint32_t>(fileBytes));
  put32(out, 10, kFileHeaderSize + kInfoHeaderSize);
  put32(out, 14, kInfoHeaderSize);
  put32(out, 18, static_cast<std::uint32_t>(w));
  put32(out, 22, static_cast<std::uint32_t>(h));  // positive: bottom row first
  put16(out, 26, 1);                              // planes
  put16(out, 28, 24);                             // bits per pixel
  put32(out, 30, kBiRgb);
  put32(out, 34, static_cast<std::uint32_t>(imageBytes));
  put32(out, 38, kPixelsPerMetre);
  put32(out, 42, kPixelsPerMetre);
  // Colours used and important stay 0: no palette.
  for (std::int64_t y = 0; y < h; ++y) {
    const std::uint8_t* src = raster.row(static_cast<int>(y));
    char* dst = out.data() + kFileHeaderSize + kInfoHeaderSize + static_cast<std::uint64_t>(h - 1 - y) * rowBytes;
    for (std::int64_t x = 0; x < w; ++x, src += 3, dst += 3) {
      dst[0] = static_cast<char>(src[2]);
      dst[1] = static_cast<char>(src[1]);
      dst[2] = static_cast<char>(src[0]);
    }
  }
  return out;
}


namespace {

LoadEstimate estimateBmpLoad(Bytes d, double sizePercent) {
  if (d.size() < 26 || d[0] != 'B' || d[1] != 'M') return {kSmallLoad, 0};
  const auto extent = [](const std::uint8_t* p) {
    return static_cast<std::uint64_t>(std::abs(static_cast<std::int64_t>(static_cast<std::int32_t>(le32(p)))));
  };
  return pixelLoadEstimate(extent(d.data() + 18), extent(d.data() + 22), sizePercent);
}

util::Result<std::string> encodeBmpWith(const Raster& raster, const EncodeSettings&) { return encodeBmp(raster); }

constexpr std::string_view kBmpSuffixes[] = {"bmp"};

}  // namespace

const Codec kBmpCodec{"BMP", kBmpSuffixes, 3, true, checkBmpHead, estimateBmpLoad, decodeBmp, encodeBmpWith};

}  // namespace pixelmote::imaging
