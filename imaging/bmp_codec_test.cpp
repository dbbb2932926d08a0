// BMP beyond the shared contract: the header the encoder writes, every
// depth, bit-field, run-length and header form other writers use, and
// hostile headers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "imaging/codec.h"
#include "testsupport/codec_testing.h"

namespace pixelmote::imaging {
namespace {

using namespace pixelmote::testing;

void put16(std::string& s, std::size_t at, std::uint32_t v) {
  s[at] = static_cast<char>(v & 0xFF);
  s[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}
void put32(std::string& s, std::size_t at, std::uint32_t v) {
  put16(s, at, v & 0xFFFF);
  put16(s, at + 2, v >> 16);
}
std::uint32_t get32(const std::string& s, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<std::uint8_t>(s[at + i]);
  return v;
}

// A bitmap file assembled field by field.
struct BmpFields {
  int width = 1;
  int height = 1;  // negative: top row stored first
  int bits = 24;
  std::uint32_t compression = 0;
  std::uint32_t headerSize = 40;
  std::vector<Rgb> palette;
  std::uint32_t coloursUsed = 0;
  std::vector<std::uint32_t> masks;  // red, green, blue and maybe alpha
  std::string data;                  // rows in stored order (padded to 4 bytes), or run-length codes
};

std::string buildBmp(const BmpFields& f) {
  std::string header(f.headerSize, '\0');
  put32(header, 0, f.headerSize);
  put32(header, 4, static_cast<std::uint32_t>(f.width));
  put32(header, 8, static_cast<std::uint32_t>(f.height));
  put16(header, 12, 1);
  put16(header, 14, static_cast<std::uint32_t>(f.bits));
  put32(header, 16, f.compression);
  put32(header, 32, f.coloursUsed != 0 ? f.coloursUsed : static_cast<std::uint32_t>(f.palette.size()));
  std::string extra(4 * f.masks.size(), '\0');
  for (std::size_t i = 0; i < f.masks.size(); ++i) put32(extra, 4 * i, f.masks[i]);
  if (f.headerSize >= 56 && !f.masks.empty()) {
    header.replace(40, extra.size(), extra);
    extra.clear();
  }
  for (const Rgb& c : f.palette) extra += std::string{static_cast<char>(c.b), static_cast<char>(c.g), static_cast<char>(c.r), 0};
  std::string file(14, '\0');
  file[0] = 'B';
  file[1] = 'M';
  const auto offset = static_cast<std::uint32_t>(14 + header.size() + extra.size());
  put32(file, 2, static_cast<std::uint32_t>(offset + f.data.size()));
  put32(file, 10, offset);
  return file + header + extra + f.data;
}

std::string bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

TEST(BmpCodec, WritesA24BitBottomUpFileWhoseHeaderCountsItsBytes) {
  const Raster source = pattern(3, 2);
  const std::string f = encodeBmp(source).value();
  ASSERT_EQ(f.size(), 54u + 12u * 2);  // 9 bytes of pixels padded to 12 a row
  EXPECT_EQ(get32(f, 2), f.size());
  EXPECT_EQ(get32(f, 10), 54u);
  EXPECT_EQ(get32(f, 22), 2u);  // positive height: bottom-up
  EXPECT_EQ(get32(f, 26), 1u | 24u << 16);
  EXPECT_EQ(get32(f, 34), 24u);
  const Rgb bottomLeft = source.at(0, 1);  // stored first, blue-green-red
  EXPECT_EQ(f.substr(54, 3), bytes({bottomLeft.b, bottomLeft.g, bottomLeft.r}));
}

TEST(BmpCodec, DecodesEveryDepthMaskRunLengthAndHeaderForm) {
  const std::vector<Rgb> four{kRed, kGreen, kBlue, kWhite};
  const Rgb bg{0, 100, 200}, mid{132, 132, 132};  // 16 of 31 steps
  const struct {
    const char* name;
    BmpFields fields;
    Raster expected;
  } cases[] = {
      {"1 bit, a row across two bytes", {10, 2, 1, 0, 40, {kBlack, kWhite}, 0, {}, bytes({0x80, 0x40, 0, 0, 0x55, 0xC0, 0, 0})},
       rasterOf(10, 2, {kBlack, kWhite, kBlack, kWhite, kBlack, kWhite, kBlack, kWhite, kWhite, kWhite,  //
                        kWhite, kBlack, kBlack, kBlack, kBlack, kBlack, kBlack, kBlack, kBlack, kWhite})},
      {"4 bits, odd width, top-down", {3, -2, 4, 0, 40, four, 0, {}, bytes({0x01, 0x20, 0, 0, 0x32, 0x10, 0, 0})},
       rasterOf(3, 2, {kRed, kGreen, kBlue, kWhite, kBlue, kGreen})},
      {"8 bits, bottom-up, past the palette is black", {3, 2, 8, 0, 40, {kRed, kGreen}, 2, {}, bytes({1, 0, 200, 0, 0, 1, 2, 0})},
       rasterOf(3, 2, {kRed, kGreen, kBlack, kGreen, kRed, kBlack})},
      {"24 bits, top-down, padded", {3, -1, 24, 0, 40, {}, 0, {}, bytes({0, 0, 255, 0, 255, 0, 255, 0, 0, 0, 0, 0})},
       rasterOf(3, 1, {kRed, kGreen, kBlue})},
      {"32 bits, the fourth byte unused", {2, 1, 32, 0, 40, {}, 0, {}, bytes({0, 0, 255, 0, 255, 0, 0, 7})},
       rasterOf(2, 1, {kRed, kBlue})},
      {"16 bits, 5-5-5", {3, 1, 16, 0, 40, {}, 0, {}, bytes({0x00, 0x7C, 0xE0, 0x03, 0x10, 0x42, 0, 0})},
       rasterOf(3, 1, {kRed, kGreen, mid})},
      {"16 bits, 5-6-5 masks", {2, 1, 16, 3, 40, {}, 0, {0xF800, 0x07E0, 0x001F}, bytes({0x00, 0xF8, 0xE0, 0x07})},
       rasterOf(2, 1, {kRed, kGreen})},
      {"32 bits, masks of odd places and widths", {1, 1, 32, 3, 40, {}, 0, {0xFF, 0x3FF00, 0xFF000000}, bytes({0x12, 0xFF, 0x03, 0x80})},
       rasterOf(1, 1, {Rgb{0x12, 0xFF, 0x80}})},
      {"alpha mask composed over the background",
       {3, 1, 32, 3, 124, {}, 0, {0xFF0000, 0xFF00, 0xFF, 0xFF000000}, bytes({0, 0, 255, 255, 0, 0, 255, 0, 0, 0, 0, 128})},
       rasterOf(3, 1, {kRed, bg, Rgb{0, 50, 100}})},
      {"alpha all zero means opaque",
       {3, 1, 32, 3, 124, {}, 0, {0xFF0000, 0xFF00, 0xFF, 0xFF000000}, bytes({0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 0})},
       rasterOf(3, 1, {kRed, kGreen, kBlue})},
      {"8-bit runs, absolute stretch, line ends and a delta",
       {4, 3, 8, 1, 40, four, 0, {}, bytes({4, 1, 0, 0, 0, 3, 2, 3, 0, 0, 0, 0, 0, 2, 2, 0, 2, 3, 0, 1})},
       rasterOf(4, 3, {bg, bg, kWhite, kWhite, kBlue, kWhite, kRed, bg, kGreen, kGreen, kGreen, kGreen})},
      {"4-bit runs alternate two indices", {5, 1, 4, 2, 40, four, 0, {}, bytes({5, 0x12, 0, 1})},
       rasterOf(5, 1, {kGreen, kBlue, kGreen, kBlue, kGreen})},
  };
  for (const auto& c : cases) {
    const Decoded d = decodeWith(decodeBmp, buildBmp(c.fields), bg);
    ASSERT_TRUE(d.status.ok()) << c.name << ": " << d.status.message();
    EXPECT_EQ(d.raster, c.expected) << c.name;
  }
  // The OS/2 core header: 16-bit sizes and three-byte palette entries.
  std::string os2 = "BM" + std::string(12, '\0') + bytes({12, 0, 0, 0, 2, 0, 1, 0, 1, 0, 1, 0, 0, 0, 0, 255, 255, 255});
  put32(os2, 10, static_cast<std::uint32_t>(os2.size()));
  EXPECT_EQ(decodeWith(decodeBmp, os2 + bytes({0x40, 0, 0, 0})).raster, rasterOf(2, 1, {kBlack, kWhite}));
}

TEST(BmpCodec, HostileHeadersFailWithTheirMessageBeforeAnyRow) {
  const struct {
    const char* name;
    BmpFields fields;
    const char* message;
  } cases[] = {
      {"huge", {70000, 70000, 24, 0, 40, {}, 0, {}, "abc"}, "picture of 70000 x 70000 pixels is too large"},
      {"huge top-down", {70000, -70000, 24, 0, 40, {}, 0, {}, "abc"}, "picture of 70000 x 70000 pixels is too large"},
      {"far more than the data", {10000, 10000, 24, 0, 40, {}, 0, {}, "abc"}, "data ends early"},
      {"zero width", {0, 5, 24, 0, 40, {}, 0, {}, "abc"}, "invalid"},
      {"zero height", {5, 0, 24, 0, 40, {}, 0, {}, "abc"}, "invalid"},
      {"negative width", {-3, 5, 24, 0, 40, {}, 0, {}, "abc"}, "invalid"},
      {"7 bits", {1, 1, 7, 0, 40, {}, 0, {}, "abc"}, "not supported"},
      {"runs ending early", {4, 3, 8, 1, 40, {kRed, kGreen}, 0, {}, bytes({4, 1, 0, 0, 2})}, "data ends early"},
  };
  for (const auto& c : cases) {
    const Decoded d = decodeWith(decodeBmp, buildBmp(c.fields));
    EXPECT_NE(d.status.message().find(c.message), std::string::npos) << c.name << ": " << d.status.message();
    if (std::string(c.name) != "runs ending early") { EXPECT_FALSE(d.begun) << c.name; }
  }
  // 200 palette entries declared, 2 present.
  const std::string shortPalette = buildBmp({1, 1, 8, 0, 40, {kRed, kGreen}, 200, {}, "abcd"}).substr(0, 62);
  EXPECT_FALSE(decodeWith(decodeBmp, shortPalette).begun);
  EXPECT_FALSE(decodeWith(decodeBmp, shortPalette).status.ok());
}

TEST(BmpCodec, DecodesOtherWritersFiles) {
  Raster few(Size{9, 5}), many(Size{11, 10}), blackAndWhite(Size{11, 3});
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 9; ++x) few.row(y)[x * 3 + (x + y) % 3] = static_cast<std::uint8_t>(40 * (x % 4));
  for (int i = 0; i < 330; ++i) many.rgb[i] = static_cast<std::uint8_t>(i / 3 * (i % 3 == 0 ? 37 : i % 3 == 1 ? 91 : 151));
  for (int i = 0; i < 33; i += 3) blackAndWhite.rgb[i * 3] = blackAndWhite.rgb[i * 3 + 1] = blackAndWhite.rgb[i * 3 + 2] = 255;
  const Raster colour = pattern(13, 7);
  const std::string rgba = risingAlphaPixels();
  const Rgb bg{10, 250, 90};
  const struct {
    std::string file;
    Raster expected;
    int bits, compression;  // as the header gives them; -1: not checked
  } cases[] = {
      {magick(colour, "", "BMP3"), colour, 24, 0},
      {magick(colour, "", "BMP"), colour, 24, -1},
      {magick(colour, "-define bmp:format=bmp2", "BMP"), colour, 24, -1},  // OS/2 core header
      {magick(colour, "-alpha on", "BMP"), colour, 32, -1},
      {magick(few, "-type Palette", "BMP3"), few, 4, 0},
      {magick(many, "-type Palette -compress None", "BMP3"), many, 8, 0},
      {magick(many, "-type Palette -compress RLE", "BMP3"), many, 8, 1},
      {magick(blackAndWhite, "-monochrome", "BMP3"), blackAndWhite, 1, 0},
      {magick(rgba, Size{8, 1}, "rgba", "", "BMP"), composedOver(rgba, bg), 32, -1},
  };
  for (const auto& c : cases) {
    ASSERT_GT(c.file.size(), 54u) << "convert failed";
    if (c.compression >= 0) {
      EXPECT_EQ(static_cast<std::uint8_t>(c.file[28]), c.bits);
      EXPECT_EQ(static_cast<std::uint8_t>(c.file[30]), c.compression);
    }
    const Decoded d = decodeWith(decodeBmp, c.file, bg);
    ASSERT_TRUE(d.status.ok()) << d.status.message();
    EXPECT_EQ(d.raster, c.expected);
  }
}

}  // namespace
}  // namespace pixelmote::imaging
