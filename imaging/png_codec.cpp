// PNG files through libpng: reading of every colour type and depth,
// writing of truecolour or exact-palette files.

#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "imaging/codec.h"
#include "imaging/estimate.h"
#include "imaging/palette.h"

namespace pixelmote::imaging {
namespace {

constexpr std::size_t kChunkMemoryLimit = std::size_t{16} << 20;  // one ancillary chunk, decompressed

std::string sizeText(std::int64_t w, std::int64_t h) { return std::to_string(w) + " x " + std::to_string(h); }

std::uint32_t be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

std::uint8_t over(std::uint8_t c, std::uint8_t a, std::uint8_t bg) {
  return static_cast<std::uint8_t>((c * a + bg * (255 - a) + 127) / 255);
}

// What libpng's error function leaves behind before it jumps back.
struct ErrorState {
  char message[200] = "";
};

// libpng's error function: keep the message, return control through the
// jump buffer (never a C++ exception through libpng's frames).
[[noreturn]] void onError(png_structp png, png_const_charp message) {
  auto* state = static_cast<ErrorState*>(png_get_error_ptr(png));
  if (state != nullptr) {
    std::strncpy(state->message, message != nullptr ? message : "unknown error", sizeof state->message - 1);
    state->message[sizeof state->message - 1] = '\0';
  }
  png_longjmp(png, 1);
}

void onWarning(png_structp, png_const_charp) {}

// Runs `f`, which calls libpng; false if libpng reported an error. `f` must
// hold no objects with destructors, since the jump skips them.
template <class F>
bool guarded(png_structp png, F&& f) {
  if (setjmp(png_jmpbuf(png))) return false;
  f();
  return true;
}

struct MemoryReader {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  std::size_t pos = 0;
  bool ranOut = false;
};

void readFromMemory(png_structp png, png_bytep out, std::size_t n) {
  auto* r = static_cast<MemoryReader*>(png_get_io_ptr(png));
  if (n > r->size - r->pos) {
    r->ranOut = true;
    png_error(png, "data ends early");
  }
  std::memcpy(out, r->data + r->pos, n);
  r->pos += n;
}

void writeToString(png_structp png, png_bytep data, std::size_t n) {
  auto* out = static_cast<std::string*>(png_get_io_ptr(png));
  bool grown = true;
  try {
    out->append(reinterpret_cast<const char*>(data), n);
  } catch (...) {
    grown = false;
  }
  if (!grown) png_error(png, "not enough memory");
}

void flushNothing(png_structp) {}

// Owns a libpng read or write structure with its info structure.
class PngHandle {
 public:
  PngHandle(bool reading, ErrorState* errors) : m_reading(reading) {
    m_png = reading ? png_create_read_struct(PNG_LIBPNG_VER_STRING, errors, onError, onWarning)
                    : png_create_write_struct(PNG_LIBPNG_VER_STRING, errors, onError, onWarning);
    if (m_png != nullptr) m_info = png_create_info_struct(m_png);
  }
  ~PngHandle() { reset(); }
  PngHandle(PngHandle&& other) noexcept
      : m_reading(other.m_reading),
        m_png(std::exchange(other.m_png, nullptr)),
        m_info(std::exchange(other.m_info, nullptr)) {}
  PngHandle& operator=(PngHandle&& other) noexcept {
    if (this != &other) {
      reset();
      m_reading = other.m_reading;
      m_png = std::exchange(other.m_png, nullptr);
      m_info = std::exchange(other.m_info, nullptr);
    }
    return *this;
  }
  PngHandle(const PngHandle&) = delete;
  PngHandle& operator=(const PngHandle&) = delete;

  bool valid() const { return m_png != nullptr && m_info != nullptr; }
  png_structp png() const { return m_png; }
  png_infop info() const { return m_info; }

 private:
  void reset() noexcept {
    if (m_png == nullptr) return;
    if (m_reading)
      png_destroy_read_struct(&m_png, m_info != nullptr ? &m_info : nullptr, nullptr);
    else
      png_destroy_write_struct(&m_png, m_info != nullptr ? &m_info : nullptr);
    m_png = nullptr;
    m_info = nullptr;
  }
  bool m_reading;
  png_structp m_png = nullptr;
  png_infop m_info = nullptr;
};

// Converts one decoded row (RGB or RGBA, 8 bits) to RGB over `bg`.
void toRgb(const std::uint8_t* src, int channels, std::size_t width, Rgb bg, std::uint8_t* dst) {
  if (channels == 3) {
    std::memcpy(dst, src, width * 3);
    return;
  }
  for (std::size_t x = 0; x < width; ++x, src += 4, dst += 3) {
    dst[0] = over(src[0], src[3], bg.r);
    dst[1] = over(src[1], src[3], bg.g);
    dst[2] = over(src[2], src[3], bg.b);
  }
}

util::Status libpngFailure(const MemoryReader& reader, const ErrorState& errors) {
  if (reader.ranOut) return util::Status::failure("data ends early");
  return util::Status::failure(std::string("corrupt PNG data: ") + errors.message);
}

// libpng only warns about an ancillary chunk beyond its memory limit and
// then allocates the declared length before reading it, so a few bytes can
// declare a chunk of 2 GB. A chunk other than picture data whose declared
// length runs past the end of the data is refused first: what libpng
// allocates for a chunk stays within the size of the file.
bool chunksFitTheData(Bytes data) {
  std::size_t at = 8;
  while (data.size() - at >= 8) {
    const std::size_t length = be32(data.data() + at);
    const std::uint8_t* type = data.data() + at + 4;
    if (length > data.size() - at - 8) {
      // Picture data is read in pieces, never allocated whole: a cut one is
      // libpng's to report, after the rows it could read.
      return std::memcmp(type, "IDAT", 4) == 0;
    }
    if (std::memcmp(type, "IEND", 4) == 0) return true;
    at += 8 + length;
    if (data.size() - at < 4) return true;  // the checksum is libpng's to find missing
    at += 4;
  }
  return true;
}

// The signature and the header chunk, which comes first: the declared size
// is checked before libpng allocates anything for it.
util::Status checkHeader(Bytes data, const DecodeLimits& limits) {
  if (data.size() < 8 || png_sig_cmp(data.data(), 0, 8) != 0) return util::Status::failure("not a PNG file");
  if (data.size() < 8 + 8 + 13) return util::Status::failure("data ends early");
  if (std::memcmp(data.data() + 12, "IHDR", 4) != 0) return util::Status::failure("corrupt PNG data: no header chunk");
  const std::int64_t declaredW = be32(data.data() + 16);
  const std::int64_t declaredH = be32(data.data() + 20);
  if (declaredW == 0 || declaredH == 0 || declaredW > PNG_UINT_31_MAX || declaredH > PNG_UINT_31_MAX)
    return util::Status::failure("PNG picture size " + sizeText(declaredW, declaredH) + " is invalid");
  if (declaredW * declaredH > limits.maxPixels)
    return util::Status::failure("picture of " + sizeText(declaredW, declaredH) + " pixels is too large");
  return util::Status::success();
}

}  // namespace

util::Result<HeadCheck> checkPngHead(Bytes head, std::uint64_t /*fileSize*/, const DecodeLimits& limits) {
  HeadCheck check;
  check.readBound = kWholeFile;
  // The head holds the whole header unless the file is shorter.
  if (util::Status status = checkHeader(head, limits); !status) return util::Result<HeadCheck>::failure(status.message());
  // The rows as filtered for compression: a filter byte per row (per row of
  // each of the 7 passes when interlaced) and the packed pixels. Stored
  // deflate blocks, the smallest chunks sensible encoders write (a few
  // hundred bytes) and zlib's framing make the data at most twice that.
  static constexpr int kChannels[7] = {1, 0, 3, 1, 2, 0, 4};  // by colour type
  const std::uint64_t width = be32(head.data() + 16);
  const std::uint64_t height = be32(head.data() + 20);
  const std::uint64_t depth = head[24];
  const std::uint64_t channels = head[25] < 7 ? static_cast<std::uint64_t>(kChannels[head[25]]) : 4;
  const std::uint64_t rowBytes = (width * std::max<std::uint64_t>(channels, 1) * std::min<std::uint64_t>(depth, 16) + 7) / 8;
  const std::uint64_t filtered = height * (rowBytes + 1) + 7 * (height + 1) * 2;
  check.readBound = 8 + 25 + kMetadataRoom + 2 * filtered + 1024;
  return check;
}

util::Status decodePng(Bytes data, const DecodeRequest& request, RowSink& sink) {
  if (util::Status status = checkHeader(data, request.limits); !status) return status;
  if (!chunksFitTheData(data)) return util::Status::failure("data ends early");

  ErrorState errors;
  MemoryReader reader{data.data(), data.size(), 0, false};
  PngHandle handle(true, &errors);
  if (!handle.valid()) return util::Status::failure("not enough memory to read a PNG file");
  png_structp png = handle.png();
  png_infop info = handle.info();
  const auto dimensionLimit =
      static_cast<png_uint_32>(std::clamp<std::int64_t>(request.limits.maxPixels, 1, PNG_UINT_31_MAX));

  png_uint_32 width = 0;
  png_uint_32 height = 0;
  int channels = 0;
  std::size_t rowBytes = 0;
  int interlace = PNG_INTERLACE_NONE;
  const bool started = guarded(png, [&] {
    png_set_read_fn(png, &reader, readFromMemory);
    png_set_user_limits(png, dimensionLimit, dimensionLimit);
    png_set_chunk_malloc_max(png, kChunkMemoryLimit);
    png_read_info(png, info);
    const int colourType = png_get_color_type(png, info);
    png_set_expand(png);  // palette to RGB, low gray depths to 8 bits, tRNS to alpha
    png_set_scale_16(png);
    if (colourType == PNG_COLOR_TYPE_GRAY || colourType == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(png);
    interlace = png_get_interlace_type(png, info);
    if (interlace != PNG_INTERLACE_NONE) png_set_interlace_handling(png);
    png_read_update_info(png, info);
    width = png_get_image_width(png, info);
    height = png_get_image_height(png, info);
    channels = png_get_channels(png, info);
    rowBytes = png_get_rowbytes(png, info);
  });
  if (!started) return libpngFailure(reader, errors);
  if (std::int64_t{width} * height > request.limits.maxPixels)
    return util::Status::failure("picture of " + sizeText(width, height) + " pixels is too large");
  if ((channels != 3 && channels != 4) || rowBytes != std::size_t{width} * channels)
    return util::Status::failure("PNG colour layout is not supported");

  const Size size{static_cast<int>(width), static_cast<int>(height)};
  if (!sink.begin(size, size, Coverage{})) return util::Status::failure("picture refused");
  std::vector<std::uint8_t> out(std::size_t{width} * 3);

  if (interlace == PNG_INTERLACE_NONE) {
    std::vector<std::uint8_t> row(rowBytes);
    png_bytep rowData = row.data();
    for (png_uint_32 y = 0; y < height; ++y) {
      if (!guarded(png, [&] { png_read_row(png, rowData, nullptr); })) return libpngFailure(reader, errors);
      toRgb(rowData, channels, width, request.background, out.data());
      sink.row(static_cast<int>(y), out.data());
    }
  } else {
    // Interlaced passes refine the whole picture: it is kept until complete.
    std::vector<std::uint8_t> image;
    std::vector<png_bytep> rows;
    try {
      image.resize(rowBytes * height);
      rows.resize(height);
    } catch (const std::bad_alloc&) {
      return util::Status::failure("not enough memory for a picture of " + sizeText(width, height) + " pixels");
    }
    for (png_uint_32 y = 0; y < height; ++y) rows[y] = image.data() + rowBytes * y;
    png_bytepp rowPointers = rows.data();
    if (!guarded(png, [&] { png_read_image(png, rowPointers); })) return libpngFailure(reader, errors);
    for (png_uint_32 y = 0; y < height; ++y) {
      toRgb(rows[y], channels, width, request.background, out.data());
      sink.row(static_cast<int>(y), out.data());
    }
  }
  if (!guarded(png, [&] { png_read_end(png, nullptr); })) return libpngFailure(reader, errors);
  return util::Status::success();
}

util::Result<std::string> encodePng(const Raster& raster, int bits) {
  using R = util::Result<std::string>;
  if (util::Status s = checkWritable(raster); !s) return R::failure(s.message());
  const std::int64_t w = raster.size.width;
  const std::int64_t h = raster.size.height;

  std::optional<ExactPalette> palette;
  std::string out;
  std::vector<std::uint8_t> row;
  try {
    if (bits >= 1 && bits <= 8) palette = exactPalette(raster, std::size_t{1} << bits);
    row.resize(static_cast<std::size_t>(w) * 3);
  } catch (const std::bad_alloc&) {
    return R::failure("not enough memory to write a PNG file");
  }
  const int depth = palette ? indexBits(palette->colours.size()) : 8;
  std::vector<png_color> entries;
  if (palette)
    for (const Rgb& c : palette->colours) entries.push_back(png_color{c.r, c.g, c.b});

  ErrorState errors;
  PngHandle handle(false, &errors);
  if (!handle.valid()) return R::failure("not enough memory to write a PNG file");
  png_structp png = handle.png();
  png_infop info = handle.info();
  const png_color* entryData = entries.data();
  const int entryCount = static_cast<int>(entries.size());
  const bool started = guarded(png, [&] {
    png_set_write_fn(png, &out, writeToString, flushNothing);
    png_set_IHDR(png, info, static_cast<png_uint_32>(w), static_cast<png_uint_32>(h), depth,
                 entryCount > 0 ? PNG_COLOR_TYPE_PALETTE : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (entryCount > 0) png_set_PLTE(png, info, entryData, entryCount);
    png_write_info(png, info);
  });
  if (!started) return R::failure(std::string("cannot write PNG: ") + errors.message);

  png_bytep rowData = row.data();
  for (std::int64_t y = 0; y < h; ++y) {
    png_const_bytep source = raster.row(static_cast<int>(y));
    if (palette) {
      // Pack the indices, most significant bits first.
      const std::uint8_t* idx = palette->indices.data() + static_cast<std::size_t>(y * w);
      std::fill(row.begin(), row.end(), 0);
      for (std::int64_t x = 0; x < w; ++x) {
        const std::size_t bit = static_cast<std::size_t>(x) * depth;
        row[bit / 8] = static_cast<std::uint8_t>(row[bit / 8] | (idx[x] << (8 - depth - bit % 8)));
      }
      source = rowData;
    }
    if (!guarded(png, [&] { png_write_row(png, source); }))
      return R::failure(std::string("cannot write PNG: ") + errors.message);
  }
  if (!guarded(png, [&] { png_write_end(png, nullptr); }))
    return R::failure(std::string("cannot write PNG: ") + errors.message);
  return out;
}


namespace {

LoadEstimate estimatePngLoad(Bytes d, double sizePercent) {
  if (d.size() < 24 || std::memcmp(d.data(), "\x89PNG", 4) != 0) return {kSmallLoad, 0};
  return pixelLoadEstimate(be32(d.data() + 16), be32(d.data() + 20), sizePercent);
}

util::Result<std::string> encodePngWith(const Raster& raster, const EncodeSettings& settings) {
  return encodePng(raster, settings.bits);
}

constexpr std::string_view kPngSuffixes[] = {"png"};

}  // namespace

const Codec kPngCodec{"PNG", kPngSuffixes, 4, true, checkPngHead, estimatePngLoad, decodePng, encodePngWith};

}  // namespace pixelmote::imaging
