#include "testsupport/codec_testing.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>

#include <cstdio>  // jpeglib.h needs FILE and size_t declared first
#include <jpeglib.h>

namespace pixelmote::testing {

using imaging::Raster;
using imaging::Rgb;
using imaging::Size;

imaging::Bytes bytesOf(const std::string& s) { return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()}; }

namespace {

// Keeps the picture and checks the row protocol. Rows never delivered keep
// a colour no test picture uses.
class CheckingSink : public imaging::RasterSink {
 public:
  bool begin(Size rows, Size full, const imaging::Coverage& coverage) override {
    ++begins;
    d.raster = Raster(rows, Rgb{1, 2, 3});
    d.full = full;
    d.coverage = coverage;
    return accept;
  }
  void row(int y, const std::uint8_t* rgb) override {
    EXPECT_EQ(begins, 1) << "a row before begin, or begin more than once";
    EXPECT_EQ(y, d.rows) << "rows out of order";
    EXPECT_LT(y, d.raster.size.height) << "a row past the picture";
    if (y != d.rows || y < 0 || y >= d.raster.size.height) return;
    std::memcpy(d.raster.row(y), rgb, d.raster.stride());
    ++d.rows;
  }
  bool accept = true;
  int begins = 0;
  Decoded d;
};

}  // namespace

Decoded decodeWith(DecodeFn decode, const std::string& bytes, const imaging::DecodeRequest& request, bool accept) {
  CheckingSink sink;
  sink.accept = accept;
  sink.d.status = decode(bytesOf(bytes), request, sink);
  EXPECT_LE(sink.begins, 1) << "begin more than once";
  sink.d.begun = sink.begins > 0;
  EXPECT_TRUE(!sink.d.status.ok() || (sink.d.begun && sink.d.rows == sink.d.raster.size.height))
      << "a successful decode delivers every row once";
  return std::move(sink.d);
}

Decoded decodeWith(DecodeFn decode, const std::string& bytes, Rgb background, imaging::DecodeLimits limits) {
  imaging::DecodeRequest request;
  request.background = background;
  request.limits = limits;
  return decodeWith(decode, bytes, request);
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
  jpeg_compress_struct c{};
  jpeg_error_mgr err{};
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* out = nullptr;
  unsigned long bytes = 0;
  jpeg_mem_dest(&c, &out, &bytes);
  c.image_width = static_cast<JDIMENSION>(picture.size.width);
  c.image_height = static_cast<JDIMENSION>(picture.size.height);
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, recipe.quality, TRUE);
  if (recipe.fullChroma || recipe.finerChroma) c.comp_info[0].h_samp_factor = c.comp_info[0].v_samp_factor = 1;
  for (int i = 1; recipe.finerChroma && i < c.num_components; ++i) c.comp_info[i].h_samp_factor = c.comp_info[i].v_samp_factor = 2;
  if (recipe.progressive) jpeg_simple_progression(&c);
  jpeg_start_compress(&c, TRUE);
  for (const auto& [code, payload] : recipe.markers) {
    jpeg_write_marker(&c, code, payload.data(), static_cast<unsigned>(payload.size()));
  }
  while (c.next_scanline < c.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(picture.row(static_cast<int>(c.next_scanline)));
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  std::string file(reinterpret_cast<char*>(out), bytes);
  jpeg_destroy_compress(&c);
  std::free(out);
  return file;
}

}  // namespace pixelmote::testing
