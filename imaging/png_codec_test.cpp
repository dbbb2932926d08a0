// PNG beyond the shared contract: the palette form's choice, every colour
// type and depth other writers use, alpha composition and hostile headers.
#include <gtest/gtest.h>

#include <string>

#include "imaging/codec.h"
#include "testsupport/codec_testing.h"

namespace pixelmote::imaging {
namespace {

using namespace pixelmote::testing;

Decoded decode(const std::string& file, Rgb background = kSurfaceBackground) {
  return decodeWith(decodePng, file, background);
}

int colourType(const std::string& png) { return static_cast<std::uint8_t>(png[25]); }
int bitDepth(const std::string& png) { return static_cast<std::uint8_t>(png[24]); }

std::string be32(std::uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

std::string chunk(const std::string& type, const std::string& body) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (const char ch : type + body) {
    crc ^= static_cast<std::uint8_t>(ch);
    for (int k = 0; k < 8; ++k) crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
  }
  return be32(static_cast<std::uint32_t>(body.size())) + type + body + be32(crc ^ 0xFFFFFFFFu);
}

// A signature, a header declaring `w` x `h` 8-bit RGB pixels and the end.
std::string declaring(std::uint32_t w, std::uint32_t h) {
  return std::string("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", be32(w) + be32(h) + std::string("\x08\x02\0\0\0", 5)) +
         chunk("IEND", "");
}

TEST(PngCodec, UsesAPaletteOfTheSmallestDepthOnlyWhenTheColoursFit) {
  struct Case {
    int colours, bits, type, depth;  // type 2 truecolour, 3 palette
  } cases[] = {{2, 8, 3, 1},   {2, 1, 3, 1},    {3, 1, 2, 8},   {3, 2, 3, 2},  {16, 4, 3, 4},
               {17, 4, 2, 8},  {17, 8, 3, 8},   {256, 8, 3, 8}, {257, 8, 2, 8}, {5, 24, 2, 8}, {5, 0, 2, 8}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.colours) + " colours, " + std::to_string(c.bits) + " bits");
    const std::string file = encodePng(fewColours(40, 20, c.colours), c.bits).value();
    EXPECT_EQ(colourType(file), c.type);
    EXPECT_EQ(bitDepth(file), c.depth);
    EXPECT_EQ(static_cast<int>(file[28]), 0);  // not interlaced
  }
}

TEST(PngCodec, DecodesOtherWritersColourTypesDepthsAndInterlacing) {
  Raster gray(Size{13, 7});
  for (std::size_t i = 0; i < gray.rgb.size(); ++i) gray.rgb[i] = static_cast<std::uint8_t>((i / 3) * 2);
  Raster blackAndWhite(Size{13, 7});
  for (std::size_t i = 0; i < blackAndWhite.rgb.size(); ++i) blackAndWhite.rgb[i] = (i / 3) % 3 == 0 ? 255 : 0;
  const Raster colour = pattern(13, 7), palette = fewColours(13, 7, 9);
  const struct {
    const Raster* source;
    const char* options;
    const char* format;
    int type, depth;
  } cases[] = {
      {&colour, "", "PNG24", 2, 8},
      {&colour, "-depth 16 -interlace PNG", "PNG48", 2, 16},
      {&colour, "-interlace PNG", "PNG24", 2, 8},
      {&gray, "-define png:color-type=0 -define png:bit-depth=16", "PNG", 0, 16},
      {&blackAndWhite, "-define png:color-type=0 -define png:bit-depth=1", "PNG", 0, 1},
      {&palette, "-define png:bit-depth=4", "PNG8", 3, 4},
      {&palette, "-interlace PNG", "PNG8", 3, 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.options) + " " + c.format);
    const std::string file = magick(*c.source, c.options, c.format);
    ASSERT_FALSE(file.empty()) << "convert failed";
    ASSERT_EQ(colourType(file), c.type);
    ASSERT_EQ(bitDepth(file), c.depth);
    const Decoded d = decode(file);
    ASSERT_TRUE(d.status.ok()) << d.status.message();
    EXPECT_EQ(d.raster, *c.source);
  }
}

TEST(PngCodec, TransparencyIsComposedOverTheBackground) {
  const std::string rgba = risingAlphaPixels();
  std::string grayAlpha, keyed;
  for (int i = 0; i < 8; ++i) grayAlpha += std::string(3, static_cast<char>(i * 20)) + static_cast<char>(i * 36);
  for (int i = 0; i < 8; ++i) keyed += i % 2 == 0 ? std::string("\xFF\x00\x00\xFF", 4) : std::string(4, '\0');
  const Rgb bg{10, 250, 90};
  const struct {
    const std::string* raw;
    const char* options;
    const char* format;
    int type;
  } cases[] = {{&rgba, "", "PNG32", 6}, {&rgba, "-depth 16 -interlace PNG", "PNG64", 6},
               {&grayAlpha, "-define png:color-type=4", "PNG", 4}, {&keyed, "", "PNG8", 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.options) + " " + c.format);
    const std::string file = magick(*c.raw, Size{8, 1}, "rgba", c.options, c.format);
    ASSERT_FALSE(file.empty()) << "convert failed";
    ASSERT_EQ(colourType(file), c.type);
    const Decoded d = decode(file, bg);
    ASSERT_TRUE(d.status.ok()) << d.status.message();
    EXPECT_EQ(d.raster, composedOver(*c.raw, bg));
  }
}

TEST(PngCodec, HostileFilesFailWithAMessage) {
  EXPECT_EQ(decode(declaring(70000, 70000)).status.message(), "picture of 70000 x 70000 pixels is too large");
  EXPECT_NE(decode(declaring(1, 0x7FFFFFFF)).status.message().find("too large"), std::string::npos);
  EXPECT_NE(decode(declaring(0, 5)).status.message().find("invalid"), std::string::npos);
  EXPECT_FALSE(decode(declaring(10000, 10000)).status.ok());  // no data at all
  // A flipped bit inside the compressed data: the chunk's checksum fails.
  std::string bad = encodePng(pattern(20, 10), 24).value();
  bad[bad.find("IDAT") + 10] ^= 0x10;
  const Decoded d = decode(bad);
  EXPECT_NE(d.status.message().find("PNG"), std::string::npos) << d.status.message();
}

}  // namespace
}  // namespace pixelmote::imaging
