#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "imaging/codec.h"
#include "testsupport/codec_testing.h"

namespace pixelmote::imaging {
namespace {

using namespace pixelmote::testing;

Decoded decode(const std::string& file, Rgb background = kSurfaceBackground, DecodeLimits limits = {}) {
  return decodeWith(decodePng, file, background, limits);
}

int colourType(const std::string& png) { return static_cast<std::uint8_t>(png[25]); }
int bitDepth(const std::string& png) { return static_cast<std::uint8_t>(png[24]); }
int interlaceMethod(const std::string& png) { return static_cast<std::uint8_t>(png[28]); }

std::uint32_t crc32(const std::string& bytes) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  std::uint32_t c = 0xFFFFFFFFu;
  for (char ch : bytes) c = table[(c ^ static_cast<std::uint8_t>(ch)) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

std::string be32Text(std::uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

std::string chunk(const std::string& type, const std::string& body) {
  return be32Text(static_cast<std::uint32_t>(body.size())) + type + body + be32Text(crc32(type + body));
}

// A PNG signature and header chunk declaring `w` x `h` 8-bit RGB pixels.
std::string pngHeader(std::uint32_t w, std::uint32_t h) {
  return std::string("\x89PNG\r\n\x1a\n", 8) +
         chunk("IHDR", be32Text(w) + be32Text(h) + std::string("\x08\x02\x00\x00\x00", 5));
}

TEST(PngCodec, RoundTripsGiveBackTheSamePixels) {
  for (const Size size : {Size{1, 1}, Size{3, 5}, Size{4, 4}, Size{1, 5000}, Size{5000, 1}, Size{61, 37}}) {
    SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height));
    for (const Raster& source : {pattern(size.width, size.height), fewColours(size.width, size.height, 3)})
      for (const int bits : {1, 2, 8, 24}) {
        const util::Result<std::string> file = encodePng(source, bits);
        ASSERT_TRUE(file.ok()) << file.message();
        const Decoded d = decode(file.value());
        ASSERT_TRUE(d.status.ok()) << d.status.message();
        EXPECT_EQ(d.raster, source) << bits << " bits";
      }
  }
}

TEST(PngCodec, UsesAPaletteOnlyWhenTheColoursFit) {
  struct Case {
    int colours;
    int bits;
    int type;   // 2 truecolour, 3 palette
    int depth;  // bits per index or per channel
  };
  for (const Case& c :
       {Case{2, 8, 3, 1}, Case{2, 1, 3, 1}, Case{3, 1, 2, 8}, Case{3, 2, 3, 2}, Case{16, 4, 3, 4}, Case{17, 4, 2, 8},
        Case{17, 8, 3, 8}, Case{256, 8, 3, 8}, Case{257, 8, 2, 8}, Case{5, 24, 2, 8}, Case{5, 0, 2, 8}}) {
    SCOPED_TRACE(std::to_string(c.colours) + " colours, " + std::to_string(c.bits) + " bits");
    const Raster source = fewColours(40, 20, c.colours);
    const std::string file = encodePng(source, c.bits).value();
    EXPECT_EQ(colourType(file), c.type);
    EXPECT_EQ(bitDepth(file), c.depth);
    EXPECT_EQ(interlaceMethod(file), 0);
    const Decoded d = decode(file);
    ASSERT_TRUE(d.status.ok()) << d.status.message();
    EXPECT_EQ(d.raster, source);
  }
}

TEST(PngCodec, EncodeRefusesEmptyRasters) {
  const util::Result<std::string> r = encodePng(Raster(), 8);
  ASSERT_FALSE(r.ok());
  EXPECT_FALSE(r.message().empty());
}

TEST(PngCodec, DecodesEveryColourTypeAndDepth) {
  const Raster colour = pattern(13, 7);
  Raster gray(Size{13, 7});
  for (std::size_t i = 0; i < gray.rgb.size(); ++i) gray.rgb[i] = static_cast<std::uint8_t>((i / 3) * 2);
  Raster blackAndWhite(Size{13, 7});
  for (std::size_t i = 0; i < blackAndWhite.rgb.size(); ++i) blackAndWhite.rgb[i] = (i / 3) % 3 == 0 ? 255 : 0;
  const Raster palette = fewColours(13, 7, 9);
  struct Case {
    const Raster* source;
    const char* options;
    const char* format;
    int type;
    int depth;
    int interlace;
  };
  for (const Case& c : {
           Case{&colour, "", "PNG24", 2, 8, 0},
           Case{&colour, "-depth 16", "PNG48", 2, 16, 0},
           Case{&colour, "-interlace PNG", "PNG24", 2, 8, 1},
           Case{&colour, "-depth 16 -interlace PNG", "PNG48", 2, 16, 1},
           Case{&gray, "-define png:color-type=0 -define png:bit-depth=8", "PNG", 0, 8, 0},
           Case{&gray, "-define png:color-type=0 -define png:bit-depth=16", "PNG", 0, 16, 0},
           Case{&blackAndWhite, "-define png:color-type=0 -define png:bit-depth=1", "PNG", 0, 1, 0},
           Case{&palette, "", "PNG8", 3, 8, 0},
           Case{&palette, "-define png:bit-depth=4", "PNG8", 3, 4, 0},
           Case{&palette, "-interlace PNG", "PNG8", 3, 8, 1},
       }) {
    SCOPED_TRACE(std::string(c.options) + " " + c.format);
    const std::string file = magick(*c.source, c.options, c.format);
    ASSERT_FALSE(file.empty()) << "convert failed";
    ASSERT_EQ(colourType(file), c.type);
    ASSERT_EQ(bitDepth(file), c.depth);
    ASSERT_EQ(interlaceMethod(file), c.interlace);
    const Decoded d = decode(file);
    ASSERT_TRUE(d.status.ok()) << d.status.message();
    EXPECT_EQ(d.raster, *c.source);
  }
}

TEST(PngCodec, TransparencyIsComposedOverTheBackground) {
  // Eight pixels of rising alpha, in truecolour, gray and palette forms.
  const std::string rgba = risingAlphaPixels();
  std::string grayAlpha;
  for (int i = 0; i < 8; ++i)
    grayAlpha += std::string{static_cast<char>(i * 20), static_cast<char>(i * 20), static_cast<char>(i * 20),
                             static_cast<char>(i * 36)};
  const Rgb bg{10, 250, 90};
  struct Case {
    const std::string* raw;
    const char* options;
    const char* format;
    int type;
  };
  for (const Case& c :
       {Case{&rgba, "", "PNG32", 6}, Case{&rgba, "-depth 16", "PNG64", 6}, Case{&rgba, "-interlace PNG", "PNG32", 6},
        Case{&grayAlpha, "-define png:color-type=4", "PNG", 4}}) {
    SCOPED_TRACE(std::string(c.options) + " " + c.format);
    const std::string file = magick(*c.raw, Size{8, 1}, "rgba", c.options, c.format);
    ASSERT_FALSE(file.empty()) << "convert failed";
    ASSERT_EQ(colourType(file), c.type);
    const Decoded d = decode(file, bg);
    ASSERT_TRUE(d.status.ok()) << d.status.message();
    EXPECT_EQ(d.raster, composedOver(*c.raw, bg));
  }

  // A palette with one fully transparent entry (tRNS).
  std::string keyed;
  for (int i = 0; i < 6; ++i) keyed += i % 2 == 0 ? std::string("\xFF\x00\x00\xFF", 4) : std::string(4, '\0');
  const std::string file = magick(keyed, Size{6, 1}, "rgba", "", "PNG8");
  ASSERT_FALSE(file.empty()) << "convert failed";
  ASSERT_EQ(colourType(file), 3);
  ASSERT_NE(file.find("tRNS"), std::string::npos);
  const Decoded d = decode(file, bg);
  ASSERT_TRUE(d.status.ok()) << d.status.message();
  for (int x = 0; x < 6; ++x) EXPECT_EQ(d.raster.at(x, 0), x % 2 == 0 ? (Rgb{255, 0, 0}) : bg) << "pixel " << x;
}

TEST(PngCodec, TruncatedFilesFailWithAMessage) {
  for (const std::string& file : {encodePng(pattern(6, 5), 24).value(), encodePng(fewColours(6, 5, 4), 8).value(),
                                  magick(pattern(6, 5), "-interlace PNG", "PNG24")}) {
    ASSERT_FALSE(file.empty());
    for (std::size_t n = 0; n < file.size(); ++n) {
      const Decoded d = decode(file.substr(0, n));
      ASSERT_FALSE(d.status.ok()) << "prefix of " << n << " bytes";
      EXPECT_FALSE(d.status.message().empty());
    }
    EXPECT_EQ(decode(file.substr(0, file.size() - 20)).status.message(), "data ends early");
  }
}

TEST(PngCodec, CorruptAndGarbageDataFailWithAMessage) {
  EXPECT_EQ(decode("").status.message(), "not a PNG file");
  EXPECT_EQ(decode("GIF89a....").status.message(), "not a PNG file");
  const std::string good = encodePng(pattern(20, 10), 24).value();
  // A flipped bit inside the compressed data: the chunk's checksum fails.
  std::string bad = good;
  const std::size_t idat = bad.find("IDAT");
  ASSERT_NE(idat, std::string::npos);
  bad[idat + 10] = static_cast<char>(bad[idat + 10] ^ 0x10);
  Decoded d = decode(bad);
  EXPECT_FALSE(d.status.ok());
  EXPECT_NE(d.status.message().find("PNG"), std::string::npos) << d.status.message();

  std::mt19937 random(4242);
  for (int round = 0; round < 2000; ++round) {
    bad = good;
    const int changes = 1 + static_cast<int>(random() % 4);
    for (int i = 0; i < changes; ++i) bad[8 + random() % (bad.size() - 8)] = static_cast<char>(random());
    d = decode(bad);
    if (!d.status.ok()) {
      EXPECT_FALSE(d.status.message().empty());
    }
  }
}

TEST(PngCodec, RefusesAbsurdSizesBeforeStarting) {
  Decoded d = decode(pngHeader(70000, 70000) + chunk("IEND", ""));
  EXPECT_EQ(d.status.message(), "picture of 70000 x 70000 pixels is too large");
  EXPECT_FALSE(d.begun);
  // One side beyond any limit.
  d = decode(pngHeader(1, 0x7FFFFFFF) + chunk("IEND", ""));
  EXPECT_NE(d.status.message().find("too large"), std::string::npos);
  d = decode(pngHeader(0, 5) + chunk("IEND", ""));
  EXPECT_NE(d.status.message().find("invalid"), std::string::npos);

  // A real picture above a lowered limit.
  DecodeLimits small;
  small.maxPixels = 100;
  d = decode(encodePng(pattern(20, 20), 24).value(), kSurfaceBackground, small);
  EXPECT_EQ(d.status.message(), "picture of 20 x 20 pixels is too large");
  EXPECT_FALSE(d.begun);
  // Declared size well within the limit, data absent.
  d = decode(pngHeader(10000, 10000) + chunk("IEND", ""));
  EXPECT_FALSE(d.status.ok());
}

TEST(PngCodec, SinkRefusalStopsTheDecode) {
  const Decoded d = decodeRefused(decodePng, encodePng(pattern(2, 2), 24).value());
  EXPECT_FALSE(d.status.ok());
  EXPECT_EQ(d.rows, 0);
}

}  // namespace
}  // namespace pixelmote::imaging
