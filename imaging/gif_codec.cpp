// GIF reading (first frame over the logical screen) and writing (one frame,
// palette computed from the picture with error-diffusion dithering).
#include <gif_lib.h>
#include <libimagequant.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "imaging/codec.h"
#include "imaging/estimate.h"
#include "imaging/colour.h"
#include "imaging/palette.h"

namespace pixelmote::imaging {

namespace {

using util::Result;
using util::Status;

std::string sizeText(Size size) {
  return std::to_string(size.width) + " x " + std::to_string(size.height);
}

// ---------------------------------------------------------------------------
// Owners of the C libraries' objects. Their destructors never throw.

struct GifDecoderCloser {
  void operator()(GifFileType* gif) const noexcept {
    int error = 0;
    DGifCloseFile(gif, &error);
  }
};
using GifDecoder = std::unique_ptr<GifFileType, GifDecoderCloser>;

// Closing an encoder writes the trailer; an encoder abandoned after a failure
// is closed by the destructor and its output discarded.
struct GifEncoderCloser {
  void operator()(GifFileType* gif) const noexcept {
    int error = 0;
    EGifCloseFile(gif, &error);
  }
};
using GifEncoder = std::unique_ptr<GifFileType, GifEncoderCloser>;

struct ColorMapFreer {
  void operator()(ColorMapObject* map) const noexcept { GifFreeMapObject(map); }
};
using ColorMap = std::unique_ptr<ColorMapObject, ColorMapFreer>;

struct LiqAttrFreer {
  void operator()(liq_attr* attr) const noexcept { liq_attr_destroy(attr); }
};
struct LiqImageFreer {
  void operator()(liq_image* image) const noexcept { liq_image_destroy(image); }
};
struct LiqResultFreer {
  void operator()(liq_result* result) const noexcept { liq_result_destroy(result); }
};
using LiqAttr = std::unique_ptr<liq_attr, LiqAttrFreer>;
using LiqImage = std::unique_ptr<liq_image, LiqImageFreer>;
using LiqResult = std::unique_ptr<liq_result, LiqResultFreer>;

// ---------------------------------------------------------------------------
// Reading

// The file's bytes as giflib's input. Remembers whether giflib asked for
// bytes past the end, which tells a truncated file from corrupt data (giflib
// reports both with the same error codes).
struct MemoryReader {
  Bytes data;
  std::size_t position = 0;
  bool ranOut = false;
};

int readFromMemory(GifFileType* gif, GifByteType* buffer, int length) noexcept {
  auto* reader = static_cast<MemoryReader*>(gif->UserData);
  if (length <= 0) return 0;
  const std::size_t wanted = static_cast<std::size_t>(length);
  const std::size_t available = reader->data.size() - reader->position;
  const std::size_t count = std::min(wanted, available);
  if (count < wanted) reader->ranOut = true;
  if (count > 0) std::memcpy(buffer, reader->data.data() + reader->position, count);
  reader->position += count;
  return static_cast<int>(count);
}

Status readFailure(const MemoryReader& reader, int error) {
  if (reader.ranOut || error == D_GIF_ERR_EOF_TOO_SOON) return Status::failure("data ends early");
  switch (error) {
    case D_GIF_ERR_NOT_GIF_FILE:
      return Status::failure("not a GIF file");
    case D_GIF_ERR_NOT_ENOUGH_MEM:
      return Status::failure("not enough memory to read the GIF file");
    default:
      return Status::failure("GIF data is corrupt");
  }
}

bool hasGifSignature(Bytes data) {
  if (data.size() < 6) return false;
  return std::memcmp(data.data(), GIF87_STAMP, 6) == 0 || std::memcmp(data.data(), GIF89_STAMP, 6) == 0;
}

// Colours of all 256 possible indices; indices the colour table does not
// cover are black.
using Palette = std::array<Rgb, 256>;

Palette paletteOf(const GifFileType& gif) {
  Palette palette{};
  const ColorMapObject* map = gif.Image.ColorMap != nullptr ? gif.Image.ColorMap : gif.SColorMap;
  if (map != nullptr && map->Colors != nullptr) {
    const int count = std::clamp(map->ColorCount, 0, 256);
    for (int i = 0; i < count; ++i) {
      const GifColorType& c = map->Colors[i];
      palette[static_cast<std::size_t>(i)] = {c.Red, c.Green, c.Blue};
    }
    return palette;
  }
  // No colour table at all: a grey ramp as deep as the declared colour
  // resolution, from black to white.
  const int levels = 1 << std::clamp(static_cast<int>(gif.SColorResolution), 1, 8);
  for (int i = 0; i < levels; ++i) {
    const auto grey = static_cast<std::uint8_t>(i * 255 / (levels - 1));
    palette[static_cast<std::size_t>(i)] = {grey, grey, grey};
  }
  return palette;
}

// Turns frame indices into a screen row. `rgb` holds the whole screen row;
// only the frame's columns are written, the rest keeps what is there.
class RowComposer {
 public:
  RowComposer(const Palette& palette, int transparentIndex, Rgb background, int left, int count)
      : m_palette(palette), m_transparentIndex(transparentIndex), m_background(background),
        m_left(left), m_count(count) {}

  void compose(const std::uint8_t* indices, std::uint8_t* rgb) const {
    std::uint8_t* out = rgb + static_cast<std::size_t>(m_left) * 3;
    for (int i = 0; i < m_count; ++i, out += 3) {
      const int index = indices[i];
      const Rgb c = index == m_transparentIndex ? m_background : m_palette[static_cast<std::size_t>(index)];
      out[0] = c.r;
      out[1] = c.g;
      out[2] = c.b;
    }
  }

 private:
  const Palette& m_palette;
  int m_transparentIndex;
  Rgb m_background;
  int m_left;
  int m_count;
};

std::vector<std::uint8_t> filledRow(int width, Rgb colour) {
  std::vector<std::uint8_t> row(static_cast<std::size_t>(width) * 3);
  for (std::size_t i = 0; i < row.size(); i += 3) {
    row[i] = colour.r;
    row[i + 1] = colour.g;
    row[i + 2] = colour.b;
  }
  return row;
}

// Where the first frame lands on the screen: its declared size and the part
// of it that the screen shows (frames are clipped at the right and bottom).
struct FramePlacement {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
  int visibleWidth = 0;
  int visibleHeight = 0;
};

// Decodes the frame whose descriptor giflib has just read and delivers the
// whole screen. Every row of the frame is decoded, including rows the screen
// clips away, so that damaged data is noticed wherever it lies.
class FrameDecoder {
 public:
  FrameDecoder(GifFileType& gif, const MemoryReader& reader, const FramePlacement& frame,
               const RowComposer& composer, Size screen, Rgb background, RowSink& sink)
      : m_gif(gif), m_reader(reader), m_frame(frame), m_composer(composer), m_screen(screen),
        m_sink(sink), m_line(static_cast<std::size_t>(frame.width)),
        m_backgroundRow(filledRow(screen.width, background)), m_frameRow(m_backgroundRow) {}

  Status run(bool interlaced) {
    for (int y = 0; y < m_frame.top; ++y) m_sink.row(y, m_backgroundRow.data());
    Status status = interlaced ? decodeInterlaced() : decodeSequential();
    if (!status) return status;
    for (int y = m_frame.top + m_frame.visibleHeight; y < m_screen.height; ++y) {
      m_sink.row(y, m_backgroundRow.data());
    }
    return Status::success();
  }

 private:
  bool readLine() { return DGifGetLine(&m_gif, m_line.data(), m_frame.width) != GIF_ERROR; }
  Status failure() const { return readFailure(m_reader, m_gif.Error); }

  void deliver(int frameRow, const std::uint8_t* indices) {
    m_composer.compose(indices, m_frameRow.data());
    m_sink.row(m_frame.top + frameRow, m_frameRow.data());
  }

  Status decodeSequential() {
    for (int y = 0; y < m_frame.height; ++y) {
      if (!readLine()) return failure();
      if (y < m_frame.visibleHeight) deliver(y, m_line.data());
    }
    return Status::success();
  }

  // Interlaced frames come in four passes: rows 0, 8, 16, ...; 4, 12, ...;
  // 2, 6, 10, ...; then all odd rows in order. The first three passes hold
  // only even rows, so only those are kept; each odd row of the last pass
  // releases the even row above it and itself.
  Status decodeInterlaced() {
    static constexpr int kStart[] = {0, 4, 2, 1};
    static constexpr int kStep[] = {8, 8, 4, 2};
    const auto width = static_cast<std::size_t>(m_frame.visibleWidth);
    std::vector<std::uint8_t> evenRows(static_cast<std::size_t>((m_frame.visibleHeight + 1) / 2) * width);
    auto evenRow = [&](int y) { return evenRows.data() + static_cast<std::size_t>(y / 2) * width; };
    int delivered = 0;
    for (int pass = 0; pass < 4; ++pass) {
      for (int y = kStart[pass]; y < m_frame.height; y += kStep[pass]) {
        if (!readLine()) return failure();
        if (y >= m_frame.visibleHeight) continue;
        if (y % 2 == 0) {
          std::memcpy(evenRow(y), m_line.data(), width);
        } else {
          deliver(y - 1, evenRow(y - 1));
          deliver(y, m_line.data());
          delivered = y + 1;
        }
      }
    }
    // Only an even last row can be left over.
    for (; delivered < m_frame.visibleHeight; ++delivered) deliver(delivered, evenRow(delivered));
    return Status::success();
  }

  GifFileType& m_gif;
  const MemoryReader& m_reader;
  const FramePlacement& m_frame;
  const RowComposer& m_composer;
  Size m_screen;
  RowSink& m_sink;
  std::vector<std::uint8_t> m_line;
  std::vector<std::uint8_t> m_backgroundRow;
  std::vector<std::uint8_t> m_frameRow;
};

// The application extension that carries an ICC profile in its sub-blocks.
constexpr std::uint8_t kIccApplication[] = {'I', 'C', 'C', 'R', 'G', 'B', 'G', '1', '0', '1', '2'};

// A Graphic Control Extension names the transparent index of the frame that
// follows it; an ICC application extension's profile goes to `profile`
// when that is set; other extensions are skipped.
Status readExtension(GifFileType& gif, const MemoryReader& reader, int& transparentIndex,
                     std::vector<std::uint8_t>* profile) {
  int code = 0;
  GifByteType* block = nullptr;
  if (DGifGetExtension(&gif, &code, &block) == GIF_ERROR) return readFailure(reader, gif.Error);
  if (code == GRAPHICS_EXT_FUNC_CODE && block != nullptr) {
    GraphicsControlBlock control;
    // A malformed control block is ignored rather than fatal.
    if (DGifExtensionToGCB(block[0], block + 1, &control) != GIF_ERROR) {
      transparentIndex = control.TransparentColor;
    }
  }
  const bool icc = profile != nullptr && code == APPLICATION_EXT_FUNC_CODE && block != nullptr &&
                   block[0] == sizeof kIccApplication &&
                   std::equal(kIccApplication, kIccApplication + sizeof kIccApplication, block + 1);
  if (icc) profile->clear();
  while (block != nullptr) {
    if (DGifGetExtensionNext(&gif, &block) == GIF_ERROR) return readFailure(reader, gif.Error);
    if (icc && block != nullptr) profile->insert(profile->end(), block + 1, block + 1 + block[0]);
  }
  return Status::success();
}

// Reads the first frame's descriptor, which giflib has just found, and
// checks where it lies on the screen.
Status readFirstFrame(GifFileType& gif, const MemoryReader& reader, Size screen, const DecodeLimits& limits,
                      FramePlacement& frame) {
  if (DGifGetImageDesc(&gif) == GIF_ERROR) return readFailure(reader, gif.Error);
  const GifImageDesc& desc = gif.Image;
  frame.left = desc.Left;
  frame.top = desc.Top;
  frame.width = desc.Width;
  frame.height = desc.Height;
  const Size frameSize{frame.width, frame.height};
  if (frame.width <= 0 || frame.height <= 0) {
    return Status::failure("first frame of " + sizeText(frameSize) + " pixels is empty");
  }
  if (frameSize.pixels() > limits.maxPixels) {
    return Status::failure("frame of " + sizeText(frameSize) + " pixels is too large");
  }
  if (frame.left < 0 || frame.top < 0 || frame.left >= screen.width || frame.top >= screen.height) {
    return Status::failure("first frame lies outside the picture of " + sizeText(screen) + " pixels");
  }
  frame.visibleWidth = std::min(frame.width, screen.width - frame.left);
  frame.visibleHeight = std::min(frame.height, screen.height - frame.top);
  return Status::success();
}

Status decodeFirstFrame(GifFileType& gif, const MemoryReader& reader, int transparentIndex, Size screen,
                        const DecodeRequest& request, RowSink& sink) {
  FramePlacement frame;
  if (Status status = readFirstFrame(gif, reader, screen, request.limits, frame); !status) return status;
  const Palette palette = paletteOf(gif);
  const RowComposer composer(palette, transparentIndex, request.background, frame.left, frame.visibleWidth);
  if (!sink.begin(screen, screen, Coverage{})) return Status::failure("the picture was refused");
  FrameDecoder decoder(gif, reader, frame, composer, screen, request.background, sink);
  return decoder.run(gif.Image.Interlace);
}

// Opens the file and reads its records up to the first frame's descriptor:
// later frames of an animation are never looked at. `atFrame` tells whether
// a frame was reached; otherwise the status says why not.
Status readToFirstFrame(MemoryReader& reader, const DecodeLimits& limits, GifDecoder& gif, Size& screen,
                        int& transparentIndex, bool& atFrame, std::vector<std::uint8_t>* profile = nullptr) {
  atFrame = false;
  if (!hasGifSignature(reader.data)) return Status::failure("not a GIF file");
  int error = 0;
  gif.reset(DGifOpen(&reader, readFromMemory, &error));
  if (!gif) return readFailure(reader, error);

  screen = Size{gif->SWidth, gif->SHeight};
  if (screen.width <= 0 || screen.height <= 0) {
    return Status::failure("picture of " + sizeText(screen) + " pixels is empty");
  }
  if (screen.pixels() > limits.maxPixels) {
    return Status::failure("picture of " + sizeText(screen) + " pixels is too large");
  }

  transparentIndex = NO_TRANSPARENT_COLOR;
  for (;;) {
    GifRecordType type = UNDEFINED_RECORD_TYPE;
    if (DGifGetRecordType(gif.get(), &type) == GIF_ERROR) return readFailure(reader, gif->Error);
    switch (type) {
      case EXTENSION_RECORD_TYPE: {
        Status status = readExtension(*gif, reader, transparentIndex, profile);
        if (!status) return status;
        break;
      }
      case IMAGE_DESC_RECORD_TYPE:
        atFrame = true;
        return Status::success();
      case TERMINATE_RECORD_TYPE:
        return Status::failure("GIF file holds no picture");
      default:
        return Status::failure("GIF data is corrupt");
    }
  }
}

}  // namespace

util::Status decodeGif(Bytes data, const DecodeRequest& request, RowSink& sink) {
  MemoryReader reader{data};
  GifDecoder gif;
  Size screen;
  int transparentIndex = NO_TRANSPARENT_COLOR;
  bool atFrame = false;
  std::vector<std::uint8_t> profile;
  const Status status = readToFirstFrame(reader, request.limits, gif, screen, transparentIndex, atFrame,
                                         request.profile != nullptr ? &profile : nullptr);
  if (!atFrame) return status;
  if (request.profile != nullptr) {
    // Only a profile for RGB pixels that LittleCMS can read is handed on.
    if (profile.empty() || ColourProfile::fromIcc(profile).space() != ProfileSpace::Rgb) profile.clear();
    *request.profile = std::move(profile);
  }
  return decodeFirstFrame(*gif, reader, transparentIndex, screen, request, sink);
}

util::Result<HeadCheck> checkGifHead(Bytes head, std::uint64_t fileSize, const DecodeLimits& limits) {
  using R = Result<HeadCheck>;
  MemoryReader reader{head};
  GifDecoder gif;
  Size screen;
  int transparentIndex = NO_TRANSPARENT_COLOR;
  bool atFrame = false;
  Status status = readToFirstFrame(reader, limits, gif, screen, transparentIndex, atFrame);
  FramePlacement frame;
  if (atFrame) status = readFirstFrame(*gif, reader, screen, limits, frame);
  HeadCheck check;
  if (reader.ranOut) {
    // The records before the first frame go on past the head; a file that
    // ends there is the decoder's to report.
    if (head.size() < fileSize) check.needBytes = std::max<std::uint64_t>(head.size() * 2, 4096);
    check.readBound = kWholeFile;
    return check;
  }
  if (!status) return R::failure(status.message());
  // The frame's codes follow in blocks of at most 255 bytes, each after its
  // length byte. Every code but a clear code yields at least one pixel, and
  // a code has at most 12 bits: three codes per pixel (4.5 bytes) leaves
  // room for encoders that clear the table as often as they like.
  const std::uint64_t pixels = static_cast<std::uint64_t>(Size{frame.width, frame.height}.pixels());
  const std::uint64_t codeBytes = pixels * 9 / 2;
  check.readBound = reader.position + 1 + codeBytes + codeBytes / 255 + 2 + kMetadataRoom;
  return check;
}

// ---------------------------------------------------------------------------
// Writing

namespace {

// A picture as colour table plus one index per pixel.
using IndexedPicture = ExactPalette;

// The picture with its own colours when it has at most `maxColours` of them.
std::optional<IndexedPicture> exactColours(const Raster& raster, int maxColours) {
  return exactPalette(raster, static_cast<std::size_t>(maxColours));
}

Result<IndexedPicture> quantized(const Raster& raster, int maxColours) {
  const int width = raster.size.width;
  const int height = raster.size.height;
  const auto pixels = static_cast<std::size_t>(raster.size.pixels());
  std::vector<std::uint8_t> rgba(pixels * 4);
  for (std::size_t i = 0; i < pixels; ++i) {
    std::memcpy(&rgba[i * 4], &raster.rgb[i * 3], 3);
    rgba[i * 4 + 3] = 255;
  }

  const LiqAttr attr(liq_attr_create());
  if (!attr) return Result<IndexedPicture>::failure("cannot start colour quantization");
  if (liq_set_max_colors(attr.get(), maxColours) != LIQ_OK) {
    return Result<IndexedPicture>::failure("cannot quantize to " + std::to_string(maxColours) + " colours");
  }
  const LiqImage image(liq_image_create_rgba(attr.get(), rgba.data(), width, height, 0));
  if (!image) return Result<IndexedPicture>::failure("picture is too large to quantize");
  liq_result* rawResult = nullptr;
  const liq_error quantizeError = liq_image_quantize(image.get(), attr.get(), &rawResult);
  const LiqResult result(rawResult);
  if (quantizeError != LIQ_OK || !result) return Result<IndexedPicture>::failure("colour quantization failed");
  liq_set_dithering_level(result.get(), 1.0f);

  IndexedPicture picture;
  picture.indices.resize(pixels);
  if (liq_write_remapped_image(result.get(), image.get(), picture.indices.data(), picture.indices.size()) !=
      LIQ_OK) {
    return Result<IndexedPicture>::failure("colour quantization failed");
  }
  // The palette is final only after remapping, which refines it.
  const liq_palette* palette = liq_get_palette(result.get());
  if (palette == nullptr || palette->count == 0 || palette->count > 256) {
    return Result<IndexedPicture>::failure("colour quantization failed");
  }
  for (unsigned i = 0; i < palette->count; ++i) {
    const liq_color& c = palette->entries[i];
    picture.colours.push_back({c.r, c.g, c.b});
  }
  return picture;
}

int writeToString(GifFileType* gif, const GifByteType* bytes, int length) noexcept {
  if (length <= 0) return 0;
  try {
    static_cast<std::string*>(gif->UserData)->append(reinterpret_cast<const char*>(bytes),
                                                     static_cast<std::size_t>(length));
    return length;
  } catch (...) {
    return 0;  // giflib reports a failed write
  }
}

Result<std::string> writeIndexed(Size size, IndexedPicture& picture, std::string_view comment) {
  // giflib takes colour tables of 2, 4, ..., 256 entries.
  int tableBits = 1;
  while ((1 << tableBits) < static_cast<int>(picture.colours.size())) ++tableBits;
  std::vector<GifColorType> table(static_cast<std::size_t>(1) << tableBits, GifColorType{0, 0, 0});
  for (std::size_t i = 0; i < picture.colours.size(); ++i) {
    table[i] = {picture.colours[i].r, picture.colours[i].g, picture.colours[i].b};
  }
  const ColorMap map(GifMakeMapObject(static_cast<int>(table.size()), table.data()));
  if (!map) return Result<std::string>::failure("not enough memory to write the GIF file");

  std::string out;  // outlives the encoder, which may still write when closed
  int error = 0;
  GifEncoder gif(EGifOpen(&out, writeToString, &error));
  if (!gif) return Result<std::string>::failure("cannot start writing the GIF file");
  EGifSetGifVersion(gif.get(), true);
  if (EGifPutScreenDesc(gif.get(), size.width, size.height, tableBits, 0, map.get()) == GIF_ERROR) {
    return Result<std::string>::failure("cannot write the GIF file header");
  }
  if (!comment.empty()) {
    const std::string text(comment.substr(0, comment.find('\0')));
    if (EGifPutComment(gif.get(), text.c_str()) == GIF_ERROR) {
      return Result<std::string>::failure("cannot write the GIF comment");
    }
  }
  if (EGifPutImageDesc(gif.get(), 0, 0, size.width, size.height, false, nullptr) == GIF_ERROR) {
    return Result<std::string>::failure("cannot write the GIF file header");
  }
  const auto width = static_cast<std::size_t>(size.width);
  for (int y = 0; y < size.height; ++y) {
    if (EGifPutLine(gif.get(), picture.indices.data() + static_cast<std::size_t>(y) * width, size.width) ==
        GIF_ERROR) {
      return Result<std::string>::failure("cannot write the GIF picture data");
    }
  }
  if (EGifCloseFile(gif.release(), &error) == GIF_ERROR) {
    return Result<std::string>::failure("cannot finish the GIF file");
  }
  return out;
}

}  // namespace

util::Result<std::string> encodeGif(const Raster& raster, int bits, std::string_view comment) {
  if (bits < 1 || bits > 8) {
    return Result<std::string>::failure("GIF colour depth of " + std::to_string(bits) + " bits is not 1 to 8");
  }
  if (util::Status s = checkWritable(raster); !s) return Result<std::string>::failure(s.message());
  const Size size = raster.size;
  if (size.width > 65535 || size.height > 65535) {
    return Result<std::string>::failure("picture of " + sizeText(size) + " pixels is too large for GIF");
  }
  const int maxColours = 1 << bits;
  // A picture that fits the palette keeps its colours exactly and needs no
  // dithering; the quantizer is only asked when colours must be merged.
  if (std::optional<IndexedPicture> exact = exactColours(raster, maxColours)) {
    return writeIndexed(size, *exact, comment);
  }
  Result<IndexedPicture> picture = quantized(raster, maxColours);
  if (!picture) return Result<std::string>::failure(picture.message());
  return writeIndexed(size, picture.value(), comment);
}


namespace {

LoadEstimate estimateGifLoad(Bytes d, double sizePercent) {
  if (d.size() < 10 || std::memcmp(d.data(), "GIF", 3) != 0) return {kSmallLoad, 0};
  const auto le16 = [](const std::uint8_t* p) { return std::uint64_t{p[0]} | (std::uint64_t{p[1]} << 8); };
  return pixelLoadEstimate(le16(d.data() + 6), le16(d.data() + 8), sizePercent);
}

util::Result<std::string> encodeGifWith(const Raster& raster, const EncodeSettings& settings) {
  return encodeGif(raster, settings.bits, settings.comment);
}

constexpr std::string_view kGifSuffixes[] = {"gif"};

}  // namespace

const Codec kGifCodec{"GIF", kGifSuffixes, 1, true, checkGifHead, estimateGifLoad, decodeGif, encodeGifWith};

}  // namespace pixelmote::imaging
