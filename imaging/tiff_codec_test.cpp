#include <gtest/gtest.h>
#include <tiffio.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "imaging/codec.h"
#include "testsupport/codec_testing.h"
#include "testsupport/temp_tree.h"

namespace pixelmote::imaging {
namespace {

using namespace pixelmote::testing;

Decoded decode(const std::string& file, Rgb background = kSurfaceBackground, DecodeLimits limits = {}) {
  return decodeWith(decodeTiff, file, background, limits);
}

// Structure of a TIFF file's first picture, as libtiff reports it.
struct Facts {
  bool opened = false;
  int photometric = -1;
  int bitsPerSample = -1;
  int samplesPerPixel = -1;
  int compression = -1;
  int planar = -1;
  bool tiled = false;
  int orientation = -1;
};

Facts factsOf(const std::string& file) {
  testing::TempTree tree;
  const std::string path = tree.fileWith("f.tif", file);
  Facts f;
  TIFF* tif = TIFFOpen(path.c_str(), "r");
  if (tif == nullptr) return f;
  f.opened = true;
  std::uint16_t v = 0;
  if (TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &v)) f.photometric = v;
  if (TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &v)) f.bitsPerSample = v;
  if (TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &v)) f.samplesPerPixel = v;
  if (TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &v)) f.compression = v;
  if (TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &v)) f.planar = v;
  if (TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &v)) f.orientation = v;
  f.tiled = TIFFIsTiled(tif) != 0;
  TIFFClose(tif);
  return f;
}

// A little-endian TIFF whose directory (entries with values of up to four
// bytes, in tag order) comes first, followed by `pixels`.
struct Entry {
  std::uint16_t tag;
  std::uint16_t type;  // 3 short, 4 long
  std::uint32_t value;
};

std::string handMade(std::vector<Entry> entries, const std::string& pixels, std::uint32_t declaredBytes) {
  auto le16 = [](std::uint32_t v) { return std::string{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)}; };
  auto le32 = [&](std::uint32_t v) { return le16(v & 0xFFFF) + le16(v >> 16); };
  const std::uint32_t dataOffset = static_cast<std::uint32_t>(8 + 2 + (entries.size() + 2) * 12 + 4);
  entries.push_back({273, 4, dataOffset});     // strip offsets
  entries.push_back({279, 4, declaredBytes});  // strip byte counts
  std::string s = "II" + le16(42) + le32(8) + le16(static_cast<std::uint32_t>(entries.size()));
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.tag < b.tag; });
  for (const Entry& e : entries)
    s += le16(e.tag) + le16(e.type) + le32(1) + (e.type == 3 ? le16(e.value) + le16(0) : le32(e.value));
  s += le32(0);
  return s + pixels;
}

std::vector<Entry> grayEntries(std::uint32_t w, std::uint32_t h) {
  return {{256, 4, w}, {257, 4, h}, {258, 3, 8}, {259, 3, 1}, {262, 3, 1}, {277, 3, 1}, {278, 4, h}};
}

TEST(TiffCodec, RoundTripsGiveBackTheSamePixels) {
  for (const Size size : {Size{1, 1}, Size{3, 5}, Size{4, 4}, Size{1, 5000}, Size{5000, 1}, Size{61, 37}}) {
    SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height));
    for (const Raster& source : {pattern(size.width, size.height), fewColours(size.width, size.height, 3)})
      for (const int bits : {1, 2, 8, 24}) {
        const util::Result<std::string> file = encodeTiff(source, bits);
        ASSERT_TRUE(file.ok()) << file.message();
        const Decoded d = decode(file.value());
        ASSERT_TRUE(d.status.ok()) << d.status.message();
        EXPECT_EQ(d.raster, source) << bits << " bits";
      }
  }
}

TEST(TiffCodec, WritesCompressedTruecolourOrAnExactPalette) {
  struct Case {
    int colours;
    int bits;
    int photometric;
    int depth;
  };
  for (const Case& c :
       {Case{2, 8, PHOTOMETRIC_PALETTE, 1}, Case{3, 1, PHOTOMETRIC_RGB, 8}, Case{3, 2, PHOTOMETRIC_PALETTE, 2},
        Case{16, 4, PHOTOMETRIC_PALETTE, 4}, Case{17, 4, PHOTOMETRIC_RGB, 8}, Case{256, 8, PHOTOMETRIC_PALETTE, 8},
        Case{257, 8, PHOTOMETRIC_RGB, 8}, Case{5, 24, PHOTOMETRIC_RGB, 8}}) {
    SCOPED_TRACE(std::to_string(c.colours) + " colours, " + std::to_string(c.bits) + " bits");
    const Raster source = fewColours(40, 20, c.colours);
    const std::string file = encodeTiff(source, c.bits).value();
    const Facts f = factsOf(file);
    ASSERT_TRUE(f.opened);
    EXPECT_EQ(f.photometric, c.photometric);
    EXPECT_EQ(f.bitsPerSample, c.depth);
    EXPECT_EQ(f.samplesPerPixel, c.photometric == PHOTOMETRIC_RGB ? 3 : 1);
    EXPECT_EQ(f.compression, COMPRESSION_LZW);
    const Decoded d = decode(file);
    ASSERT_TRUE(d.status.ok()) << d.status.message();
    EXPECT_EQ(d.raster, source);
  }
}

TEST(TiffCodec, EncodeRefusesEmptyRasters) {
  const util::Result<std::string> r = encodeTiff(Raster(), 8);
  ASSERT_FALSE(r.ok());
  EXPECT_FALSE(r.message().empty());
}

TEST(TiffCodec, DecodesImageMagickStripAndTileForms) {
  const Raster colour = pattern(37, 21);
  Raster gray(Size{37, 21});
  for (std::size_t i = 0; i < gray.rgb.size(); ++i) gray.rgb[i] = static_cast<std::uint8_t>((i / 3) * 7);
  Raster blackAndWhite(Size{37, 21});
  for (std::size_t i = 0; i < blackAndWhite.rgb.size(); ++i) blackAndWhite.rgb[i] = (i / 3) % 5 == 0 ? 255 : 0;
  const Raster palette = fewColours(37, 21, 9);
  struct Case {
    const Raster* source;
    const char* options;
    bool tiled;
    int photometric;
    int planar;
  };
  for (const Case& c : {
           Case{&colour, "-compress None", false, PHOTOMETRIC_RGB, PLANARCONFIG_CONTIG},
           Case{&colour, "-compress LZW -define tiff:rows-per-strip=4", false, PHOTOMETRIC_RGB, PLANARCONFIG_CONTIG},
           Case{&colour, "-compress Zip -define tiff:rows-per-strip=1", false, PHOTOMETRIC_RGB, PLANARCONFIG_CONTIG},
           Case{&colour, "-depth 16 -compress LZW", false, PHOTOMETRIC_RGB, PLANARCONFIG_CONTIG},
           Case{&colour, "-interlace Plane -define tiff:rows-per-strip=5", false, PHOTOMETRIC_RGB,
                PLANARCONFIG_SEPARATE},
           Case{&colour, "-define tiff:tile-geometry=16x16", true, PHOTOMETRIC_RGB, PLANARCONFIG_CONTIG},
           Case{&colour, "-compress Zip -define tiff:tile-geometry=32x16", true, PHOTOMETRIC_RGB, PLANARCONFIG_CONTIG},
           Case{&gray, "-type Grayscale -define tiff:rows-per-strip=3", false, PHOTOMETRIC_MINISBLACK,
                PLANARCONFIG_CONTIG},
           Case{&blackAndWhite, "-type Bilevel -compress Group4", false, PHOTOMETRIC_MINISWHITE, PLANARCONFIG_CONTIG},
           Case{&palette, "-type Palette -compress LZW", false, PHOTOMETRIC_PALETTE, PLANARCONFIG_CONTIG},
       }) {
    SCOPED_TRACE(c.options);
    const std::string file = magick(*c.source, c.options, "TIFF");
    ASSERT_FALSE(file.empty()) << "convert failed";
    const Facts f = factsOf(file);
    ASSERT_TRUE(f.opened);
    ASSERT_EQ(f.tiled, c.tiled);
    ASSERT_EQ(f.photometric, c.photometric);
    ASSERT_EQ(f.planar, c.planar);
    const Decoded d = decode(file);
    ASSERT_TRUE(d.status.ok()) << d.status.message();
    EXPECT_EQ(d.raster, *c.source);
  }
}

TEST(TiffCodec, AlphaIsComposedOverTheBackground) {
  std::string rgba;
  std::string grayAlpha;
  for (int i = 0; i < 40; ++i) {
    const char a = static_cast<char>((i * 53) % 256);
    rgba += std::string{static_cast<char>(200), static_cast<char>(i * 6), static_cast<char>(i * 30), a};
    grayAlpha += std::string(3, static_cast<char>(i * 6)) + a;
  }
  const Rgb bg{10, 250, 90};
  struct Case {
    const std::string* raw;
    const char* options;
    bool tiled;
    int samples;
  };
  for (const Case& c : {Case{&rgba, "", false, 4}, Case{&rgba, "-define tiff:rows-per-strip=3", false, 4},
                        Case{&rgba, "-define tiff:tile-geometry=16x16", true, 4},
                        Case{&rgba, "-define tiff:alpha=associated", false, 4}, Case{&rgba, "-depth 16", false, 4},
                        Case{&grayAlpha, "-type GrayscaleAlpha", false, 2}}) {
    SCOPED_TRACE(c.options);
    const std::string file = magick(*c.raw, Size{8, 5}, "rgba", c.options, "TIFF");
    ASSERT_FALSE(file.empty()) << "convert failed";
    const Facts f = factsOf(file);
    ASSERT_EQ(f.tiled, c.tiled);
    ASSERT_EQ(f.samplesPerPixel, c.samples);
    const Decoded d = decode(file, bg);
    ASSERT_TRUE(d.status.ok()) << d.status.message();
    for (int i = 0; i < 40; ++i) {
      const auto* p = reinterpret_cast<const std::uint8_t*>(c.raw->data()) + i * 4;
      const std::uint8_t back[3] = {bg.r, bg.g, bg.b};
      const std::uint8_t* got = d.raster.rgb.data() + i * 3;
      for (int k = 0; k < 3; ++k) {
        // Premultiplying inside libtiff rounds once more: allow one step.
        const int expected = (p[k] * p[3] + back[k] * (255 - p[3]) + 127) / 255;
        EXPECT_NEAR(got[k], expected, 1) << "pixel " << i << " channel " << k;
      }
    }
  }
}

TEST(TiffCodec, OrientationTagIsNotApplied) {
  const Raster source = pattern(9, 6);
  const std::string file = magick(source, "-orient BottomRight", "TIFF");
  ASSERT_FALSE(file.empty()) << "convert failed";
  ASSERT_EQ(factsOf(file).orientation, ORIENTATION_BOTRIGHT);
  const Decoded d = decode(file);
  ASSERT_TRUE(d.status.ok()) << d.status.message();
  EXPECT_EQ(d.raster, source);  // stored order, top row first
}

TEST(TiffCodec, TruncatedFilesFailWithAMessage) {
  // Our files keep the directory at the end: every prefix lacks it.
  for (const std::string& file : {encodeTiff(pattern(6, 5), 24).value(), encodeTiff(fewColours(6, 5, 4), 8).value()}) {
    for (std::size_t n = 0; n < file.size(); ++n) {
      const Decoded d = decode(file.substr(0, n));
      ASSERT_FALSE(d.status.ok()) << "prefix of " << n << " bytes";
      EXPECT_FALSE(d.status.message().empty());
    }
  }
  // This one ends with optional colour data: losing only that still gives
  // the whole picture, anything more fails.
  const Raster source = pattern(6, 5);
  const std::string tiled = magick(source, "-define tiff:tile-geometry=16x16", "TIFF");
  ASSERT_FALSE(tiled.empty()) << "convert failed";
  int failures = 0;
  for (std::size_t n = 0; n < tiled.size(); ++n) {
    const Decoded d = decode(tiled.substr(0, n));
    if (d.status.ok()) {
      EXPECT_EQ(d.raster, source) << "prefix of " << n << " bytes";
    } else {
      EXPECT_FALSE(d.status.message().empty());
      ++failures;
    }
  }
  EXPECT_GT(failures, 800);  // the pixels alone take 768 bytes
  // Directory first, then fewer pixel bytes than the strip declares.
  const std::string cut = handMade(grayEntries(4, 4), std::string(10, 'x'), 16);
  const Decoded d = decode(cut);
  EXPECT_EQ(d.status.message(), "data ends early");
  EXPECT_FALSE(d.begun);
  const Decoded whole = decode(handMade(grayEntries(4, 4), std::string(16, '\x40'), 16));
  ASSERT_TRUE(whole.status.ok()) << whole.status.message();
  EXPECT_EQ(whole.raster, Raster(Size{4, 4}, Rgb{0x40, 0x40, 0x40}));
}

TEST(TiffCodec, GarbageFailsWithAMessageAndNoCrash) {
  EXPECT_EQ(decode("").status.message(), "not a TIFF file");
  EXPECT_EQ(decode("II*").status.message(), "not a TIFF file");
  EXPECT_EQ(decode("\x89PNG....").status.message(), "not a TIFF file");
  const Decoded headerOnly = decode(std::string("II*\0\x08\0\0\0", 8));
  EXPECT_FALSE(headerOnly.status.ok());
  EXPECT_FALSE(headerOnly.status.message().empty());

  std::mt19937 random(99);
  const std::string good = encodeTiff(pattern(12, 9), 24).value();
  for (int round = 0; round < 1000; ++round) {
    std::string bad = good;
    const int changes = 1 + static_cast<int>(random() % 4);
    for (int i = 0; i < changes; ++i) bad[4 + random() % (bad.size() - 4)] = static_cast<char>(random());
    const Decoded d = decode(bad);
    if (!d.status.ok()) {
      EXPECT_FALSE(d.status.message().empty());
    }
  }
}

TEST(TiffCodec, RefusesAbsurdSizesBeforeStarting) {
  Decoded d = decode(handMade(grayEntries(70000, 70000), std::string(16, 'x'), 16));
  EXPECT_EQ(d.status.message(), "picture of 70000 x 70000 pixels is too large");
  EXPECT_FALSE(d.begun);

  DecodeLimits small;
  small.maxPixels = 100;
  d = decode(encodeTiff(pattern(20, 20), 24).value(), kSurfaceBackground, small);
  EXPECT_EQ(d.status.message(), "picture of 20 x 20 pixels is too large");
  EXPECT_FALSE(d.begun);

  // Within the limit, but the strip lies beyond the data.
  d = decode(handMade(grayEntries(10000, 10000), std::string(16, 'x'), 100000000));
  EXPECT_EQ(d.status.message(), "data ends early");
  EXPECT_FALSE(d.begun);
}

TEST(TiffCodec, SinkRefusalStopsTheDecode) {
  const Decoded d = decodeRefused(decodeTiff, encodeTiff(pattern(2, 2), 24).value());
  EXPECT_FALSE(d.status.ok());
  EXPECT_EQ(d.rows, 0);
}

}  // namespace
}  // namespace pixelmote::imaging
