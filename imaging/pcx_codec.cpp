// PC Paintbrush files: reading of the 1-, 2-, 4-, 8- and 24-bit forms,
// writing of the 8-bit palette and 24-bit forms.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "imaging/codec.h"
#include "imaging/estimate.h"
#include "imaging/palette.h"

namespace pixelmote::imaging {
namespace {

constexpr std::size_t kHeaderSize = 128;
constexpr std::size_t kTailPaletteSize = 769;  // marker byte 0x0C and 256 RGB triples
constexpr std::uint8_t kTailPaletteMarker = 0x0C;
constexpr int kMaxRun = 63;

// The colours of 16-colour pictures whose header carries no palette.
constexpr std::array<Rgb, 16> kDefaultPalette{{{0, 0, 0},
                                               {0, 0, 170},
                                               {0, 170, 0},
                                               {0, 170, 170},
                                               {170, 0, 0},
                                               {170, 0, 170},
                                               {170, 85, 0},
                                               {170, 170, 170},
                                               {85, 85, 85},
                                               {85, 85, 255},
                                               {85, 255, 85},
                                               {85, 255, 255},
                                               {255, 85, 85},
                                               {255, 85, 255},
                                               {255, 255, 85},
                                               {255, 255, 255}}};

std::uint16_t le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

std::string sizeText(std::int64_t w, std::int64_t h) { return std::to_string(w) + " x " + std::to_string(h); }

std::uint8_t over(std::uint8_t c, std::uint8_t a, std::uint8_t bg) {
  return static_cast<std::uint8_t>((c * a + bg * (255 - a) + 127) / 255);
}

// Reads scan lines from run-length coded (or plain) data. A run may carry
// on past the end of a line; its rest starts the next one.
class LineReader {
 public:
  LineReader(const std::uint8_t* begin, const std::uint8_t* end, bool coded) : m_p(begin), m_end(end), m_coded(coded) {}

  bool read(std::uint8_t* out, std::size_t n) {
    std::size_t i = 0;
    while (i < n) {
      if (m_pending > 0) {
        const std::size_t take = std::min<std::size_t>(m_pending, n - i);
        std::memset(out + i, m_pendingValue, take);
        m_pending -= static_cast<int>(take);
        i += take;
        continue;
      }
      if (m_p >= m_end) return false;
      const std::uint8_t b = *m_p++;
      if (m_coded && (b & 0xC0) == 0xC0) {
        if (m_p >= m_end) return false;
        m_pending = b & 0x3F;
        m_pendingValue = *m_p++;
      } else {
        out[i++] = b;
      }
    }
    return true;
  }

 private:
  const std::uint8_t* m_p;
  const std::uint8_t* m_end;
  bool m_coded;
  int m_pending = 0;
  std::uint8_t m_pendingValue = 0;
};

enum class Form { kIndexed8, kRgb, kRgba, kPacked, kPlanar };

// Appends one line of bytes, run-length coded.
void appendCoded(std::string& out, const std::uint8_t* line, std::size_t n) {
  std::size_t i = 0;
  while (i < n) {
    const std::uint8_t v = line[i];
    std::size_t run = 1;
    while (i + run < n && run < kMaxRun && line[i + run] == v) ++run;
    if (run > 1 || (v & 0xC0) == 0xC0) out.push_back(static_cast<char>(0xC0 | run));
    out.push_back(static_cast<char>(v));
    i += run;
  }
}

// The signature, the picture window and its size.
util::Status checkHeader(Bytes data, const DecodeLimits& limits) {
  if (data.empty() || data[0] != 0x0A) return util::Status::failure("not a PCX file");
  if (data.size() < kHeaderSize) return util::Status::failure("data ends early");
  const std::uint8_t* d = data.data();
  if (d[1] > 5 || d[2] > 1) return util::Status::failure("not a PCX file");  // version, encoding
  const int xMin = le16(d + 4), yMin = le16(d + 6), xMax = le16(d + 8), yMax = le16(d + 10);
  if (xMax < xMin || yMax < yMin) return util::Status::failure("PCX picture window is invalid");
  const std::int64_t w = std::int64_t{xMax} - xMin + 1;
  const std::int64_t h = std::int64_t{yMax} - yMin + 1;
  if (w * h > limits.maxPixels) return util::Status::failure("picture of " + sizeText(w, h) + " pixels is too large");
  return util::Status::success();
}

}  // namespace

// The palette of 256-colour files sits at the very end of the file: it is
// read whole.
util::Result<HeadCheck> checkPcxHead(Bytes head, std::uint64_t /*fileSize*/, const DecodeLimits& limits) {
  if (util::Status s = checkHeader(head, limits); !s) return util::Result<HeadCheck>::failure(s.message());
  HeadCheck check;
  check.readBound = kWholeFile;
  return check;
}

util::Status decodePcx(Bytes data, const DecodeRequest& request, RowSink& sink) {
  if (util::Status s = checkHeader(data, request.limits); !s) return s;
  const std::uint8_t* d = data.data();
  const int bits = d[3];
  const int version = d[1];
  const int encoding = d[2];
  const std::int64_t w = std::int64_t{le16(d + 8)} - le16(d + 4) + 1;
  const std::int64_t h = std::int64_t{le16(d + 10)} - le16(d + 6) + 1;
  const int planes = d[65];
  const std::size_t bytesPerLine = le16(d + 66);

  Form form;
  if (planes == 1 && bits == 8)
    form = Form::kIndexed8;
  else if (planes == 3 && bits == 8)
    form = Form::kRgb;
  else if (planes == 4 && bits == 8)
    form = Form::kRgba;
  else if (planes == 1 && (bits == 1 || bits == 2 || bits == 4))
    form = Form::kPacked;
  else if (planes >= 2 && planes <= 4 && bits == 1)
    form = Form::kPlanar;
  else
    return util::Status::failure("PCX with " + std::to_string(planes) + " planes of " + std::to_string(bits) +
                                 " bits is not supported");
  if (bytesPerLine == 0 || bytesPerLine < (static_cast<std::size_t>(w) * bits + 7) / 8)
    return util::Status::failure("PCX line length " + std::to_string(bytesPerLine) + " is too short");

  std::array<Rgb, 256> palette{};
  const std::uint8_t* dataEnd = d + data.size();
  if (form == Form::kIndexed8) {
    if (data.size() < kHeaderSize + kTailPaletteSize ||
        dataEnd[-static_cast<std::ptrdiff_t>(kTailPaletteSize)] != kTailPaletteMarker)
      return util::Status::failure("PCX colour palette is missing");
    const std::uint8_t* p = dataEnd - (kTailPaletteSize - 1);
    for (std::size_t i = 0; i < 256; ++i, p += 3) palette[i] = Rgb{p[0], p[1], p[2]};
    dataEnd -= kTailPaletteSize;
  } else if (form == Form::kPacked || form == Form::kPlanar) {
    const std::uint8_t* p = d + 16;
    bool allZero = true;
    for (std::size_t i = 0; i < 16; ++i, p += 3) {
      palette[i] = Rgb{p[0], p[1], p[2]};
      allZero = allZero && palette[i] == Rgb{};
    }
    const int colours = 1 << (bits * planes);
    if (colours == 2 && palette[0] == palette[1]) {
      palette[0] = Rgb{0, 0, 0};  // monochrome without a useful palette
      palette[1] = Rgb{255, 255, 255};
    } else if (version == 3 || allZero) {
      std::copy(kDefaultPalette.begin(), kDefaultPalette.end(), palette.begin());
    }
  }

  // A coded pair of bytes yields at most 63: refuse data too short for the
  // declared size before the picture is set up.
  const std::size_t lineBytes = bytesPerLine * static_cast<std::size_t>(planes);
  const std::uint64_t needed = static_cast<std::uint64_t>(lineBytes) * static_cast<std::uint64_t>(h);
  const std::uint64_t available = static_cast<std::uint64_t>(dataEnd - (d + kHeaderSize));
  if ((encoding == 1 ? available * kMaxRun / 2 : available) < needed) return util::Status::failure("data ends early");

  const Size size{static_cast<int>(w), static_cast<int>(h)};
  if (!sink.begin(size, size, Coverage{})) return util::Status::failure("picture refused");
  LineReader reader(d + kHeaderSize, dataEnd, encoding == 1);
  std::vector<std::uint8_t> line(lineBytes);
  std::vector<std::uint8_t> out(static_cast<std::size_t>(w) * 3);
  const Rgb bg = request.background;
  for (std::int64_t y = 0; y < h; ++y) {
    if (!reader.read(line.data(), lineBytes)) return util::Status::failure("data ends early");
    std::uint8_t* o = out.data();
    const std::uint8_t* l = line.data();
    for (std::int64_t x = 0; x < w; ++x, o += 3) {
      Rgb c;
      switch (form) {
        case Form::kIndexed8:
          c = palette[l[x]];
          break;
        case Form::kRgb:
          c = Rgb{l[x], l[bytesPerLine + x], l[2 * bytesPerLine + x]};
          break;
        case Form::kRgba: {
          const std::uint8_t a = l[3 * bytesPerLine + x];
          c = Rgb{over(l[x], a, bg.r), over(l[bytesPerLine + x], a, bg.g), over(l[2 * bytesPerLine + x], a, bg.b)};
          break;
        }
        case Form::kPacked: {
          const std::size_t bit = static_cast<std::size_t>(x) * bits;
          const unsigned index = (l[bit / 8] >> (8 - bits - bit % 8)) & ((1u << bits) - 1);
          c = palette[index];
          break;
        }
        case Form::kPlanar: {
          unsigned index = 0;
          for (int p = 0; p < planes; ++p) index |= ((l[p * bytesPerLine + x / 8] >> (7 - x % 8)) & 1u) << p;
          c = palette[index];
          break;
        }
      }
      o[0] = c.r;
      o[1] = c.g;
      o[2] = c.b;
    }
    sink.row(static_cast<int>(y), out.data());
  }
  return util::Status::success();
}

util::Result<std::string> encodePcx(const Raster& raster, int bits) {
  using R = util::Result<std::string>;
  if (util::Status s = checkWritable(raster); !s) return R::failure(s.message());
  const std::int64_t w = raster.size.width;
  const std::int64_t h = raster.size.height;
  // Lines hold an even number of bytes, and the window's edges are 16-bit.
  const std::size_t bytesPerLine = static_cast<std::size_t>(w + (w & 1));
  if (bytesPerLine > 0xFFFF || h > 0x10000)
    return R::failure("picture of " + sizeText(w, h) + " pixels is too large for PCX");

  std::optional<ExactPalette> palette;
  if (bits >= 1 && bits <= 8) {
    try {
      palette = exactPalette(raster, std::size_t{1} << bits);
    } catch (const std::bad_alloc&) {
      return R::failure("not enough memory to write a PCX file");
    }
  }
  const int planes = palette ? 1 : 3;

  std::string out(kHeaderSize, '\0');
  auto put16 = [&out](std::size_t at, std::uint32_t v) {
    out[at] = static_cast<char>(v & 0xFF);
    out[at + 1] = static_cast<char>((v >> 8) & 0xFF);
  };
  out[0] = 0x0A;  // maker
  out[1] = 5;     // version with a 256-colour palette
  out[2] = 1;     // run-length coded
  out[3] = 8;     // bits per pixel in each plane
  put16(8, static_cast<std::uint32_t>(w - 1));
  put16(10, static_cast<std::uint32_t>(h - 1));
  put16(12, 72);  // dots per inch
  put16(14, 72);
  if (palette) {
    for (std::size_t i = 0; i < palette->colours.size() && i < 16; ++i) {
      out[16 + 3 * i] = static_cast<char>(palette->colours[i].r);
      out[17 + 3 * i] = static_cast<char>(palette->colours[i].g);
      out[18 + 3 * i] = static_cast<char>(palette->colours[i].b);
    }
  }
  out[65] = static_cast<char>(planes);
  put16(66, static_cast<std::uint32_t>(bytesPerLine));
  put16(68, 1);  // colour picture

  try {
    std::vector<std::uint8_t> line(bytesPerLine, 0);
    for (std::int64_t y = 0; y < h; ++y) {
      if (palette) {
        const std::uint8_t* idx = palette->indices.data() + static_cast<std::size_t>(y * w);
        std::copy(idx, idx + w, line.begin());
        appendCoded(out, line.data(), bytesPerLine);
      } else {
        const std::uint8_t* src = raster.row(static_cast<int>(y));
        for (int plane = 0; plane < 3; ++plane) {
          for (std::int64_t x = 0; x < w; ++x) line[static_cast<std::size_t>(x)] = src[x * 3 + plane];
          appendCoded(out, line.data(), bytesPerLine);
        }
      }
    }
    if (palette) {
      out.push_back(static_cast<char>(kTailPaletteMarker));
      std::string tail(768, '\0');
      for (std::size_t i = 0; i < palette->colours.size(); ++i) {
        tail[3 * i] = static_cast<char>(palette->colours[i].r);
        tail[3 * i + 1] = static_cast<char>(palette->colours[i].g);
        tail[3 * i + 2] = static_cast<char>(palette->colours[i].b);
      }
      out += tail;
    }
  } catch (const std::bad_alloc&) {
    return R::failure("not enough memory to write a PCX file");
  }
  return out;
}


namespace {

LoadEstimate estimatePcxLoad(Bytes d, double sizePercent) {
  if (d.size() < 12 || d[0] != 0x0A) return {kSmallLoad, 0};
  const std::uint64_t width = (le16(d.data() + 8) + 1u - le16(d.data() + 4)) & 0xFFFF;
  const std::uint64_t height = (le16(d.data() + 10) + 1u - le16(d.data() + 6)) & 0xFFFF;
  return pixelLoadEstimate(width, height, sizePercent);
}

util::Result<std::string> encodePcxWith(const Raster& raster, const EncodeSettings& settings) {
  return encodePcx(raster, settings.bits);
}

constexpr std::string_view kPcxSuffixes[] = {"pcx"};

}  // namespace

const Codec kPcxCodec{"PCX", kPcxSuffixes, 2, true, checkPcxHead, estimatePcxLoad, decodePcx, encodePcxWith};

}  // namespace pixelmote::imaging
