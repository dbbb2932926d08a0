#include "testsupport/codec_testing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <utility>

#include <cstdio>  // jpeglib.h needs FILE and size_t declared first
#include <jpeglib.h>

namespace pixelmote::testing {

using imaging::Raster;
using imaging::Rgb;
using imaging::Size;

imaging::Bytes bytesOf(const std::string& s) { return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()}; }

Rgb blockColour(int bx, int by, unsigned seed) {
  std::uint32_t h = seed * 2654435761u ^ static_cast<std::uint32_t>(bx) * 40503u ^ static_cast<std::uint32_t>(by) * 9973u;
  h ^= h >> 15;
  h *= 2246822519u;
  h ^= h >> 13;
  return {static_cast<std::uint8_t>(h), static_cast<std::uint8_t>(h >> 8), static_cast<std::uint8_t>(h >> 16)};
}

Raster flatBlocks(Size size, unsigned seed) {
  Raster r(size);
  for (int y = 0; y < size.height; ++y) {
    for (int x = 0; x < size.width; ++x) {
      const Rgb c = blockColour(x / 8, y / 8, seed);
      std::uint8_t* p = r.row(y) + static_cast<std::size_t>(x) * 3;
      p[0] = c.r;
      p[1] = c.g;
      p[2] = c.b;
    }
  }
  return r;
}

namespace {

// Weights of source pixels [first, first + weights.size()) in each target cell.
struct CellWeights {
  int first = 0;
  std::vector<double> weights;
};

std::vector<CellWeights> cellWeights(int source, int target) {
  std::vector<CellWeights> cells(static_cast<std::size_t>(target));
  const double width = static_cast<double>(source) / target;
  for (int t = 0; t < target; ++t) {
    const double from = t * width;
    const double to = (t + 1) * width;
    CellWeights& cell = cells[static_cast<std::size_t>(t)];
    cell.first = static_cast<int>(from);
    for (int s = cell.first; s < source && s < to; ++s) {
      cell.weights.push_back((std::min<double>(s + 1, to) - std::max<double>(s, from)) / width);
    }
  }
  return cells;
}

}  // namespace

std::vector<double> exactAreaAverage(const Raster& source, Size target) {
  const std::vector<CellWeights> across = cellWeights(source.size.width, target.width);
  const std::vector<CellWeights> down = cellWeights(source.size.height, target.height);
  std::vector<double> out(static_cast<std::size_t>(target.pixels()) * 3, 0.0);
  for (int ty = 0; ty < target.height; ++ty) {
    const CellWeights& dy = down[static_cast<std::size_t>(ty)];
    for (std::size_t j = 0; j < dy.weights.size(); ++j) {
      const std::uint8_t* row = source.row(dy.first + static_cast<int>(j));
      for (int tx = 0; tx < target.width; ++tx) {
        const CellWeights& dx = across[static_cast<std::size_t>(tx)];
        double* o = &out[(static_cast<std::size_t>(ty) * target.width + tx) * 3];
        for (std::size_t i = 0; i < dx.weights.size(); ++i) {
          const double w = dx.weights[i] * dy.weights[j];
          const std::uint8_t* p = row + (static_cast<std::size_t>(dx.first) + i) * 3;
          o[0] += w * p[0];
          o[1] += w * p[1];
          o[2] += w * p[2];
        }
      }
    }
  }
  return out;
}

AverageError compareToAverage(const Raster& actual, const std::vector<double>& expected) {
  AverageError e;
  EXPECT_EQ(static_cast<std::size_t>(actual.size.pixels()) * 3, expected.size());
  if (static_cast<std::size_t>(actual.size.pixels()) * 3 != expected.size()) {
    e.worst = 1e9;
    return e;
  }
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const double d = std::abs(actual.rgb[i] - expected[i]);
    if (d > e.worst) {
      e.worst = d;
      e.x = static_cast<int>(i / 3 % static_cast<std::size_t>(actual.size.width));
      e.y = static_cast<int>(i / 3 / static_cast<std::size_t>(actual.size.width));
    }
  }
  return e;
}

namespace {

// What a row never delivered holds: no test picture uses this colour, and
// it is not the default background either.
constexpr Rgb kNeverDelivered{1, 2, 3};

// Keeps the picture and checks the row protocol; begin() answers `accept`.
class CheckingSink : public imaging::RasterSink {
 public:
  bool begin(Size rows, Size full, const imaging::Coverage& coverage) override {
    ++begins;
    raster = Raster(rows, kNeverDelivered);
    fullSize = full;
    this->coverage = coverage;
    return accept;
  }
  void row(int y, const std::uint8_t* rgb) override {
    EXPECT_EQ(begins, 1) << "a row before begin, or begin more than once";
    EXPECT_EQ(y, rowsSeen) << "rows out of order";
    EXPECT_LT(y, raster.size.height) << "a row past the picture";
    if (y != rowsSeen || y < 0 || y >= raster.size.height) return;
    std::memcpy(raster.row(y), rgb, raster.stride());
    ++rowsSeen;
  }

  bool accept = true;
  imaging::Coverage coverage;
  int begins = 0;
  int rowsSeen = 0;
};

Decoded run(DecodeFn decode, const std::string& bytes, const imaging::DecodeRequest& request, bool accept) {
  CheckingSink sink;
  sink.accept = accept;
  Decoded d;
  d.status = decode(bytesOf(bytes), request, sink);
  EXPECT_LE(sink.begins, 1) << "begin more than once";
  d.raster = std::move(sink.raster);
  d.full = sink.fullSize;
  d.coverage = sink.coverage;
  d.begun = sink.begins > 0;
  d.rows = sink.rowsSeen;
  EXPECT_TRUE(!d.status.ok() || d.complete()) << "a successful decode delivers every row once";
  return d;
}

}  // namespace

Decoded decodeWith(DecodeFn decode, const std::string& bytes, const imaging::DecodeRequest& request) {
  return run(decode, bytes, request, true);
}

Decoded decodeWith(DecodeFn decode, const std::string& bytes, Rgb background, imaging::DecodeLimits limits) {
  imaging::DecodeRequest request;
  request.background = background;
  request.limits = limits;
  return run(decode, bytes, request, true);
}

Decoded decodeRefused(DecodeFn decode, const std::string& bytes) { return run(decode, bytes, {}, false); }

std::int64_t processKilobytes(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind(field + ":", 0) == 0) return std::stoll(line.substr(field.size() + 1));
  return -1;
}

Raster pattern(int w, int h) {
  Raster r(Size{w, h});
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      std::uint8_t* p = r.row(y) + x * 3;
      p[0] = static_cast<std::uint8_t>(x * 37 + y * 11);
      p[1] = static_cast<std::uint8_t>(x * 5 + y * 71 + 3);
      p[2] = static_cast<std::uint8_t>(x * 101 + y * 13 + 7);
    }
  return r;
}

Raster noise(Size size, unsigned seed) {
  Raster r(size);
  std::mt19937 random(seed);
  for (std::uint8_t& b : r.rgb) b = static_cast<std::uint8_t>(random());
  return r;
}

Raster rasterOf(int w, int h, const std::vector<Rgb>& pixels) {
  Raster r(Size{w, h});
  for (int i = 0; i < w * h; ++i) {
    r.rgb[i * 3] = pixels[i].r;
    r.rgb[i * 3 + 1] = pixels[i].g;
    r.rgb[i * 3 + 2] = pixels[i].b;
  }
  return r;
}

Raster fewColours(int w, int h, int colours) {
  Raster r(Size{w, h});
  for (int i = 0; i < w * h; ++i) {
    const int c = i % colours;
    r.rgb[i * 3] = static_cast<std::uint8_t>(c * 37);
    r.rgb[i * 3 + 1] = static_cast<std::uint8_t>(c * 91);
    r.rgb[i * 3 + 2] = static_cast<std::uint8_t>(c * 151 + (c >= 256 ? 1 : 0));
  }
  return r;
}

std::string libjpegFile(const Raster& picture, const JpegRecipe& recipe) {
  return libjpegFile(picture.size, 3, picture.rgb, recipe);
}

std::string libjpegFile(Size size, int components, const std::vector<std::uint8_t>& samples, const JpegRecipe& recipe) {
  jpeg_compress_struct c{};
  jpeg_error_mgr err{};
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* out = nullptr;
  unsigned long bytes = 0;
  jpeg_mem_dest(&c, &out, &bytes);
  c.image_width = static_cast<JDIMENSION>(size.width);
  c.image_height = static_cast<JDIMENSION>(size.height);
  c.input_components = components;
  c.in_color_space = components == 1 ? JCS_GRAYSCALE : components == 4 ? JCS_CMYK : JCS_RGB;
  jpeg_set_defaults(&c);
  if (recipe.storedAs >= 0) jpeg_set_colorspace(&c, static_cast<J_COLOR_SPACE>(recipe.storedAs));
  c.write_Adobe_marker = c.write_Adobe_marker && recipe.adobeMarker;
  jpeg_set_quality(&c, recipe.quality, TRUE);
  if (recipe.fullChroma || recipe.finerChroma) c.comp_info[0].h_samp_factor = c.comp_info[0].v_samp_factor = 1;
  for (int i = 1; recipe.finerChroma && i < c.num_components; ++i) c.comp_info[i].h_samp_factor = c.comp_info[i].v_samp_factor = 2;
  if (recipe.progressive) jpeg_simple_progression(&c);
  jpeg_start_compress(&c, TRUE);
  const std::vector<unsigned char> segment(60000, 0x5A);
  for (int i = 0; i < recipe.metadataSegments; ++i) {
    jpeg_write_marker(&c, JPEG_APP0 + 2, segment.data(), static_cast<unsigned>(segment.size()));
  }
  for (const auto& [code, payload] : recipe.markers) {
    jpeg_write_marker(&c, code, payload.data(), static_cast<unsigned>(payload.size()));
  }
  const std::size_t stride = static_cast<std::size_t>(size.width) * components;
  while (c.next_scanline < c.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(samples.data() + stride * c.next_scanline);
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  std::string file(reinterpret_cast<char*>(out), bytes);
  jpeg_destroy_compress(&c);
  std::free(out);
  return file;
}

}  // namespace pixelmote::testing
