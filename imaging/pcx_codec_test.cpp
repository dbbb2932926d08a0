// PCX beyond the shared contract: the form the encoder picks, the plane
// and depth combinations other writers use, runs and hostile headers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "imaging/codec.h"
#include "testsupport/codec_testing.h"

namespace pixelmote::imaging {
namespace {

using namespace pixelmote::testing;

int get16(const std::string& s, std::size_t at) {
  return static_cast<std::uint8_t>(s[at]) | (static_cast<std::uint8_t>(s[at + 1]) << 8);
}
void put16(std::string& s, std::size_t at, int v) {
  s[at] = static_cast<char>(v & 0xFF);
  s[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}

// A version 5 header; the caller appends the coded lines and any palette.
std::string header(int width, int height, int bits, int planes, int bytesPerLine, const std::vector<Rgb>& palette16 = {}) {
  std::string h(128, '\0');
  h[0] = 0x0A;
  h[1] = 5;
  h[2] = 1;
  h[3] = static_cast<char>(bits);
  put16(h, 8, width - 1);
  put16(h, 10, height - 1);
  for (std::size_t i = 0; i < palette16.size(); ++i) {
    h[16 + 3 * i] = static_cast<char>(palette16[i].r);
    h[17 + 3 * i] = static_cast<char>(palette16[i].g);
    h[18 + 3 * i] = static_cast<char>(palette16[i].b);
  }
  h[65] = static_cast<char>(planes);
  put16(h, 66, bytesPerLine);
  return h;
}

// Bytes coded one at a time (a run of one each), the plainest valid coding.
std::string literal(const std::vector<std::uint8_t>& bytes) {
  std::string s;
  for (std::uint8_t b : bytes) s += std::string{static_cast<char>(0xC1), static_cast<char>(b)};
  return s;
}

std::string tailPalette(const std::vector<Rgb>& colours) {
  std::string s(769, '\0');
  s[0] = 0x0C;
  for (std::size_t i = 0; i < colours.size(); ++i) {
    s[1 + 3 * i] = static_cast<char>(colours[i].r);
    s[2 + 3 * i] = static_cast<char>(colours[i].g);
    s[3 + 3 * i] = static_cast<char>(colours[i].b);
  }
  return s;
}

std::string windowAt(std::string file, int left, int right) {
  put16(file, 4, left);
  put16(file, 8, right);
  return file;
}

TEST(PcxCodec, WritesAPaletteOnlyWhenTheColoursFitAndEvenLines) {
  const struct {
    int width, colours, bits, planes, bytesPerLine;
  } cases[] = {{7, 5, 8, 1, 8}, {10, 5, 3, 1, 10}, {7, 5, 2, 3, 8}, {40, 256, 8, 1, 40}, {7, 2, 1, 1, 8},
               {7, 5, 24, 3, 8}, {40, 257, 8, 3, 40}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.colours) + " colours, " + std::to_string(c.bits) + " bits");
    const std::string file = encodePcx(fewColours(c.width, 9, c.colours), c.bits).value();
    EXPECT_EQ(file.substr(0, 4), std::string("\x0A\x05\x01\x08", 4));
    EXPECT_EQ(file[65], c.planes);
    EXPECT_EQ(get16(file, 66), c.bytesPerLine);
    EXPECT_EQ(get16(file, 4) + get16(file, 6), 0);
    EXPECT_EQ(get16(file, 8), c.width - 1);
    EXPECT_EQ(get16(file, 10), 8);
    if (c.planes == 1) { EXPECT_EQ(file[file.size() - 769], 0x0C); }
  }
  EXPECT_NE(encodePcx(Raster(Size{70000, 1}), 8).message().find("too large"), std::string::npos);
}

TEST(PcxCodec, DecodesEveryPlaneAndDepthForm) {
  const std::vector<Rgb> four{kRed, kGreen, kBlue, kWhite};
  const struct {
    const char* name;
    std::string file;
    Raster expected;
  } cases[] = {
      {"1 bit without a palette is black and white", header(10, 1, 1, 1, 2) + literal({0b10100000, 0b01000000}),
       rasterOf(10, 1, {kWhite, kBlack, kWhite, kBlack, kBlack, kBlack, kBlack, kBlack, kBlack, kWhite})},
      {"4 bits packed, header palette", header(3, 1, 4, 1, 2, four) + literal({0x12, 0x30}),
       rasterOf(3, 1, {kGreen, kBlue, kWhite})},
      {"2 planes of 1 bit", header(4, 1, 1, 2, 2, four) + literal({0b01010000, 0, 0b00110000, 0}),
       rasterOf(4, 1, {kRed, kGreen, kBlue, kWhite})},
      {"4 planes, empty header palette: the standard colours",
       header(1, 1, 1, 4, 2) + literal({0x80, 0, 0x80, 0, 0x80, 0, 0x80, 0}), rasterOf(1, 1, {kWhite})},
      {"a run across the line end and its padding",
       header(3, 2, 8, 1, 4) + std::string{static_cast<char>(0xC8), 2} + tailPalette({kRed, kGreen, kBlue}),
       Raster(Size{3, 2}, kBlue)},
      {"a run from the red plane into the green",
       header(2, 1, 8, 3, 2) + std::string{static_cast<char>(0xC3), static_cast<char>(0xFF)} + literal({0, 0, 0}),
       rasterOf(2, 1, {Rgb{255, 255, 0}, Rgb{255, 0, 0}})},
      {"a window not at zero", windowAt(header(2, 1, 8, 1, 2) + literal({1, 0}) + tailPalette({kRed, kGreen}), 10, 11),
       rasterOf(2, 1, {kGreen, kRed})},
  };
  for (const auto& c : cases) {
    const Decoded d = decodeWith(decodePcx, c.file);
    ASSERT_TRUE(d.status.ok()) << c.name << ": " << d.status.message();
    EXPECT_EQ(d.raster, c.expected) << c.name;
  }
}

TEST(PcxCodec, HostileHeadersFailWithTheirMessage) {
  std::string noMarker = encodePcx(fewColours(6, 3, 4), 8).value();
  noMarker[noMarker.size() - 769] = 0;
  const struct {
    std::string file;
    const char* message;
  } cases[] = {
      {header(60000, 60000, 8, 3, 60000) + literal({1, 2, 3}), "picture of 60000 x 60000 pixels is too large"},
      {windowAt(header(4, 4, 8, 3, 4) + literal({1}), 10, 3), "invalid"},
      {header(4, 4, 8, 3, 3) + literal({1}), "too short"},
      {header(4, 1, 2, 2, 2) + literal({0, 0, 0, 0}), "not supported"},
      {noMarker, "palette"},
  };
  for (const auto& c : cases) {
    const Decoded d = decodeWith(decodePcx, c.file);
    EXPECT_NE(d.status.message().find(c.message), std::string::npos) << d.status.message();
    EXPECT_FALSE(d.begun) << c.message;
  }
}

TEST(PcxCodec, DecodesOtherWritersFilesAndComposesAlpha) {
  Raster few(Size{9, 5});
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 9; ++x) few.row(y)[x * 3 + (x + y) % 3] = static_cast<std::uint8_t>(60 * (x % 4));
  const Raster many = pattern(13, 7);
  const std::string rgba = risingAlphaPixels();
  const Rgb bg{10, 250, 90};
  const struct {
    std::string file;
    int planes;
    Raster expected;
  } cases[] = {{magick(few, "-type Palette", "PCX"), 1, few},
               {magick(many, "-type TrueColor", "PCX"), 3, many},
               {magick(many, "-type TrueColorAlpha", "PCX"), 4, many},
               {magick(rgba, Size{8, 1}, "rgba", "", "PCX"), 4, composedOver(rgba, bg)}};
  for (const auto& c : cases) {
    ASSERT_GT(c.file.size(), 128u) << "convert failed";
    ASSERT_EQ(c.file[65], c.planes);
    const Decoded d = decodeWith(decodePcx, c.file, bg);
    ASSERT_TRUE(d.status.ok()) << d.status.message();
    EXPECT_EQ(d.raster, c.expected);
  }
}

}  // namespace
}  // namespace pixelmote::imaging
