// make_photos: writes a deterministic tree of photograph-like JPEGs for the thumbnail benchmark.
//
// Usage: make_photos FOLDER [--seed N]
//
// About 100 pictures of 2 to 24 megapixels over six folders (two of them
// nested), landscape and portrait (portrait both as taller-than-wide pixels and
// as landscape pixels marked with EXIF orientation 6), about a third
// progressive, the rest baseline; 4:2:0, quality 90. The content is smooth
// multi-octave value noise plus a little grain, so the compressed size and the
// decoding cost are close to those of real photographs. Beside them, four GIFs
// of 0.2 to 1.9 megapixels (256 colours, one of them a three-frame animation)
// in three of the folders. Files that already exist are kept, so a second run
// only prints the totals.
#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gif_lib.h>
#include <jpeglib.h>
#include <libexif/exif-data.h>

namespace fs = std::filesystem;

namespace {

// splitmix64: small, fast and the same on every platform (unlike std:: distributions).
struct Random {
  std::uint64_t state;
  std::uint64_t next() {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  double unit() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }  // [0, 1)
  int below(int n) { return static_cast<int>(next() % static_cast<std::uint64_t>(n)); }
};

// One octave of value noise: a grid of random values, one every `cell` pixels,
// interpolated with a smoothstep so the field has no visible grid lines.
class Octave {
 public:
  Octave(int width, int height, int cell, Random& rnd) : m_cell(cell) {
    m_gridW = width / cell + 2;
    const int gridH = height / cell + 2;
    m_grid.resize(static_cast<std::size_t>(m_gridW) * gridH);
    for (float& v : m_grid) v = static_cast<float>(rnd.unit() * 2.0 - 1.0);
    m_weight.resize(cell);
    for (int k = 0; k < cell; ++k) {
      const float t = (k + 0.5f) / cell;
      m_weight[k] = t * t * (3.0f - 2.0f * t);
    }
    m_row.resize(m_gridW);
  }

  // Adds amplitude × the field's row y to out[0, width).
  void addRow(int y, float amplitude, float* out, int width) {
    const int j = y / m_cell;
    const float wy = m_weight[y % m_cell];
    const float* g0 = &m_grid[static_cast<std::size_t>(j) * m_gridW];
    const float* g1 = g0 + m_gridW;
    for (int i = 0; i < m_gridW; ++i) m_row[i] = amplitude * (g0[i] + (g1[i] - g0[i]) * wy);
    const float* w = m_weight.data();
    for (int cellX = 0, x0 = 0; x0 < width; ++cellX, x0 += m_cell) {
      const float a = m_row[cellX];
      const float d = m_row[cellX + 1] - a;
      const int n = std::min(m_cell, width - x0);
      float* o = out + x0;
      for (int k = 0; k < n; ++k) o[k] += a + d * w[k];
    }
  }

 private:
  int m_cell;
  int m_gridW = 0;
  std::vector<float> m_grid;
  std::vector<float> m_weight;
  std::vector<float> m_row;
};

// A sum of octaves from coarse (cell = `coarsest`) down to cells of `finest` pixels.
class Field {
 public:
  Field(int width, int height, int coarsest, int finest, float persistence, Random& rnd) {
    float amplitude = 1.0f;
    float total = 0.0f;
    for (int cell = coarsest; cell >= finest; cell /= 2) {
      m_octaves.emplace_back(width, height, cell, rnd);
      m_amplitudes.push_back(amplitude);
      total += amplitude;
      amplitude *= persistence;
    }
    for (float& a : m_amplitudes) a /= total;  // the sum stays within [-1, 1]
  }
  void row(int y, float* out, int width) {
    std::fill(out, out + width, 0.0f);
    for (std::size_t i = 0; i < m_octaves.size(); ++i) m_octaves[i].addRow(y, m_amplitudes[i], out, width);
  }

 private:
  std::vector<Octave> m_octaves;
  std::vector<float> m_amplitudes;
};

std::uint8_t clampByte(float v) {
  return static_cast<std::uint8_t>(v < 0.0f ? 0.0f : (v > 255.0f ? 255.0f : v + 0.5f));
}

// Fills `rgb` (width × height × 3) with a photograph-like picture.
void paint(std::vector<std::uint8_t>& rgb, int width, int height, std::uint64_t seed) {
  Random rnd{seed};
  const int longSide = std::max(width, height);
  int coarse = 1;
  while (coarse * 2 <= longSide / 3) coarse *= 2;
  Field light(width, height, coarse, 2, 0.88f, rnd);  // detail down to 2-pixel cells
  Field blue(width, height, coarse, std::max(1, coarse / 8), 0.5f, rnd);
  Field red(width, height, coarse, std::max(1, coarse / 8), 0.5f, rnd);
  const float base = 95.0f + static_cast<float>(rnd.unit()) * 50.0f;  // overall exposure
  const float skyTint = static_cast<float>(rnd.unit()) * 30.0f;
  std::vector<float> l(width), cb(width), cr(width);
  rgb.resize(static_cast<std::size_t>(width) * height * 3);
  for (int y = 0; y < height; ++y) {
    light.row(y, l.data(), width);
    blue.row(y, cb.data(), width);
    red.row(y, cr.data(), width);
    const float sky = skyTint * (1.0f - 2.0f * y / height);  // brighter, bluer top
    std::uint32_t grain = static_cast<std::uint32_t>(seed * 2654435761u) ^ (static_cast<std::uint32_t>(y) * 0x9E3779B9u) ^ 1u;
    std::uint8_t* out = &rgb[static_cast<std::size_t>(y) * width * 3];
    for (int x = 0; x < width; ++x) {
      grain ^= grain << 13;
      grain ^= grain >> 17;
      grain ^= grain << 5;
      // Sensor grain: up to ±9 levels of luminance and ±1.5 of colour.
      const float gl = 2.5f * (static_cast<float>(grain & 7u) - 3.5f);
      const float gc = static_cast<float>((grain >> 8) & 3u) - 1.5f;
      const float lum = base + sky + 150.0f * l[x] + gl;
      const float u = 42.0f * cb[x] + 0.5f * sky;
      const float v = 36.0f * cr[x];
      out[3 * x + 0] = clampByte(lum + 1.402f * v + gc);
      out[3 * x + 1] = clampByte(lum - 0.344f * u - 0.714f * v);
      out[3 * x + 2] = clampByte(lum + 1.772f * u - gc);
    }
  }
}

// The APP1 block (starting "Exif\0\0") that marks the picture as turned by `orientation`.
std::vector<unsigned char> exifBlock(int orientation) {
  ExifData* data = exif_data_new();
  exif_data_set_byte_order(data, EXIF_BYTE_ORDER_INTEL);
  exif_data_fix(data);
  ExifEntry* entry = exif_content_get_entry(data->ifd[EXIF_IFD_0], EXIF_TAG_ORIENTATION);
  if (entry == nullptr) {
    entry = exif_entry_new();
    exif_content_add_entry(data->ifd[EXIF_IFD_0], entry);
    exif_entry_initialize(entry, EXIF_TAG_ORIENTATION);
    exif_entry_unref(entry);  // the IFD holds it now
  }
  exif_set_short(entry->data, exif_data_get_byte_order(data), static_cast<ExifShort>(orientation));
  unsigned char* bytes = nullptr;
  unsigned int size = 0;
  exif_data_save_data(data, &bytes, &size);
  std::vector<unsigned char> block(bytes, bytes + size);
  std::free(bytes);
  exif_data_unref(data);
  return block;
}

// Writes the picture to `path` through a temporary name, so an interrupted run
// never leaves a truncated file that a later run would keep.
bool writeJpeg(const fs::path& path, const std::vector<std::uint8_t>& rgb, int width, int height, bool progressive,
               int orientation) {
  const fs::path temporary = path.string() + ".part";
  FILE* file = std::fopen(temporary.c_str(), "wb");
  if (file == nullptr) {
    std::fprintf(stderr, "make_photos: cannot write %s: %s\n", temporary.c_str(), std::strerror(errno));
    return false;
  }
  jpeg_compress_struct c{};
  jpeg_error_mgr err{};
  c.err = jpeg_std_error(&err);  // the default handler exits: fine for a bench tool
  jpeg_create_compress(&c);
  jpeg_stdio_dest(&c, file);
  c.image_width = static_cast<JDIMENSION>(width);
  c.image_height = static_cast<JDIMENSION>(height);
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);  // YCbCr with 2×2 chroma sampling: 4:2:0
  jpeg_set_quality(&c, 90, TRUE);
  if (progressive) jpeg_simple_progression(&c);
  jpeg_start_compress(&c, TRUE);
  if (orientation != 1) {
    const std::vector<unsigned char> exif = exifBlock(orientation);
    jpeg_write_marker(&c, JPEG_APP0 + 1, exif.data(), static_cast<unsigned int>(exif.size()));
  }
  while (c.next_scanline < c.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(&rgb[static_cast<std::size_t>(c.next_scanline) * width * 3]);
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  const bool ok = std::fclose(file) == 0;
  std::error_code ec;
  if (ok) fs::rename(temporary, path, ec);
  if (!ok || ec) {
    std::fprintf(stderr, "make_photos: cannot write %s\n", path.c_str());
    fs::remove(temporary, ec);
    return false;
  }
  return true;
}

// Writes a GIF of `frames` pictures of width × height, each reduced to its own
// 256 colours (median cut); more than one frame makes an endless animation.
// Like writeJpeg, it goes through a temporary name.
bool writeGif(const fs::path& path, int width, int height, int frames, std::uint64_t seed) {
  const fs::path temporary = path.string() + ".part";
  int error = 0;
  GifFileType* gif = EGifOpenFileName(temporary.c_str(), false, &error);
  if (gif == nullptr) {
    std::fprintf(stderr, "make_photos: cannot write %s: %s\n", temporary.c_str(), GifErrorString(error));
    return false;
  }
  EGifSetGifVersion(gif, true);
  const std::size_t count = static_cast<std::size_t>(width) * height;
  std::vector<std::uint8_t> rgb;
  std::vector<GifByteType> red(count), green(count), blue(count), indices(count);
  bool ok = true;
  for (int frame = 0; ok && frame < frames; ++frame) {
    paint(rgb, width, height, seed + static_cast<std::uint64_t>(frame));
    for (std::size_t i = 0; i < count; ++i) {
      red[i] = rgb[3 * i];
      green[i] = rgb[3 * i + 1];
      blue[i] = rgb[3 * i + 2];
    }
    int colours = 256;
    GifColorType palette[256] = {};
    ok = GifQuantizeBuffer(static_cast<unsigned>(width), static_cast<unsigned>(height), &colours, red.data(),
                           green.data(), blue.data(), indices.data(), palette) == GIF_OK;
    ColorMapObject* map = ok ? GifMakeMapObject(256, palette) : nullptr;
    ok = map != nullptr;
    if (ok && frame == 0) {
      ok = EGifPutScreenDesc(gif, width, height, 8, 0, map) == GIF_OK;
      if (ok && frames > 1) {
        static const unsigned char kLoopForever[3] = {1, 0, 0};
        ok = EGifPutExtensionLeader(gif, APPLICATION_EXT_FUNC_CODE) == GIF_OK &&
             EGifPutExtensionBlock(gif, 11, "NETSCAPE2.0") == GIF_OK &&
             EGifPutExtensionBlock(gif, 3, kLoopForever) == GIF_OK && EGifPutExtensionTrailer(gif) == GIF_OK;
      }
    }
    if (ok && frames > 1) {
      GraphicsControlBlock control{};
      control.DisposalMode = DISPOSE_DO_NOT;
      control.DelayTime = 50;  // hundredths of a second
      control.TransparentColor = NO_TRANSPARENT_COLOR;
      GifByteType block[4];
      const std::size_t length = EGifGCBToExtension(&control, block);
      ok = EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, static_cast<int>(length), block) == GIF_OK;
    }
    // The first frame uses the screen's colour table, later ones their own.
    ok = ok && EGifPutImageDesc(gif, 0, 0, width, height, false, frame == 0 ? nullptr : map) == GIF_OK;
    for (int y = 0; ok && y < height; ++y) {
      ok = EGifPutLine(gif, &indices[static_cast<std::size_t>(y) * width], width) == GIF_OK;
    }
    if (map != nullptr) GifFreeMapObject(map);  // giflib keeps its own copies
  }
  if (!ok) error = gif->Error;
  if (EGifCloseFile(gif, &error) != GIF_OK) ok = false;  // frees `gif` in every case
  std::error_code ec;
  if (ok) fs::rename(temporary, path, ec);
  if (!ok || ec) {
    std::fprintf(stderr, "make_photos: cannot write %s: %s\n", path.c_str(), GifErrorString(error));
    fs::remove(temporary, ec);
    return false;
  }
  return true;
}

struct Size {
  int width;
  int height;
};

// Usual camera resolutions, 2 to 24 megapixels (4:3 and 3:2).
constexpr std::array<Size, 10> kSizes{{{1632, 1224},
                                       {2048, 1536},
                                       {2592, 1944},
                                       {3000, 2000},
                                       {3264, 2448},
                                       {3888, 2592},
                                       {4000, 3000},
                                       {4928, 3264},
                                       {5472, 3648},
                                       {6000, 4000}}};

struct Folder {
  const char* name;
  int count;
};

constexpr std::array<Folder, 6> kFolders{{{"Holiday 2019", 22},
                                          {"Holiday 2019/Beach", 14},
                                          {"Family", 18},
                                          {"Family/Birthday", 12},
                                          {"Family/Birthday/Cake", 10},
                                          {"Garden", 24}}};

// The GIFs: small and medium drawings and one animation, in three folders.
struct GifPlan {
  const char* folder;
  const char* name;
  Size size;
  int frames;
};

constexpr std::array<GifPlan, 4> kGifs{{{"Garden", "GIF_0001.gif", {640, 480}, 1},
                                        {"Garden", "GIF_0002.gif", {1024, 768}, 1},
                                        {"Holiday 2019", "GIF_0003.gif", {1600, 1200}, 1},
                                        {"Family/Birthday", "GIF_0004.gif", {480, 360}, 3}}};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0) {
    std::fprintf(stderr, "Usage: make_photos FOLDER [--seed N]\n");
    return 2;
  }
  const fs::path root = argv[1];
  std::uint64_t seed = 20240601;
  if (argc == 4 && std::strcmp(argv[2], "--seed") == 0) seed = std::strtoull(argv[3], nullptr, 10);

  Random plan{seed};
  int index = 0;
  int written = 0;
  int progressiveCount = 0;
  int portraitCount = 0;
  double megapixels = 0.0;
  std::uintmax_t bytes = 0;
  double seconds = 0.0;
  std::vector<std::uint8_t> rgb;
  for (const Folder& folder : kFolders) {
    const fs::path dir = root / folder.name;
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
      std::fprintf(stderr, "make_photos: cannot make %s: %s\n", dir.c_str(), ec.message().c_str());
      return 1;
    }
    for (int i = 0; i < folder.count; ++i, ++index) {
      // Decide everything from the plan before skipping, so the tree is the same however often it is resumed.
      Size size = kSizes[plan.below(static_cast<int>(kSizes.size()))];
      if (index < 2) size = kSizes.back();  // the largest size in both flavours, for the memory figures
      const bool progressive = index < 2 ? index == 1 : plan.below(3) == 0;
      int shape = plan.below(10);  // 0-5 landscape, 6-7 tall pixels, 8-9 EXIF orientation 6
      if (index < 2) shape = 0;
      const std::uint64_t pictureSeed = plan.next();
      int orientation = 1;
      if (shape >= 8) {
        orientation = 6;
      } else if (shape >= 6) {
        std::swap(size.width, size.height);
      }
      char name[32];
      std::snprintf(name, sizeof name, "IMG_%04d.jpg", index + 1);
      const fs::path path = dir / name;

      megapixels += size.width * static_cast<double>(size.height) / 1e6;
      progressiveCount += progressive;
      portraitCount += shape >= 6;
      if (!fs::exists(path)) {
        const auto start = std::chrono::steady_clock::now();
        paint(rgb, size.width, size.height, pictureSeed);
        if (!writeJpeg(path, rgb, size.width, size.height, progressive, orientation)) return 1;
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ++written;
        std::printf("%s: %dx%d%s%s\n", path.c_str(), size.width, size.height, progressive ? " progressive" : "",
                    orientation == 6 ? " orientation 6" : "");
        std::fflush(stdout);
      }
      bytes += fs::file_size(path, ec);
    }
  }
  std::printf("%d pictures (%d written now in %.1f s), %d progressive, %d portrait; %.1f megapixels, %.1f MB, %.2f bits per pixel\n",
              index, written, seconds, progressiveCount, portraitCount, megapixels, bytes / 1e6,
              bytes * 8.0 / (megapixels * 1e6));

  // The GIFs come after every JPEG in the plan, so adding them left the JPEGs as they were.
  int gifsWritten = 0;
  double gifMegapixels = 0.0;
  std::uintmax_t gifBytes = 0;
  for (const GifPlan& g : kGifs) {
    const std::uint64_t gifSeed = plan.next();
    const fs::path path = root / g.folder / g.name;
    gifMegapixels += g.size.width * static_cast<double>(g.size.height) / 1e6;
    if (!fs::exists(path)) {
      if (!writeGif(path, g.size.width, g.size.height, g.frames, gifSeed)) return 1;
      ++gifsWritten;
      std::printf("%s: %dx%d GIF%s\n", path.c_str(), g.size.width, g.size.height,
                  g.frames > 1 ? ", animated" : "");
    }
    std::error_code ec;
    gifBytes += fs::file_size(path, ec);
  }
  std::printf("%zu GIFs (%d written now); %.1f megapixels, %.1f MB\n", kGifs.size(), gifsWritten, gifMegapixels,
              gifBytes / 1e6);
  return 0;
}
