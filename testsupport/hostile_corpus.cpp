#include "testsupport/hostile_corpus.h"

#include "testsupport/exif_block.h"

#include <csetjmp>
#include <cstdint>
#include <cstdio>  // jpeglib.h needs FILE and size_t declared first
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gif_lib.h>
#include <jpeglib.h>
#include <libexif/exif-data.h>

#include "imaging/codec.h"
#include "imaging/raster.h"

namespace pixelmote::testing {
namespace {

using imaging::Raster;
using imaging::Rgb;
using imaging::Size;

// The corpus is made by code that should never fail; when it does, the
// test that asked for it fails with this.
[[noreturn]] void broken(const std::string& what) { throw std::logic_error("hostile corpus: " + what); }

std::uint8_t byteAt(const std::string& s, std::size_t at) { return static_cast<std::uint8_t>(s.at(at)); }

// A well-mixed hash of a pixel position: noise that is the same every time.
std::uint32_t noise(std::uint32_t x, std::uint32_t y, std::uint32_t salt = 0) {
  std::uint32_t h = x * 73856093u ^ y * 19349663u ^ salt * 83492791u;
  h ^= h >> 13;
  h *= 0x5bd1e995u;
  h ^= h >> 15;
  return h;
}

// ---------------------------------------------------------------------------
// JPEG files, written with libjpeg directly for the variants the program's
// own encoder never makes.

// Writes row `y` of samples (width × components bytes).
using RowFill = std::function<void(int y, std::uint8_t* samples)>;

struct JpegRecipe {
  Size size;
  J_COLOR_SPACE input = JCS_RGB;  // JCS_RGB, JCS_GRAYSCALE or JCS_CMYK
  int components = 3;
  std::optional<J_COLOR_SPACE> stored;  // colour space in the file; libjpeg's choice if unset
  int lumaH = 2;  // sampling factors of the first component of a colour file
  int lumaV = 2;
  bool progressive = false;
  bool optimize = true;  // optimal Huffman tables keep the whole picture's coefficients
  bool adobeMarker = true;
  int quality = 85;
  std::vector<std::pair<int, std::string>> markers;  // written after the header
  RowFill fill;
};

// Textured colour: a gradient with noise, so that the data is long enough
// for cuts to fall well inside it.
RowFill texturedRgb(int width, int height) {
  return [width, height](int y, std::uint8_t* row) {
    for (int x = 0; x < width; ++x) {
      const std::uint32_t n = noise(static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y));
      row[x * 3] = static_cast<std::uint8_t>(x * 255 / width + (n & 31));
      row[x * 3 + 1] = static_cast<std::uint8_t>(y * 255 / height + ((n >> 8) & 31));
      row[x * 3 + 2] = static_cast<std::uint8_t>(n >> 16);
    }
  };
}

RowFill uniform(int samplesPerRow, std::uint8_t value) {
  return [samplesPerRow, value](int, std::uint8_t* row) { std::memset(row, value, static_cast<std::size_t>(samplesPerRow)); };
}

// Encodes one recipe. Everything libjpeg touches lives in this object and
// the setjmp-guarded function has no locals with destructors, so the
// longjmp out of an error skips none.
class JpegMaker {
 public:
  explicit JpegMaker(const JpegRecipe& recipe) : m_recipe(recipe) {
    m_info.err = jpeg_std_error(&m_errors);
    m_errors.error_exit = &JpegMaker::onError;
    m_errors.emit_message = [](j_common_ptr, int) {};
    m_info.client_data = this;
    m_row.resize(static_cast<std::size_t>(recipe.size.width) * static_cast<std::size_t>(recipe.components));
  }
  ~JpegMaker() {
    jpeg_destroy_compress(&m_info);  // safe on a zeroed struct
    std::free(m_buffer);
  }
  JpegMaker(const JpegMaker&) = delete;
  JpegMaker& operator=(const JpegMaker&) = delete;

  std::string make() {
    if (!run()) broken(std::string("libjpeg refused a recipe: ") + m_text);
    return std::string(reinterpret_cast<const char*>(m_buffer), m_size);
  }

 private:
  static void onError(j_common_ptr info) {
    auto* self = static_cast<JpegMaker*>(info->client_data);
    (*info->err->format_message)(info, self->m_text);
    std::longjmp(self->m_jump, 1);
  }

  bool run() {
    if (setjmp(m_jump) != 0) return false;
    encode();
    return true;
  }

  void encode() {
    jpeg_create_compress(&m_info);
    jpeg_mem_dest(&m_info, &m_buffer, &m_size);
    m_info.image_width = static_cast<JDIMENSION>(m_recipe.size.width);
    m_info.image_height = static_cast<JDIMENSION>(m_recipe.size.height);
    m_info.input_components = m_recipe.components;
    m_info.in_color_space = m_recipe.input;
    jpeg_set_defaults(&m_info);
    if (m_recipe.stored) jpeg_set_colorspace(&m_info, *m_recipe.stored);
    m_info.write_Adobe_marker = m_info.write_Adobe_marker && m_recipe.adobeMarker;
    jpeg_set_quality(&m_info, m_recipe.quality, TRUE);
    if (m_info.num_components >= 3) {
      m_info.comp_info[0].h_samp_factor = m_recipe.lumaH;
      m_info.comp_info[0].v_samp_factor = m_recipe.lumaV;
    }
    m_info.optimize_coding = m_recipe.optimize ? TRUE : FALSE;
    if (m_recipe.progressive) jpeg_simple_progression(&m_info);
    jpeg_start_compress(&m_info, TRUE);
    for (const auto& marker : m_recipe.markers) {
      jpeg_write_marker(&m_info, marker.first, reinterpret_cast<const JOCTET*>(marker.second.data()),
                        static_cast<unsigned>(marker.second.size()));
    }
    while (m_info.next_scanline < m_info.image_height) {
      m_recipe.fill(static_cast<int>(m_info.next_scanline), m_row.data());
      JSAMPROW row = m_row.data();
      jpeg_write_scanlines(&m_info, &row, 1);
    }
    jpeg_finish_compress(&m_info);
  }

  const JpegRecipe& m_recipe;
  jpeg_compress_struct m_info{};
  jpeg_error_mgr m_errors{};
  std::jmp_buf m_jump{};
  char m_text[JMSG_LENGTH_MAX] = {};
  std::vector<std::uint8_t> m_row;
  unsigned char* m_buffer = nullptr;
  unsigned long m_size = 0;
};

std::string makeJpeg(const JpegRecipe& recipe) { return JpegMaker(recipe).make(); }

JpegRecipe rgbRecipe(int width, int height) {
  JpegRecipe recipe;
  recipe.size = {width, height};
  recipe.fill = texturedRgb(width, height);
  return recipe;
}

// Offset of the first marker `code` among the header's marker segments, or npos.
std::size_t markerOffset(const std::string& file, std::uint8_t code) {
  std::size_t at = 2;
  while (at + 4 <= file.size() && byteAt(file, at) == 0xFF) {
    const std::uint8_t marker = byteAt(file, at + 1);
    if (marker == code) return at;
    if (marker == 0xDA) break;  // entropy-coded data follows
    at += 2 + (byteAt(file, at + 2) << 8 | byteAt(file, at + 3));
  }
  return std::string::npos;
}

std::size_t requireMarker(const std::string& file, std::uint8_t code) {
  const std::size_t at = markerOffset(file, code);
  if (at == std::string::npos) broken("a JPEG without the expected marker");
  return at;
}

// Offset of the first entropy-coded byte.
std::size_t scanDataOffset(const std::string& file) {
  const std::size_t sos = requireMarker(file, 0xDA);
  return sos + 2 + (byteAt(file, sos + 2) << 8 | byteAt(file, sos + 3));
}

// The file with its frame header declaring `width` × `height` pixels.
std::string withDeclaredSize(std::string file, std::uint8_t sofCode, int width, int height) {
  const std::size_t sof = requireMarker(file, sofCode);
  file[sof + 5] = static_cast<char>(height >> 8);
  file[sof + 6] = static_cast<char>(height & 0xFF);
  file[sof + 7] = static_cast<char>(width >> 8);
  file[sof + 8] = static_cast<char>(width & 0xFF);
  return file;
}

// A comment marker that brings the file to exactly `total` bytes.
std::string paddedTo(std::string file, std::size_t total) {
  const std::size_t at = requireMarker(file, 0xDB);
  if (file.size() + 4 > total) broken("a file already larger than its padding target");
  const std::size_t payload = total - file.size() - 4;
  std::string com = "\xFF\xFE";
  com += static_cast<char>((payload + 2) >> 8);
  com += static_cast<char>((payload + 2) & 0xFF);
  com += std::string(payload, 'x');
  file.insert(at, com);
  return file;
}

// ---------------------------------------------------------------------------
// EXIF blocks: one made by libexif, the others by hand so that they can be
// wrong in exactly one way.

std::string exifWithOrientation(int orientation) {
  std::string block = exifOrientationBlock(orientation);
  if (block.rfind(std::string("Exif\0\0", 6), 0) != 0) broken("libexif wrote no EXIF header");
  return block;
}

// A little-endian TIFF structure behind "Exif\0\0"; offsets count from the
// "II" that follows the header.
class TiffBuilder {
 public:
  TiffBuilder() : m_bytes(std::string("Exif\0\0II*\0", 10)) {}
  TiffBuilder& put16(unsigned v) {
    m_bytes += static_cast<char>(v & 0xFF);
    m_bytes += static_cast<char>((v >> 8) & 0xFF);
    return *this;
  }
  TiffBuilder& put32(std::uint32_t v) { return put16(v & 0xFFFF).put16(v >> 16); }
  // A directory entry: tag, type, count, and the value or offset field.
  TiffBuilder& entry(unsigned tag, unsigned type, std::uint32_t count, std::uint32_t field) {
    return put16(tag).put16(type).put32(count).put32(field);
  }
  TiffBuilder& raw(const std::string& bytes) {
    m_bytes += bytes;
    return *this;
  }
  std::string bytes() const { return m_bytes; }

 private:
  std::string m_bytes;
};

constexpr unsigned kTagOrientation = 0x0112;
constexpr unsigned kTagDescription = 0x010E;
constexpr unsigned kTagExifPointer = 0x8769;
constexpr unsigned kTypeAscii = 2;
constexpr unsigned kTypeShort = 3;
constexpr unsigned kTypeLong = 4;
constexpr std::size_t kLargestMarkerPayload = 65533;

// The largest block a marker holds: an orientation (a quarter turn) and a
// description that fills the rest.
std::string hugeExif() {
  TiffBuilder b;
  const std::uint32_t textAt = 8 + 2 + 2 * 12 + 4;
  const std::size_t text = kLargestMarkerPayload - 6 - textAt;
  b.put32(8).put16(2);
  b.entry(kTagDescription, kTypeAscii, static_cast<std::uint32_t>(text), textAt);
  b.entry(kTagOrientation, kTypeShort, 1, 6);
  b.put32(0);
  std::string description;
  for (std::size_t i = 0; i + 1 < text; ++i) description += static_cast<char>('a' + i % 26);
  description += '\0';
  b.raw(description);
  if (b.bytes().size() != kLargestMarkerPayload) broken("the huge EXIF block has the wrong size");
  return b.bytes();
}

// ---------------------------------------------------------------------------
// GIF files, written with giflib's encoder into memory.

struct GifFrame {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
  bool interlaced = false;
  std::vector<Rgb> localColours;      // none when empty; a power of two
  std::vector<std::uint8_t> indices;  // width × height, top row first
  int transparentIndex = -1;          // a Graphic Control Extension when >= 0
  int delay = -1;                     // the same, with a delay, when >= 0
};

struct GifRecipe {
  int width = 0;
  int height = 0;
  bool gif89 = true;
  std::vector<Rgb> globalColours;  // none when empty; a power of two
  int colourResolution = 8;
  bool loops = false;  // an application extension asking to loop an animation
  std::vector<GifFrame> frames;
};

int appendToString(GifFileType* gif, const GifByteType* bytes, int length) {
  static_cast<std::string*>(gif->UserData)->append(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(length));
  return length;
}

struct ColorMapFree {
  void operator()(ColorMapObject* map) const noexcept { GifFreeMapObject(map); }
};
using ColorMap = std::unique_ptr<ColorMapObject, ColorMapFree>;

ColorMap colourMap(const std::vector<Rgb>& colours) {
  if (colours.empty()) return nullptr;
  std::vector<GifColorType> table;
  for (const Rgb& c : colours) table.push_back({c.r, c.g, c.b});
  ColorMap map(GifMakeMapObject(static_cast<int>(table.size()), table.data()));
  if (!map) broken("a colour table whose size is not a power of two");
  return map;
}

struct GifEncoderClose {
  void operator()(GifFileType* gif) const noexcept {
    int error = 0;
    EGifCloseFile(gif, &error);
  }
};

void gifOk(int rc, const char* step) {
  if (rc != GIF_OK) broken(std::string("giflib failed to ") + step);
}

std::string makeGif(const GifRecipe& recipe) {
  std::string out;
  int error = 0;
  std::unique_ptr<GifFileType, GifEncoderClose> gif(EGifOpen(&out, appendToString, &error));
  if (!gif) broken("giflib cannot start an encoder");
  EGifSetGifVersion(gif.get(), recipe.gif89);
  const ColorMap global = colourMap(recipe.globalColours);
  gifOk(EGifPutScreenDesc(gif.get(), recipe.width, recipe.height, recipe.colourResolution, 0, global.get()),
        "write the screen");
  if (recipe.loops) {
    static const GifByteType kNetscape[] = {'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0'};
    static const GifByteType kForever[] = {1, 0, 0};
    gifOk(EGifPutExtensionLeader(gif.get(), APPLICATION_EXT_FUNC_CODE), "start an extension");
    gifOk(EGifPutExtensionBlock(gif.get(), sizeof kNetscape, kNetscape), "write an extension");
    gifOk(EGifPutExtensionBlock(gif.get(), sizeof kForever, kForever), "write an extension");
    gifOk(EGifPutExtensionTrailer(gif.get()), "end an extension");
  }
  for (const GifFrame& frame : recipe.frames) {
    if (frame.transparentIndex >= 0 || frame.delay >= 0) {
      GraphicsControlBlock control{DISPOSAL_UNSPECIFIED, false, frame.delay < 0 ? 0 : frame.delay,
                                   frame.transparentIndex < 0 ? NO_TRANSPARENT_COLOR : frame.transparentIndex};
      GifByteType extension[4];
      const std::size_t length = EGifGCBToExtension(&control, extension);
      gifOk(EGifPutExtension(gif.get(), GRAPHICS_EXT_FUNC_CODE, static_cast<int>(length), extension),
            "write a control block");
    }
    const ColorMap local = colourMap(frame.localColours);
    gifOk(EGifPutImageDesc(gif.get(), frame.left, frame.top, frame.width, frame.height, frame.interlaced,
                           local.get()),
          "write a frame header");
    std::vector<int> order;
    if (frame.interlaced) {
      static constexpr int kStart[] = {0, 4, 2, 1};
      static constexpr int kStep[] = {8, 8, 4, 2};
      for (int pass = 0; pass < 4; ++pass) {
        for (int y = kStart[pass]; y < frame.height; y += kStep[pass]) order.push_back(y);
      }
    } else {
      for (int y = 0; y < frame.height; ++y) order.push_back(y);
    }
    std::vector<GifPixelType> line(static_cast<std::size_t>(frame.width));
    for (const int y : order) {
      std::memcpy(line.data(), frame.indices.data() + static_cast<std::size_t>(y) * frame.width, line.size());
      gifOk(EGifPutLine(gif.get(), line.data(), frame.width), "write a row");
    }
  }
  GifFileType* done = gif.release();
  if (EGifCloseFile(done, &error) != GIF_OK) broken("giflib failed to finish a file");
  return out;
}

// A frame whose pixel (x, y) has index f(x, y).
GifFrame frameOf(int width, int height, const std::function<int(int x, int y)>& f) {
  GifFrame frame;
  frame.width = width;
  frame.height = height;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) frame.indices.push_back(static_cast<std::uint8_t>(f(x, y)));
  }
  return frame;
}

const std::vector<Rgb> kFourColours = {{220, 20, 20}, {20, 160, 40}, {30, 60, 220}, {250, 250, 250}};

std::vector<Rgb> spreadColours(int count) {
  std::vector<Rgb> colours;
  for (int i = 0; i < count; ++i) {
    colours.push_back({static_cast<std::uint8_t>(i * 37), static_cast<std::uint8_t>(255 - i),
                       static_cast<std::uint8_t>(i * 151)});
  }
  return colours;
}

// A picture of one frame covering the whole screen, four colours in stripes.
std::string simpleGif(int width, int height) {
  GifRecipe recipe;
  recipe.width = width;
  recipe.height = height;
  recipe.globalColours = kFourColours;
  recipe.frames.push_back(frameOf(width, height, [](int x, int y) { return (x / 3 + y / 2) % 4; }));
  return makeGif(recipe);
}

// Noisy indices over 256 colours: LZW data many sub-blocks long.
std::string noisyGif() {
  GifRecipe recipe;
  recipe.width = 96;
  recipe.height = 64;
  recipe.globalColours = spreadColours(256);
  recipe.frames.push_back(frameOf(96, 64, [](int x, int y) {
    return static_cast<int>(noise(static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y), 7) & 0xFF);
  }));
  return makeGif(recipe);
}

// Byte offsets in a GIF as giflib writes it.
constexpr std::size_t kScreenSizeAt = 6;
constexpr std::size_t kScreenPackedAt = 10;
constexpr std::size_t kScreenEnd = 13;

// Offset of the first image descriptor (its ',' byte), past any extensions.
std::size_t firstImageAt(const std::string& gif) {
  const std::uint8_t packed = byteAt(gif, kScreenPackedAt);
  std::size_t at = kScreenEnd + ((packed & 0x80) ? 3u << ((packed & 7) + 1) : 0);
  while (at < gif.size() && gif[at] == '!') {
    at += 2;  // introducer and label
    while (at < gif.size() && gif[at] != 0) at += 1 + byteAt(gif, at);
    ++at;  // block terminator
  }
  if (at >= gif.size() || gif[at] != ',') broken("a GIF without a frame");
  return at;
}

// Offset of the frame's LZW minimum code size byte.
std::size_t lzwStartAt(const std::string& gif) {
  const std::size_t image = firstImageAt(gif);
  const std::uint8_t packed = byteAt(gif, image + 9);
  return image + 10 + ((packed & 0x80) ? 3u << ((packed & 7) + 1) : 0);
}

void put16le(std::string& s, std::size_t at, unsigned v) {
  s.at(at) = static_cast<char>(v & 0xFF);
  s.at(at + 1) = static_cast<char>((v >> 8) & 0xFF);
}

// ---------------------------------------------------------------------------

struct CorpusBuilder {
  std::vector<CorpusFile> files;
  void add(std::string name, std::string bytes, bool readable, std::string what) {
    files.push_back(CorpusFile{std::move(name), std::move(bytes), readable, std::move(what)});
  }
};

void addJpegs(CorpusBuilder& c, bool large) {
  c.add("zero-bytes.jpg", "", false, "an empty file");
  c.add("two-bytes.jpg", "\xFF\xD8", false, "only a start-of-image marker");

  const std::string textured = makeJpeg(rgbRecipe(320, 240));
  if (scanDataOffset(textured) >= textured.size() / 10) broken("the cuts must fall in the entropy-coded data");
  for (const int percent : {10, 50, 99}) {
    c.add("cut-at-" + std::to_string(percent) + ".jpg", textured.substr(0, textured.size() * percent / 100), false,
          "a JPEG cut at " + std::to_string(percent) + "% of its bytes");
  }
  {
    // libjpeg-turbo decodes most bad codes as zero without a word; a run of
    // stuffed 0xFF bytes is never a code and leaves the decoder stopping far
    // short of its data, which the codec reports as corrupt.
    std::string damaged = textured;
    const std::size_t start = scanDataOffset(textured);
    const std::size_t middle = start + (textured.size() - start) / 2;
    for (std::size_t i = 0; i < 64; i += 2) {
      damaged[middle + i] = static_cast<char>(0xFF);
      damaged[middle + i + 1] = 0;
    }
    c.add("corrupt-entropy-data.jpg", damaged, false, "a JPEG whose entropy-coded data holds a run of invalid codes");
  }
  {
    JpegRecipe small = rgbRecipe(32, 32);
    const std::string baseline = makeJpeg(small);
    small.progressive = true;
    const std::string progressive = makeJpeg(small);
    c.add("bomb-baseline.jpg", paddedTo(withDeclaredSize(baseline, 0xC0, 65500, 65500), 2048), false,
          "a 2 KB baseline JPEG whose frame header declares 65500 x 65500 pixels");
    c.add("bomb-progressive.jpg", paddedTo(withDeclaredSize(progressive, 0xC2, 65500, 65500), 2048), false,
          "a 2 KB progressive JPEG whose frame header declares 65500 x 65500 pixels");
  }
  if (large) {
    // Grey and uniform: a small file (default Huffman tables, so the
    // encoder needs no whole-picture buffer) of exactly 2^28 pixels.
    JpegRecipe exact;
    exact.size = {16384, 16384};
    exact.input = JCS_GRAYSCALE;
    exact.components = 1;
    exact.optimize = false;
    exact.quality = 75;
    exact.fill = uniform(16384, 140);
    c.add("pixels-2-28.jpg", makeJpeg(exact), true, "a valid 16384 x 16384 JPEG: exactly 2^28 pixels");
    JpegRecipe over = exact;
    over.size = {16384, 16385};
    c.add("pixels-over-2-28.jpg", makeJpeg(over), false, "a valid 16384 x 16385 JPEG: just over 2^28 pixels");
  }

  const auto png = imaging::encodePng(Raster(Size{16, 16}, Rgb{10, 200, 30}), 8);
  if (!png) broken("the PNG encoder failed: " + png.message());
  c.add("png-data.jpg", png.value(), false, "a PNG file named .jpg");
  c.add("text-data.jpg", "This is a plain text file, not a picture.\n", false, "text named .jpg");
  c.add("gif-data.jpg", simpleGif(16, 16), false, "a GIF file named .jpg");

  {
    // Ink values with an Adobe marker (stored inverted) and without one.
    JpegRecipe cmyk;
    cmyk.size = {64, 48};
    cmyk.input = JCS_CMYK;
    cmyk.components = 4;
    cmyk.fill = [](int y, std::uint8_t* row) {
      for (int x = 0; x < 64; ++x) {
        row[x * 4] = static_cast<std::uint8_t>(x * 4);
        row[x * 4 + 1] = static_cast<std::uint8_t>(y * 5);
        row[x * 4 + 2] = 40;
        row[x * 4 + 3] = static_cast<std::uint8_t>((x + y) % 64);
      }
    };
    c.add("cmyk.jpg", makeJpeg(cmyk), true, "a CMYK JPEG with an Adobe marker");
    JpegRecipe plain = cmyk;
    plain.adobeMarker = false;
    c.add("cmyk-without-adobe-marker.jpg", makeJpeg(plain), true, "a CMYK JPEG without an Adobe marker");
    JpegRecipe ycck = cmyk;
    ycck.stored = JCS_YCCK;
    c.add("ycck.jpg", makeJpeg(ycck), true, "a YCCK JPEG");
  }
  {
    JpegRecipe grey;
    grey.size = {64, 48};
    grey.input = JCS_GRAYSCALE;
    grey.components = 1;
    grey.fill = [](int y, std::uint8_t* row) {
      for (int x = 0; x < 64; ++x) row[x] = static_cast<std::uint8_t>(x * 2 + y);
    };
    c.add("grayscale.jpg", makeJpeg(grey), true, "a grayscale JPEG");
  }
  {
    JpegRecipe r = rgbRecipe(80, 60);
    r.lumaH = 2;
    r.lumaV = 1;
    c.add("sampling-422.jpg", makeJpeg(r), true, "a 4:2:2 JPEG");
    r.lumaH = 1;
    c.add("sampling-444.jpg", makeJpeg(r), true, "a 4:4:4 JPEG");
    JpegRecipe p = rgbRecipe(80, 60);
    p.progressive = true;
    c.add("progressive.jpg", makeJpeg(p), true, "a progressive JPEG");
    JpegRecipe rgb = rgbRecipe(40, 30);
    rgb.stored = JCS_RGB;
    c.add("stored-rgb.jpg", makeJpeg(rgb), true, "a JPEG storing RGB, not YCbCr");
  }
  {
    const std::string clean = makeJpeg(rgbRecipe(64, 48));
    c.add("trailing-bytes.jpg", clean + std::string("trailing junk \xFF\xFF\x01 more\0\0", 24), true,
          "a JPEG with bytes after its end marker");
    // Stray bytes between header markers draw only a warning that the
    // decoder lets pass; a few before the end marker too.
    std::string beforeMarker = clean;
    beforeMarker.insert(requireMarker(clean, 0xDB), "\x01\x02\x03\x04", 4);
    c.add("stray-bytes-before-marker.jpg", beforeMarker, true, "a JPEG with extraneous bytes before a header marker");
    std::string beforeEnd = clean;
    if (clean.substr(clean.size() - 2) != "\xFF\xD9") broken("a JPEG without its end marker");
    beforeEnd.insert(clean.size() - 2, std::string(2, '\0'));
    c.add("stray-bytes-before-end.jpg", beforeEnd, true, "a JPEG with two stray bytes before its end marker");
    c.add("no-end-marker.jpg", clean.substr(0, clean.size() - 2), true,
          "a JPEG whose data is whole but whose end marker is missing");
  }
  for (const Size s : {Size{1, 1}, Size{1, 5000}, Size{5000, 1}}) {
    c.add("size-" + std::to_string(s.width) + "x" + std::to_string(s.height) + ".jpg",
          makeJpeg(rgbRecipe(s.width, s.height)), true,
          "a " + std::to_string(s.width) + " x " + std::to_string(s.height) + " JPEG");
  }

  // EXIF blocks: none of them may stop the picture from being read.
  const auto withApp1 = [](const std::vector<std::string>& blocks) {
    JpegRecipe r = rgbRecipe(48, 32);
    for (const std::string& b : blocks) r.markers.push_back({JPEG_APP0 + 1, b});
    return makeJpeg(r);
  };
  c.add("exif-huge.jpg", withApp1({hugeExif()}), true,
        "a JPEG with a 64 KB EXIF block: a quarter-turn orientation and a long description");
  c.add("exif-many-huge-blocks.jpg", withApp1(std::vector<std::string>(16, hugeExif())), true,
        "a JPEG with sixteen 64 KB EXIF blocks");
  c.add("exif-orientation-9.jpg", withApp1({exifWithOrientation(9)}), true,
        "a JPEG whose EXIF orientation is 9 (no such value)");
  c.add("exif-ifd-past-end.jpg", withApp1({TiffBuilder().put32(0x7FFFFFF0).bytes()}), true,
        "a JPEG whose EXIF directory offset lies past the block's end");
  {
    TiffBuilder b;
    b.put32(8).put16(2);
    b.entry(kTagDescription, kTypeAscii, 100000, 0xFFFFFF00);
    b.entry(kTagOrientation, kTypeShort, 1, 6);
    b.put32(0);
    c.add("exif-value-past-end.jpg", withApp1({b.bytes()}), true,
          "a JPEG whose EXIF entry's value lies past the block's end");
  }
  {
    TiffBuilder b;
    b.put32(8).put16(0xFFFF);
    b.entry(kTagOrientation, kTypeShort, 1, 6);
    b.put32(0);
    c.add("exif-absurd-entry-count.jpg", withApp1({b.bytes()}), true,
          "a JPEG whose EXIF directory claims 65535 entries and holds one");
  }
  {
    // The directory's next-directory link and its EXIF pointer both lead back to itself.
    TiffBuilder b;
    b.put32(8).put16(2);
    b.entry(kTagOrientation, kTypeShort, 1, 3);
    b.entry(kTagExifPointer, kTypeLong, 1, 8);
    b.put32(8);
    c.add("exif-directory-loop.jpg", withApp1({b.bytes()}), true,
          "a JPEG whose EXIF directories point back at themselves");
  }
  {
    std::string garbage("Exif\0\0", 6);
    for (std::uint32_t i = 0; i < 300; ++i) garbage += static_cast<char>(noise(i, 3, 11) & 0xFF);
    const std::string libexif = exifWithOrientation(8);
    c.add("exif-garbage.jpg", withApp1({garbage}), true, "a JPEG whose EXIF block is random bytes");
    c.add("exif-truncated.jpg", withApp1({libexif.substr(0, libexif.size() / 2)}), true,
          "a JPEG whose EXIF block is cut in half");
  }
}

void addGifs(CorpusBuilder& c) {
  c.add("zero-bytes.gif", "", false, "an empty file");
  c.add("two-bytes.gif", "GI", false, "the first two bytes of a GIF signature");
  c.add("text-data.gif", "This is a plain text file, not a picture.\n", false, "text named .gif");
  c.add("jpeg-data.gif", makeJpeg(rgbRecipe(16, 16)), false, "a JPEG file named .gif");

  {
    GifRecipe r;
    r.width = 48;
    r.height = 32;
    r.globalColours = kFourColours;
    r.loops = true;
    for (int i = 0; i < 3; ++i) {
      GifFrame f = frameOf(48, 32, [i](int, int) { return i; });
      f.delay = 10;
      r.frames.push_back(f);
    }
    c.add("animated.gif", makeGif(r), true, "an animated GIF of three frames (only the first is shown)");
  }
  {
    GifRecipe r;
    r.width = 40;
    r.height = 30;
    r.globalColours = kFourColours;
    GifFrame f = frameOf(40, 30, [](int, int y) { return y % 4; });
    f.interlaced = true;
    r.frames.push_back(f);
    c.add("interlaced.gif", makeGif(r), true, "an interlaced GIF");
  }
  {
    GifRecipe r;
    r.width = 32;
    r.height = 32;
    r.globalColours = kFourColours;
    GifFrame f = frameOf(32, 32, [](int x, int y) { return (x + y) % 2 ? 1 : 2; });
    f.transparentIndex = 1;
    r.frames.push_back(f);
    c.add("transparent.gif", makeGif(r), true, "a GIF with a transparent colour");
  }
  {
    GifRecipe r;
    r.width = 32;
    r.height = 24;
    GifFrame f = frameOf(32, 24, [](int x, int) { return x % 4; });
    f.localColours = kFourColours;
    r.frames.push_back(f);
    c.add("local-colour-table-only.gif", makeGif(r), true, "a GIF with a local colour table and no global one");
  }
  {
    // giflib writes no frame without a colour table: this one loses its
    // global table afterwards.
    GifRecipe r;
    r.width = 32;
    r.height = 24;
    r.colourResolution = 2;
    r.globalColours = kFourColours;
    r.frames.push_back(frameOf(32, 24, [](int x, int) { return x % 4; }));
    std::string bare = makeGif(r);
    const std::uint8_t packed = byteAt(bare, kScreenPackedAt);
    bare.erase(kScreenEnd, 3u << ((packed & 7) + 1));
    bare[kScreenPackedAt] = static_cast<char>(packed & 0x70);
    c.add("no-colour-table.gif", bare, true, "a GIF without any colour table");
  }
  {
    GifRecipe r;
    r.width = 20;
    r.height = 20;
    r.globalColours = kFourColours;
    GifFrame f = frameOf(20, 20, [](int x, int y) { return (x + y) % 3; });
    f.left = 10;
    f.top = 10;
    r.frames.push_back(f);
    c.add("frame-beyond-screen.gif", makeGif(r), true, "a GIF whose frame reaches past the screen's edge");
  }
  {
    GifRecipe r;
    r.width = 24;
    r.height = 16;
    r.gif89 = false;
    r.globalColours = kFourColours;
    r.frames.push_back(frameOf(24, 16, [](int x, int) { return x % 4; }));
    c.add("version-87a.gif", makeGif(r), true, "a GIF87a file");
  }
  for (const Size s : {Size{1, 1}, Size{1, 5000}, Size{5000, 1}}) {
    c.add("size-" + std::to_string(s.width) + "x" + std::to_string(s.height) + ".gif", simpleGif(s.width, s.height),
          true, "a " + std::to_string(s.width) + " x " + std::to_string(s.height) + " GIF");
  }

  const std::string noisy = noisyGif();
  const std::size_t lzw = lzwStartAt(noisy);
  const std::size_t dataLength = noisy.size() - 1 - lzw;  // up to the trailer
  if (byteAt(noisy, lzw + 1) != 255 || dataLength < 1024) broken("the noisy GIF's data is too short");
  c.add("truncated-lzw.gif", noisy.substr(0, lzw + dataLength / 2), false, "a GIF cut inside its LZW data");
  {
    // The first sub-block, then the end of the data and the trailer.
    std::string shortData = noisy.substr(0, lzw + 2 + 255);
    shortData += std::string("\0;", 2);
    c.add("lzw-data-ends-early.gif", shortData, false, "a GIF whose LZW data ends before its pixels do");
  }
  {
    std::string wide = noisy;
    wide[lzw] = 12;
    c.add("lzw-code-size-12.gif", wide, false, "a GIF whose LZW minimum code size is 12");
  }
  const std::string small = simpleGif(16, 16);
  {
    std::string flat = small;
    put16le(flat, firstImageAt(flat) + 7, 0);
    c.add("frame-height-0.gif", flat, false, "a GIF whose only frame is 0 rows high");
  }
  {
    std::string screen = small;
    put16le(screen, kScreenSizeAt, 65535);
    put16le(screen, kScreenSizeAt + 2, 65535);
    c.add("screen-65535.gif", screen, false, "a GIF whose screen is 65535 x 65535 around a 16 x 16 frame");
  }
  {
    std::string frame = small;
    put16le(frame, firstImageAt(frame) + 5, 65535);
    put16le(frame, firstImageAt(frame) + 7, 65535);
    c.add("frame-65535.gif", frame, false, "a 16 x 16 GIF whose frame declares 65535 x 65535 pixels");
  }
}

}  // namespace

std::vector<CorpusFile> hostileCorpus(bool large) {
  CorpusBuilder c;
  addJpegs(c, large);
  addGifs(c);
  std::set<std::string> names;
  for (const CorpusFile& f : c.files) {
    const auto dot = f.name.find('.');
    const std::string ext = dot == std::string::npos ? "" : f.name.substr(dot);
    if (ext != ".jpg" && ext != ".gif") broken("a name without a single .jpg or .gif extension: " + f.name);
    if (!names.insert(f.name).second) broken("a name used twice: " + f.name);
  }
  return std::move(c.files);
}

}  // namespace pixelmote::testing
