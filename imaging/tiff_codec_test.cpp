// TIFF beyond the shared contract: the forms the encoder picks, strips,
// tiles, planes and photometric kinds other writers use, alpha, and files
// whose directory comes before data that is missing.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <algorithm>
#include <string>
#include <vector>

#include "imaging/codec.h"
#include "testsupport/codec_testing.h"
#include "testsupport/temp_tree.h"

namespace pixelmote::imaging {
namespace {

using namespace pixelmote::testing;

Decoded decode(const std::string& file, Rgb background = kSurfaceBackground) {
  return decodeWith(decodeTiff, file, background);
}

// The first picture's structure as libtiff reports it.
struct Facts {
  int photometric = -1, bits = -1, samples = -1, compression = -1, planar = -1;
  bool tiled = false;
};

Facts factsOf(const std::string& file) {
  TempTree tree;
  Facts f;
  TIFF* tif = TIFFOpen(tree.fileWith("f.tif", file).c_str(), "r");
  if (tif == nullptr) return f;
  std::uint16_t v = 0;
  if (TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &v)) f.photometric = v;
  if (TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &v)) f.bits = v;
  if (TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &v)) f.samples = v;
  if (TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &v)) f.compression = v;
  if (TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &v)) f.planar = v;
  f.tiled = TIFFIsTiled(tif) != 0;
  TIFFClose(tif);
  return f;
}

// A little-endian 8-bit gray TIFF of one strip whose directory comes first,
// followed by `pixels`; the strip is declared `declaredBytes` long.
std::string grayStrip(std::uint32_t w, std::uint32_t h, const std::string& pixels, std::uint32_t declaredBytes) {
  auto le16 = [](std::uint32_t v) { return std::string{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)}; };
  auto le32 = [&](std::uint32_t v) { return le16(v & 0xFFFF) + le16(v >> 16); };
  const std::uint32_t entries[][3] = {{256, 4, w},  {257, 4, h},   {258, 3, 8}, {259, 3, 1},
                                      {262, 3, 1},  {273, 4, 122}, {277, 3, 1}, {278, 4, h}, {279, 4, declaredBytes}};
  std::string s = "II" + le16(42) + le32(8) + le16(9);
  for (const auto& e : entries) s += le16(e[0]) + le16(e[1]) + le32(1) + (e[1] == 3 ? le16(e[2]) + le16(0) : le32(e[2]));
  return s + le32(0) + pixels;  // 8 + 2 + 9 * 12 + 4 = 122 bytes before the pixels
}

TEST(TiffCodec, WritesLzwTruecolourOrAnExactPaletteOfTheSmallestDepth) {
  const struct {
    int colours, bits, photometric, depth;
  } cases[] = {{2, 8, PHOTOMETRIC_PALETTE, 1},  {3, 1, PHOTOMETRIC_RGB, 8},       {3, 2, PHOTOMETRIC_PALETTE, 2},
               {16, 4, PHOTOMETRIC_PALETTE, 4}, {17, 4, PHOTOMETRIC_RGB, 8},      {256, 8, PHOTOMETRIC_PALETTE, 8},
               {257, 8, PHOTOMETRIC_RGB, 8},    {5, 24, PHOTOMETRIC_RGB, 8}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.colours) + " colours, " + std::to_string(c.bits) + " bits");
    const Facts f = factsOf(encodeTiff(fewColours(40, 20, c.colours), c.bits).value());
    EXPECT_EQ(f.photometric, c.photometric);
    EXPECT_EQ(f.bits, c.depth);
    EXPECT_EQ(f.samples, c.photometric == PHOTOMETRIC_RGB ? 3 : 1);
    EXPECT_EQ(f.compression, COMPRESSION_LZW);
  }
}

TEST(TiffCodec, DecodesOtherWritersStripTilePlaneAndPhotometricForms) {
  const Raster colour = pattern(37, 21), palette = fewColours(37, 21, 9);
  Raster gray(Size{37, 21}), blackAndWhite(Size{37, 21});
  for (std::size_t i = 0; i < gray.rgb.size(); ++i) gray.rgb[i] = static_cast<std::uint8_t>((i / 3) * 7);
  for (std::size_t i = 0; i < blackAndWhite.rgb.size(); ++i) blackAndWhite.rgb[i] = (i / 3) % 5 == 0 ? 255 : 0;
  const struct {
    const Raster* source;
    const char* options;
    bool tiled;
    int photometric, planar;
  } cases[] = {
      {&colour, "-compress None", false, PHOTOMETRIC_RGB, PLANARCONFIG_CONTIG},
      {&colour, "-compress Zip -define tiff:rows-per-strip=1", false, PHOTOMETRIC_RGB, PLANARCONFIG_CONTIG},
      {&colour, "-depth 16 -compress LZW", false, PHOTOMETRIC_RGB, PLANARCONFIG_CONTIG},
      {&colour, "-interlace Plane -define tiff:rows-per-strip=5", false, PHOTOMETRIC_RGB, PLANARCONFIG_SEPARATE},
      {&colour, "-compress Zip -define tiff:tile-geometry=32x16", true, PHOTOMETRIC_RGB, PLANARCONFIG_CONTIG},
      {&gray, "-type Grayscale -define tiff:rows-per-strip=3", false, PHOTOMETRIC_MINISBLACK, PLANARCONFIG_CONTIG},
      {&blackAndWhite, "-type Bilevel -compress Group4", false, PHOTOMETRIC_MINISWHITE, PLANARCONFIG_CONTIG},
      {&palette, "-type Palette -compress LZW", false, PHOTOMETRIC_PALETTE, PLANARCONFIG_CONTIG},
      {&colour, "-orient BottomRight", false, PHOTOMETRIC_RGB, PLANARCONFIG_CONTIG},  // stored order is kept
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    const std::string file = magick(*c.source, c.options, "TIFF");
    ASSERT_FALSE(file.empty()) << "convert failed";
    const Facts f = factsOf(file);
    ASSERT_EQ(f.tiled, c.tiled);
    ASSERT_EQ(f.photometric, c.photometric);
    ASSERT_EQ(f.planar, c.planar);
    const Decoded d = decode(file);
    ASSERT_TRUE(d.status.ok()) << d.status.message();
    EXPECT_EQ(d.raster, *c.source);
  }
}

TEST(TiffCodec, AlphaIsComposedOverTheBackground) {
  std::string rgba, grayAlpha;
  for (int i = 0; i < 40; ++i) {
    const char a = static_cast<char>((i * 53) % 256);
    rgba += std::string{static_cast<char>(200), static_cast<char>(i * 6), static_cast<char>(i * 30), a};
    grayAlpha += std::string(3, static_cast<char>(i * 6)) + a;
  }
  const Rgb bg{10, 250, 90};
  const struct {
    const std::string* raw;
    const char* options;
    int samples;
  } cases[] = {{&rgba, "-define tiff:rows-per-strip=3", 4}, {&rgba, "-define tiff:tile-geometry=16x16", 4},
               {&rgba, "-define tiff:alpha=associated", 4}, {&rgba, "-depth 16", 4},
               {&grayAlpha, "-type GrayscaleAlpha", 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    const std::string file = magick(*c.raw, Size{8, 5}, "rgba", c.options, "TIFF");
    ASSERT_EQ(factsOf(file).samples, c.samples);
    const Decoded d = decode(file, bg);
    ASSERT_TRUE(d.status.ok()) << d.status.message();
    const Raster expected = composedOver(*c.raw, bg);
    for (std::size_t i = 0; i < expected.rgb.size(); ++i) {
      // Premultiplying inside libtiff rounds once more: allow one step.
      EXPECT_NEAR(d.raster.rgb[i], expected.rgb[i], 1) << "pixel " << i / 3;
    }
  }
}

TEST(TiffCodec, MissingDataFailsButAMissingOptionalTailDoesNot) {
  // This file ends with optional colour data: losing only that still gives
  // the whole picture, anything more fails.
  const Raster source = pattern(6, 5);
  const std::string tiled = magick(source, "-define tiff:tile-geometry=16x16", "TIFF");
  int failures = 0;
  for (std::size_t n = 0; n < tiled.size(); ++n) {
    const Decoded d = decode(tiled.substr(0, n));
    if (d.status.ok()) {
      EXPECT_EQ(d.raster, source) << "prefix of " << n << " bytes";
    } else {
      ++failures;
    }
  }
  EXPECT_GT(failures, 800);  // the pixels alone take 768 bytes
  // Directory first, then fewer pixel bytes than the strip declares.
  const Decoded cut = decode(grayStrip(4, 4, std::string(10, 'x'), 16));
  EXPECT_EQ(cut.status.message(), "data ends early");
  EXPECT_FALSE(cut.begun);
  EXPECT_EQ(decode(grayStrip(4, 4, std::string(16, '\x40'), 16)).raster, Raster(Size{4, 4}, Rgb{0x40, 0x40, 0x40}));
  const Decoded far = decode(grayStrip(10000, 10000, std::string(16, 'x'), 100000000));
  EXPECT_EQ(far.status.message(), "data ends early");
  EXPECT_FALSE(far.begun);
  EXPECT_EQ(decode(grayStrip(70000, 70000, std::string(16, 'x'), 16)).status.message(),
            "picture of 70000 x 70000 pixels is too large");
  EXPECT_FALSE(decode(std::string("II*\0\x08\0\0\0", 8)).status.message().empty());
}

}  // namespace
}  // namespace pixelmote::imaging
