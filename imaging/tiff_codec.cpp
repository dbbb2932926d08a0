// TIFF files through libtiff: reading of the first picture in the file in
// any form libtiff can turn into RGBA, writing of LZW-compressed truecolour
// or exact-palette files. Files are read and written in memory.

#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
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

// The largest single allocation libtiff may make for one file (a strip or
// tile buffer); 2^28 RGB pixels in one strip still fit.
constexpr tmsize_t kMaxSingleAllocation = tmsize_t{1} << 30;

std::string sizeText(std::int64_t w, std::int64_t h) { return std::to_string(w) + " x " + std::to_string(h); }

// Messages libtiff reports for one file.
struct Messages {
  char error[256] = "";
  bool hasError = false;
  // A tag's data lay beyond the end: libtiff ignores such a tag and goes on
  // (a palette picture without its colour map comes out gray), but the file
  // is cut.
  bool dataMissing = false;
};

int onError(TIFF*, void* user, const char*, const char* format, va_list args) {
  auto* messages = static_cast<Messages*>(user);
  if (messages != nullptr && !messages->hasError) {
    std::vsnprintf(messages->error, sizeof messages->error, format, args);
    messages->hasError = true;
  }
  return 1;  // handled: the library-wide handlers stay quiet
}

int onWarning(TIFF*, void* user, const char*, const char* format, va_list args) {
  auto* messages = static_cast<Messages*>(user);
  if (messages != nullptr && !messages->dataMissing) {
    char text[256];
    std::vsnprintf(text, sizeof text, format, args);
    messages->dataMissing = std::strstr(text, "IO error during reading") != nullptr;
  }
  return 1;  // handled: the library-wide handlers stay quiet
}

// libtiff reports some problems (before a handle exists) only to the
// library-wide handlers, which print to stderr by default: silence them.
void silenceGlobalHandlers() {
  static const bool silenced = [] {
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
    return true;
  }();
  (void)silenced;
}

struct OptionsDeleter {
  void operator()(TIFFOpenOptions* o) const noexcept { TIFFOpenOptionsFree(o); }
};
struct TiffDeleter {
  void operator()(TIFF* t) const noexcept { TIFFClose(t); }
};
using OptionsHandle = std::unique_ptr<TIFFOpenOptions, OptionsDeleter>;
using TiffHandle = std::unique_ptr<TIFF, TiffDeleter>;

// Owns a TIFFRGBAImage between a successful Begin and its End.
class RgbaImage {
 public:
  RgbaImage() = default;
  ~RgbaImage() {
    if (m_begun) TIFFRGBAImageEnd(&m_image);
  }
  RgbaImage(const RgbaImage&) = delete;
  RgbaImage& operator=(const RgbaImage&) = delete;

  bool begin(TIFF* tif, char (&message)[1024]) {
    m_begun = TIFFRGBAImageBegin(&m_image, tif, 1, message) != 0;
    return m_begun;
  }
  TIFFRGBAImage& get() { return m_image; }

 private:
  TIFFRGBAImage m_image{};
  bool m_begun = false;
};

OptionsHandle makeOptions(Messages* messages) {
  OptionsHandle options(TIFFOpenOptionsAlloc());
  if (options) {
    TIFFOpenOptionsSetErrorHandlerExtR(options.get(), onError, messages);
    TIFFOpenOptionsSetWarningHandlerExtR(options.get(), onWarning, messages);
    TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), kMaxSingleAllocation);
  }
  return options;
}

// A file in memory, read through libtiff's client procedures.
struct MemoryFile {
  const std::uint8_t* data = nullptr;
  std::uint64_t size = 0;
  std::uint64_t pos = 0;
};

tmsize_t readMemory(thandle_t h, void* buffer, tmsize_t n) {
  auto* f = static_cast<MemoryFile*>(h);
  if (n <= 0 || f->pos >= f->size) return 0;
  const std::uint64_t take = std::min<std::uint64_t>(static_cast<std::uint64_t>(n), f->size - f->pos);
  std::memcpy(buffer, f->data + f->pos, take);
  f->pos += take;
  return static_cast<tmsize_t>(take);
}

tmsize_t writeNothing(thandle_t, void*, tmsize_t) { return 0; }

// New position for a seek from `pos` in a file of `size` bytes, or nullopt.
std::optional<std::uint64_t> seekTarget(std::uint64_t pos, std::uint64_t size, toff_t offset, int whence) {
  if (whence == SEEK_SET) return offset;
  if (whence != SEEK_CUR && whence != SEEK_END) return std::nullopt;
  const std::uint64_t base = whence == SEEK_CUR ? pos : size;
  const auto delta = static_cast<std::int64_t>(offset);  // negative moves arrive as large unsigned values
  if (delta < 0 && static_cast<std::uint64_t>(-(delta + 1)) + 1 > base) return std::nullopt;
  return base + static_cast<std::uint64_t>(delta);
}

toff_t seekMemory(thandle_t h, toff_t offset, int whence) {
  auto* f = static_cast<MemoryFile*>(h);
  const std::optional<std::uint64_t> target = seekTarget(f->pos, f->size, offset, whence);
  if (!target) return static_cast<toff_t>(-1);
  f->pos = *target;
  return f->pos;
}

int closeNothing(thandle_t) { return 0; }
toff_t sizeOfMemory(thandle_t h) { return static_cast<MemoryFile*>(h)->size; }

int mapMemory(thandle_t h, void** base, toff_t* size) {
  auto* f = static_cast<MemoryFile*>(h);
  *base = const_cast<std::uint8_t*>(f->data);  // opened for reading only
  *size = f->size;
  return 1;
}

void unmapNothing(thandle_t, void*, toff_t) {}

// A file being written into memory; libtiff seeks back to patch offsets.
struct GrowingFile {
  std::string bytes;
  std::uint64_t pos = 0;
};

tmsize_t readGrowing(thandle_t h, void* buffer, tmsize_t n) {
  auto* f = static_cast<GrowingFile*>(h);
  if (n <= 0 || f->pos >= f->bytes.size()) return 0;
  const std::uint64_t take = std::min<std::uint64_t>(static_cast<std::uint64_t>(n), f->bytes.size() - f->pos);
  std::memcpy(buffer, f->bytes.data() + f->pos, take);
  f->pos += take;
  return static_cast<tmsize_t>(take);
}

tmsize_t writeGrowing(thandle_t h, void* buffer, tmsize_t n) {
  auto* f = static_cast<GrowingFile*>(h);
  if (n <= 0) return 0;
  const std::uint64_t end = f->pos + static_cast<std::uint64_t>(n);
  try {
    if (end > f->bytes.size()) f->bytes.resize(end);
  } catch (...) {
    return 0;  // libtiff reports the short write
  }
  std::memcpy(f->bytes.data() + f->pos, buffer, static_cast<std::size_t>(n));
  f->pos = end;
  return n;
}

toff_t seekGrowing(thandle_t h, toff_t offset, int whence) {
  auto* f = static_cast<GrowingFile*>(h);
  const std::optional<std::uint64_t> target = seekTarget(f->pos, f->bytes.size(), offset, whence);
  if (!target) return static_cast<toff_t>(-1);
  f->pos = *target;
  return f->pos;
}

toff_t sizeOfGrowing(thandle_t h) { return static_cast<GrowingFile*>(h)->bytes.size(); }
int mapNothing(thandle_t, void**, toff_t*) { return 0; }

// True when every strip or tile of the current picture lies inside the file.
bool piecesInsideFile(TIFF* tif, std::uint64_t fileSize) {
  const bool tiled = TIFFIsTiled(tif) != 0;
  const std::uint64_t count = tiled ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
  std::uint64_t* offsets = nullptr;
  std::uint64_t* byteCounts = nullptr;
  if (!TIFFGetField(tif, tiled ? TIFFTAG_TILEOFFSETS : TIFFTAG_STRIPOFFSETS, &offsets) ||
      !TIFFGetField(tif, tiled ? TIFFTAG_TILEBYTECOUNTS : TIFFTAG_STRIPBYTECOUNTS, &byteCounts) || offsets == nullptr ||
      byteCounts == nullptr)
    return true;  // libtiff itself reports what is missing
  for (std::uint64_t i = 0; i < count; ++i)
    if (offsets[i] > fileSize || byteCounts[i] > fileSize - offsets[i]) return false;
  return true;
}

std::uint8_t channel(std::uint32_t abgr, int shift) { return static_cast<std::uint8_t>((abgr >> shift) & 0xFF); }

bool hasTiffSignature(Bytes data) {
  return data.size() >= 4 && ((data[0] == 'I' && data[1] == 'I' && (data[2] == 42 || data[2] == 43) && data[3] == 0) ||
                              (data[0] == 'M' && data[1] == 'M' && data[2] == 0 && (data[3] == 42 || data[3] == 43)));
}

}  // namespace

// The directories, which hold the size, and the pixel data may lie anywhere
// in the file: it is read whole.
util::Result<HeadCheck> checkTiffHead(Bytes head, std::uint64_t /*fileSize*/, const DecodeLimits& /*limits*/) {
  if (!hasTiffSignature(head)) return util::Result<HeadCheck>::failure("not a TIFF file");
  HeadCheck check;
  check.readBound = kWholeFile;
  return check;
}

// Orientation tags are not applied: rows come in the order they are stored.
util::Status decodeTiff(Bytes data, const DecodeRequest& request, RowSink& sink) {
  if (!hasTiffSignature(data)) return util::Status::failure("not a TIFF file");
  // Writers often put the first directory last: a cut file loses it.
  const bool little = data[0] == 'I';
  const bool big = data[little ? 2 : 3] == 43;
  const std::size_t offsetAt = big ? 8 : 4;
  const std::size_t offsetSize = big ? 8 : 4;
  if (data.size() < offsetAt + offsetSize) return util::Status::failure("data ends early");
  std::uint64_t directory = 0;
  for (std::size_t i = 0; i < offsetSize; ++i) {
    const std::size_t at = offsetAt + (little ? offsetSize - 1 - i : i);
    directory = (directory << 8) | data[at];
  }
  if (directory >= data.size()) return util::Status::failure("data ends early");
  silenceGlobalHandlers();

  Messages messages;
  OptionsHandle options = makeOptions(&messages);
  if (!options) return util::Status::failure("not enough memory to read a TIFF file");
  MemoryFile file{data.data(), data.size(), 0};
  TiffHandle tif(TIFFClientOpenExt("memory", "r", &file, readMemory, writeNothing, seekMemory, closeNothing,
                                   sizeOfMemory, mapMemory, unmapNothing, options.get()));
  auto libtiffFailure = [&messages](const char* what) {
    return util::Status::failure(std::string(what) + (messages.hasError ? std::string(": ") + messages.error : ""));
  };
  if (!tif) return libtiffFailure("corrupt TIFF data");
  if (messages.dataMissing) return util::Status::failure("data ends early");

  std::uint32_t width = 0;
  std::uint32_t height = 0;
  if (!TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &width) || !TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &height) ||
      width == 0 || height == 0 || width > 0x7FFFFFFF || height > 0x7FFFFFFF)
    return util::Status::failure("TIFF picture size " + sizeText(width, height) + " is invalid");
  if (std::int64_t{width} * height > request.limits.maxPixels)
    return util::Status::failure("picture of " + sizeText(width, height) + " pixels is too large");
  if (!piecesInsideFile(tif.get(), data.size())) return util::Status::failure("data ends early");

  char reason[1024] = "";
  if (!TIFFRGBAImageOK(tif.get(), reason)) return util::Status::failure(std::string("unsupported TIFF: ") + reason);
  RgbaImage image;
  if (!image.begin(tif.get(), reason)) return util::Status::failure(std::string("unsupported TIFF: ") + reason);
  TIFFRGBAImage& img = image.get();
  img.req_orientation = ORIENTATION_TOPLEFT;
  img.orientation = ORIENTATION_TOPLEFT;
  // libtiff premultiplies alpha for colour pictures but leaves gray ones with
  // unassociated alpha as they are.
  const bool grayStraightAlpha = img.alpha == EXTRASAMPLE_UNASSALPHA && (img.photometric == PHOTOMETRIC_MINISBLACK ||
                                                                         img.photometric == PHOTOMETRIC_MINISWHITE);

  // Rows go in bands of one strip or one row of tiles.
  std::uint32_t band = 0;
  if (TIFFIsTiled(tif.get()))
    TIFFGetField(tif.get(), TIFFTAG_TILELENGTH, &band);
  else
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_ROWSPERSTRIP, &band);
  band = std::clamp<std::uint32_t>(band, 1, height);

  const Size size{static_cast<int>(width), static_cast<int>(height)};
  if (!sink.begin(size, size, Coverage{})) return util::Status::failure("picture refused");
  std::vector<std::uint32_t> raster;
  std::vector<std::uint8_t> out;
  try {
    raster.resize(std::size_t{width} * band);
    out.resize(std::size_t{width} * 3);
  } catch (const std::bad_alloc&) {
    return util::Status::failure("not enough memory for a picture of " + sizeText(width, height) + " pixels");
  }
  const Rgb bg = request.background;
  for (std::uint32_t top = 0; top < height; top += band) {
    const std::uint32_t rows = std::min(band, height - top);
    img.row_offset = static_cast<int>(top);
    img.col_offset = 0;
    if (!TIFFRGBAImageGet(&img, raster.data(), width, rows)) return libtiffFailure("corrupt TIFF data");
    for (std::uint32_t r = 0; r < rows; ++r) {
      const std::uint32_t* src = raster.data() + std::size_t{r} * width;
      std::uint8_t* o = out.data();
      for (std::uint32_t x = 0; x < width; ++x, o += 3) {
        const std::uint32_t p = src[x];
        const std::uint8_t a = channel(p, 24);
        const std::uint8_t c[3] = {channel(p, 0), channel(p, 8), channel(p, 16)};
        const std::uint8_t back[3] = {bg.r, bg.g, bg.b};
        for (int k = 0; k < 3; ++k) {
          if (a == 255) {
            o[k] = c[k];
          } else if (grayStraightAlpha) {
            o[k] = static_cast<std::uint8_t>((c[k] * a + back[k] * (255 - a) + 127) / 255);
          } else {
            const int v = c[k] + (back[k] * (255 - a) + 127) / 255;
            o[k] = static_cast<std::uint8_t>(std::min(v, 255));
          }
        }
      }
      sink.row(static_cast<int>(top + r), out.data());
    }
  }
  return util::Status::success();
}

util::Result<std::string> encodeTiff(const Raster& raster, int bits) {
  using R = util::Result<std::string>;
  if (util::Status s = checkWritable(raster); !s) return R::failure(s.message());
  const std::int64_t w = raster.size.width;
  const std::int64_t h = raster.size.height;
  silenceGlobalHandlers();

  std::optional<ExactPalette> palette;
  std::vector<std::uint8_t> row;
  std::vector<std::uint16_t> colourMap;
  int depth = 8;
  try {
    if (bits >= 1 && bits <= 8) palette = exactPalette(raster, std::size_t{1} << bits);
    row.resize(static_cast<std::size_t>(w) * 3);
    if (palette) {
      depth = indexBits(palette->colours.size());
      const std::size_t entries = std::size_t{1} << depth;
      colourMap.assign(entries * 3, 0);
      for (std::size_t i = 0; i < palette->colours.size(); ++i) {
        colourMap[i] = static_cast<std::uint16_t>(palette->colours[i].r * 257);
        colourMap[entries + i] = static_cast<std::uint16_t>(palette->colours[i].g * 257);
        colourMap[2 * entries + i] = static_cast<std::uint16_t>(palette->colours[i].b * 257);
      }
    }
  } catch (const std::bad_alloc&) {
    return R::failure("not enough memory to write a TIFF file");
  }

  Messages messages;
  OptionsHandle options = makeOptions(&messages);
  if (!options) return R::failure("not enough memory to write a TIFF file");
  GrowingFile file;
  TiffHandle tif(TIFFClientOpenExt("memory", "w", &file, readGrowing, writeGrowing, seekGrowing, closeNothing,
                                   sizeOfGrowing, mapNothing, unmapNothing, options.get()));
  auto failure = [&messages]() {
    return R::failure(std::string("cannot write TIFF") + (messages.hasError ? std::string(": ") + messages.error : ""));
  };
  if (!tif) return failure();
  TIFF* t = tif.get();
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(w));
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(h));
  TIFFSetField(t, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
  TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
  TIFFSetField(t, TIFFTAG_XRESOLUTION, 72.0);
  TIFFSetField(t, TIFFTAG_YRESOLUTION, 72.0);
  if (palette) {
    const std::size_t entries = std::size_t{1} << depth;
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, depth);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_PALETTE);
    TIFFSetField(t, TIFFTAG_COLORMAP, colourMap.data(), colourMap.data() + entries, colourMap.data() + 2 * entries);
  } else {
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(t, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
  }
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t, 0));

  for (std::int64_t y = 0; y < h; ++y) {
    if (palette) {
      const std::uint8_t* idx = palette->indices.data() + static_cast<std::size_t>(y * w);
      const std::size_t used = (static_cast<std::size_t>(w) * depth + 7) / 8;
      std::fill(row.begin(), row.begin() + static_cast<std::ptrdiff_t>(used), 0);
      for (std::int64_t x = 0; x < w; ++x) {
        const std::size_t bit = static_cast<std::size_t>(x) * depth;
        row[bit / 8] = static_cast<std::uint8_t>(row[bit / 8] | (idx[x] << (8 - depth - bit % 8)));
      }
    } else {
      std::memcpy(row.data(), raster.row(static_cast<int>(y)), row.size());
    }
    if (TIFFWriteScanline(t, row.data(), static_cast<std::uint32_t>(y), 0) < 0) return failure();
  }
  if (!TIFFFlush(t)) return failure();
  tif.reset();
  if (messages.hasError) return failure();
  return std::move(file.bytes);
}


namespace {

// The first directory, which holds the size, may lie anywhere in the file:
// the head does not tell. The whole file is read, and its bytes are counted
// as what loading holds.
LoadEstimate estimateTiffLoad(Bytes, double) { return {kSmallLoad, 0}; }

util::Result<std::string> encodeTiffWith(const Raster& raster, const EncodeSettings& settings) {
  return encodeTiff(raster, settings.bits);
}

constexpr std::string_view kTiffSuffixes[] = {"tif", "tiff"};

}  // namespace

const Codec kTiffCodec{"TIFF", kTiffSuffixes, 5, true, checkTiffHead, estimateTiffLoad, decodeTiff, encodeTiffWith};

}  // namespace pixelmote::imaging
