#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "imaging/codec.h"
#include "testsupport/codec_testing.h"

namespace pixelmote::imaging {
namespace {

using namespace pixelmote::testing;

Decoded decode(const std::string& file, Rgb background = kSurfaceBackground) {
  return decodeWith(decodeBmp, file, background);
}

void put16(std::string& s, std::size_t at, std::uint32_t v) {
  s[at] = static_cast<char>(v & 0xFF);
  s[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}
void put32(std::string& s, std::size_t at, std::uint32_t v) {
  put16(s, at, v & 0xFFFF);
  put16(s, at + 2, v >> 16);
}
std::uint32_t get32(const std::string& s, std::size_t at) {
  return static_cast<std::uint8_t>(s[at]) | (static_cast<std::uint8_t>(s[at + 1]) << 8) |
         (static_cast<std::uint8_t>(s[at + 2]) << 16) |
         (static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[at + 3])) << 24);
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
  std::vector<std::uint32_t> masks;             // red, green, blue and maybe alpha
  std::vector<std::vector<std::uint8_t>> rows;  // stored order, padded here to 4 bytes
  std::string codedData;                        // used instead of rows when not empty
};

std::string buildBmp(const BmpFields& fields) {
  std::string header(fields.headerSize, '\0');
  put32(header, 0, fields.headerSize);
  put32(header, 4, static_cast<std::uint32_t>(fields.width));
  put32(header, 8, static_cast<std::uint32_t>(fields.height));
  put16(header, 12, 1);
  put16(header, 14, static_cast<std::uint32_t>(fields.bits));
  put32(header, 16, fields.compression);
  put32(header, 32, fields.coloursUsed != 0 ? fields.coloursUsed : static_cast<std::uint32_t>(fields.palette.size()));
  std::string extra;
  if (!fields.masks.empty()) {
    std::string m(4 * fields.masks.size(), '\0');
    for (std::size_t i = 0; i < fields.masks.size(); ++i) put32(m, 4 * i, fields.masks[i]);
    if (fields.headerSize >= 56)
      header.replace(40, m.size(), m);
    else
      extra = m;
  }
  for (const Rgb& c : fields.palette) {
    extra.push_back(static_cast<char>(c.b));
    extra.push_back(static_cast<char>(c.g));
    extra.push_back(static_cast<char>(c.r));
    extra.push_back('\0');
  }
  std::string pixels = fields.codedData;
  if (pixels.empty())
    for (const auto& row : fields.rows) {
      std::string r(row.begin(), row.end());
      r.resize((r.size() + 3) / 4 * 4, '\0');
      pixels += r;
    }
  std::string file(14, '\0');
  file[0] = 'B';
  file[1] = 'M';
  const std::uint32_t offset = static_cast<std::uint32_t>(14 + header.size() + extra.size());
  put32(file, 2, static_cast<std::uint32_t>(offset + pixels.size()));
  put32(file, 10, offset);
  return file + header + extra + pixels;
}

constexpr Rgb kGray{128, 128, 128};

TEST(BmpCodec, RoundTripGivesBackTheSamePixels) {
  for (const Size size : {Size{1, 1}, Size{3, 5}, Size{4, 4}, Size{7, 2}, Size{1, 5000}, Size{5000, 1}}) {
    SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height));
    const Raster source = pattern(size.width, size.height);
    const util::Result<std::string> file = encodeBmp(source);
    ASSERT_TRUE(file.ok()) << file.message();
    const Decoded d = decode(file.value());
    ASSERT_TRUE(d.status.ok()) << d.status.message();
    EXPECT_EQ(d.raster, source);
  }
}

TEST(BmpCodec, WritesA24BitBottomUpFileWithCorrectHeaders) {
  const Raster source = pattern(3, 2);
  const std::string f = encodeBmp(source).value();
  const std::size_t rowBytes = 12;  // 9 bytes of pixels padded to 4
  ASSERT_EQ(f.size(), 54 + rowBytes * 2);
  EXPECT_EQ(f.substr(0, 2), "BM");
  EXPECT_EQ(get32(f, 2), f.size());
  EXPECT_EQ(get32(f, 10), 54u);
  EXPECT_EQ(get32(f, 14), 40u);
  EXPECT_EQ(get32(f, 18), 3u);
  EXPECT_EQ(get32(f, 22), 2u);  // positive height: bottom-up
  EXPECT_EQ(get32(f, 26) & 0xFFFF, 1u);
  EXPECT_EQ(get32(f, 26) >> 16, 24u);
  EXPECT_EQ(get32(f, 30), 0u);  // uncompressed
  EXPECT_EQ(get32(f, 34), rowBytes * 2);
  EXPECT_EQ(get32(f, 38), 2835u);
  EXPECT_EQ(get32(f, 42), 2835u);
  // The first stored row is the picture's bottom row, in blue-green-red order.
  const Rgb bottomLeft = source.at(0, 1);
  EXPECT_EQ(static_cast<std::uint8_t>(f[54]), bottomLeft.b);
  EXPECT_EQ(static_cast<std::uint8_t>(f[55]), bottomLeft.g);
  EXPECT_EQ(static_cast<std::uint8_t>(f[56]), bottomLeft.r);
  EXPECT_EQ(f.substr(63, 3), std::string(3, '\0'));  // padding
}

TEST(BmpCodec, EncodeRefusesEmptyOrInconsistentRasters) {
  EXPECT_FALSE(encodeBmp(Raster()).ok());
  Raster broken(Size{2, 2});
  broken.rgb.pop_back();
  const util::Result<std::string> r = encodeBmp(broken);
  ASSERT_FALSE(r.ok());
  EXPECT_FALSE(r.message().empty());
}

TEST(BmpCodec, DecodesPaletteDepths) {
  const std::vector<Rgb> palette{kRed, kGreen, kBlue, kWhite};
  // 1 bit: 10 pixels per row so a row spans two bytes.
  BmpFields one;
  one.width = 10;
  one.height = 2;
  one.bits = 1;
  one.palette = {kBlack, kWhite};
  one.rows = {{0b10000000, 0b01000000}, {0b01010101, 0b11000000}};  // bottom row first
  std::vector<Rgb> expected;
  for (int x = 0; x < 10; ++x) expected.push_back(x % 2 == 1 || x >= 8 ? kWhite : kBlack);
  for (int x = 0; x < 10; ++x) expected.push_back(x == 0 || x == 9 ? kWhite : kBlack);
  Decoded d = decode(buildBmp(one));
  ASSERT_TRUE(d.status.ok()) << d.status.message();
  EXPECT_EQ(d.raster, rasterOf(10, 2, expected));

  // 4 bits, odd width, top-down.
  BmpFields four;
  four.width = 3;
  four.height = -2;
  four.bits = 4;
  four.palette = palette;
  four.rows = {{0x01, 0x20}, {0x32, 0x10}};
  d = decode(buildBmp(four));
  ASSERT_TRUE(d.status.ok()) << d.status.message();
  EXPECT_EQ(d.raster, rasterOf(3, 2, {kRed, kGreen, kBlue, kWhite, kBlue, kGreen}));

  // 8 bits, bottom-up, with fewer palette entries declared than 256.
  BmpFields eight;
  eight.width = 3;
  eight.height = 2;
  eight.bits = 8;
  eight.palette = palette;
  eight.coloursUsed = 4;
  eight.rows = {{3, 2, 1}, {0, 1, 2}};
  d = decode(buildBmp(eight));
  ASSERT_TRUE(d.status.ok()) << d.status.message();
  EXPECT_EQ(d.raster, rasterOf(3, 2, {kRed, kGreen, kBlue, kWhite, kBlue, kGreen}));
}

TEST(BmpCodec, IndexBeyondThePaletteIsBlack) {
  BmpFields fields;
  fields.width = 3;
  fields.height = 1;
  fields.bits = 8;
  fields.palette = {kRed, kGreen};
  fields.coloursUsed = 2;
  fields.rows = {{1, 2, 200}};
  const Decoded d = decode(buildBmp(fields));
  ASSERT_TRUE(d.status.ok()) << d.status.message();
  EXPECT_EQ(d.raster, rasterOf(3, 1, {kGreen, kBlack, kBlack}));
}

TEST(BmpCodec, PaletteBeyondTheFileFails) {
  BmpFields fields;
  fields.bits = 8;
  fields.palette = {kRed, kGreen};
  fields.coloursUsed = 200;  // 200 entries declared, 2 present
  fields.rows = {{0}};
  const std::string file = buildBmp(fields).substr(0, 14 + 40 + 8);
  const Decoded d = decode(file);
  EXPECT_FALSE(d.status.ok());
  EXPECT_FALSE(d.begun);
}

TEST(BmpCodec, DecodesTrueColourForms) {
  // 24 bits, top-down, odd width so rows are padded.
  BmpFields rgb24;
  rgb24.width = 3;
  rgb24.height = -2;
  rgb24.bits = 24;
  rgb24.rows = {{0, 0, 255, 0, 255, 0, 255, 0, 0}, {128, 128, 128, 255, 255, 255, 0, 0, 0}};
  Decoded d = decode(buildBmp(rgb24));
  ASSERT_TRUE(d.status.ok()) << d.status.message();
  EXPECT_EQ(d.raster, rasterOf(3, 2, {kRed, kGreen, kBlue, kGray, kWhite, kBlack}));

  // 32 bits uncompressed: the fourth byte is unused, even when not zero.
  BmpFields rgb32;
  rgb32.width = 2;
  rgb32.height = 1;
  rgb32.bits = 32;
  rgb32.rows = {{0, 0, 255, 0, 255, 0, 0, 7}};
  d = decode(buildBmp(rgb32));
  ASSERT_TRUE(d.status.ok()) << d.status.message();
  EXPECT_EQ(d.raster, rasterOf(2, 1, {kRed, kBlue}));

  // 16 bits uncompressed: 5-5-5.
  BmpFields rgb16;
  rgb16.width = 3;
  rgb16.height = 1;
  rgb16.bits = 16;
  rgb16.rows = {{0x00, 0x7C, 0xE0, 0x03, 0x10, 0x42}};  // red, green, mid gray (16,16,16)
  d = decode(buildBmp(rgb16));
  ASSERT_TRUE(d.status.ok()) << d.status.message();
  const std::uint8_t mid = static_cast<std::uint8_t>((16 * 255 + 15) / 31);
  EXPECT_EQ(d.raster, rasterOf(3, 1, {kRed, kGreen, Rgb{mid, mid, mid}}));
}

TEST(BmpCodec, DecodesBitfieldMasksOfAnyPlaceAndWidth) {
  // 16 bits 5-6-5.
  BmpFields rgb565;
  rgb565.width = 2;
  rgb565.height = 1;
  rgb565.bits = 16;
  rgb565.compression = 3;
  rgb565.masks = {0xF800, 0x07E0, 0x001F};
  rgb565.rows = {{0x00, 0xF8, 0xE0, 0x07}};
  Decoded d = decode(buildBmp(rgb565));
  ASSERT_TRUE(d.status.ok()) << d.status.message();
  EXPECT_EQ(d.raster, rasterOf(2, 1, {kRed, kGreen}));

  // 32 bits with the channels in unusual places and a 10-bit channel.
  BmpFields odd;
  odd.width = 1;
  odd.height = 1;
  odd.bits = 32;
  odd.compression = 3;
  odd.masks = {0x000000FF, 0x0003FF00, 0xFF000000};  // red low, green 10 bits, blue high
  const std::uint32_t v = 0x12u | (0x3FFu << 8) | (0x80u << 24);
  odd.rows = {{static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
               static_cast<std::uint8_t>(v >> 24)}};
  d = decode(buildBmp(odd));
  ASSERT_TRUE(d.status.ok()) << d.status.message();
  EXPECT_EQ(d.raster.at(0, 0), (Rgb{0x12, 0xFF, 0x80}));
}

TEST(BmpCodec, AlphaMaskIsComposedOverTheBackground) {
  BmpFields fields;
  fields.width = 3;
  fields.height = 1;
  fields.bits = 32;
  fields.compression = 3;
  fields.headerSize = 124;
  fields.masks = {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000};
  // Opaque red, transparent red, half-transparent black (BGRA bytes).
  fields.rows = {{0, 0, 255, 255, 0, 0, 255, 0, 0, 0, 0, 128}};
  const Rgb bg{0, 100, 200};
  const Decoded d = decode(buildBmp(fields), bg);
  ASSERT_TRUE(d.status.ok()) << d.status.message();
  EXPECT_EQ(d.raster.at(0, 0), kRed);
  EXPECT_EQ(d.raster.at(1, 0), bg);
  EXPECT_EQ(d.raster.at(2, 0), (Rgb{0, 50, 100}));

  // Alpha left at zero everywhere means the writer stored no transparency.
  fields.rows = {{0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 0}};
  const Decoded opaque = decode(buildBmp(fields), bg);
  ASSERT_TRUE(opaque.status.ok()) << opaque.status.message();
  EXPECT_EQ(opaque.raster, rasterOf(3, 1, {kRed, kGreen, kBlue}));
}

TEST(BmpCodec, DecodesOs2CoreHeader) {
  std::string f(14 + 12, '\0');
  f[0] = 'B';
  f[1] = 'M';
  put32(f, 14, 12);
  put16(f, 18, 2);  // width
  put16(f, 20, 1);  // height
  put16(f, 22, 1);
  put16(f, 24, 1);                                  // bits
  f += std::string("\x00\x00\x00\xFF\xFF\xFF", 6);  // black, white (3-byte entries)
  put32(f, 10, static_cast<std::uint32_t>(f.size()));
  f += std::string("\x40\x00\x00\x00", 4);  // pixels 0, 1
  const Decoded d = decode(f);
  ASSERT_TRUE(d.status.ok()) << d.status.message();
  EXPECT_EQ(d.raster, rasterOf(2, 1, {kBlack, kWhite}));
}

TEST(BmpCodec, DecodesRunLengthCodedPictures) {
  // 8 bits, 4 x 3: a run, an absolute stretch, an early line end and a
  // delta that skips pixels (they show the background).
  BmpFields rle8;
  rle8.width = 4;
  rle8.height = 3;
  rle8.bits = 8;
  rle8.compression = 1;
  rle8.palette = {kRed, kGreen, kBlue, kWhite};
  rle8.codedData = std::string(
      "\x04\x01"                  // bottom row: 4 x green
      "\x00\x00"                  // end of line
      "\x00\x03\x02\x03\x00\x00"  // absolute: blue, white, red (+ pad)
      "\x00\x00"                  // end of line (4th pixel never set)
      "\x00\x02\x02\x00"          // delta: 2 right
      "\x02\x03"                  // 2 x white
      "\x00\x01",                 // end of picture
      20);
  const Rgb bg{9, 9, 9};
  Decoded d = decode(buildBmp(rle8), bg);
  ASSERT_TRUE(d.status.ok()) << d.status.message();
  EXPECT_EQ(d.raster,
            rasterOf(4, 3, {bg, bg, kWhite, kWhite, kBlue, kWhite, kRed, bg, kGreen, kGreen, kGreen, kGreen}));

  // 4 bits: runs alternate two indices.
  BmpFields rle4;
  rle4.width = 5;
  rle4.height = 1;
  rle4.bits = 4;
  rle4.compression = 2;
  rle4.palette = {kRed, kGreen, kBlue, kWhite};
  rle4.codedData = std::string("\x05\x12\x00\x01", 4);
  d = decode(buildBmp(rle4));
  ASSERT_TRUE(d.status.ok()) << d.status.message();
  EXPECT_EQ(d.raster, rasterOf(5, 1, {kGreen, kBlue, kGreen, kBlue, kGreen}));

  // Codes that stop before the picture is complete.
  rle8.codedData = std::string("\x04\x01\x00\x00\x02", 5);
  d = decode(buildBmp(rle8));
  EXPECT_FALSE(d.status.ok());
  EXPECT_EQ(d.status.message(), "data ends early");
}

TEST(BmpCodec, DecodesImageMagickFiles) {
  const Raster source = pattern(13, 7);
  struct Case {
    const char* options;
    const char* format;
  };
  // Windows 3 and V5 headers with 24 bits, an OS/2 header, 32-bit bitfields.
  for (const Case& c :
       {Case{"", "BMP3"}, Case{"", "BMP"}, Case{"-define bmp:format=bmp2", "BMP"}, Case{"-alpha on", "BMP"}}) {
    SCOPED_TRACE(std::string(c.options) + " " + c.format);
    const std::string file = magick(source, c.options, c.format);
    ASSERT_FALSE(file.empty()) << "convert failed";
    const Decoded d = decode(file);
    ASSERT_TRUE(d.status.ok()) << d.status.message();
    EXPECT_EQ(d.raster, source);
  }

  // Palette forms: 4 bits, 8 bits, 8 bits run-length coded, 1 bit.
  Raster few(Size{9, 5});
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 9; ++x) few.row(y)[x * 3 + (x + y) % 3] = static_cast<std::uint8_t>(40 * (x % 4));
  Raster many(Size{11, 10});
  for (int i = 0; i < 110; ++i) {
    many.rgb[i * 3] = static_cast<std::uint8_t>(i * 37);
    many.rgb[i * 3 + 1] = static_cast<std::uint8_t>(i * 91);
    many.rgb[i * 3 + 2] = static_cast<std::uint8_t>(i * 151);
  }
  Raster blackAndWhite(Size{11, 3});
  for (int i = 0; i < 33; ++i)
    if (i % 3 == 0) blackAndWhite.rgb[i * 3] = blackAndWhite.rgb[i * 3 + 1] = blackAndWhite.rgb[i * 3 + 2] = 255;
  struct PaletteCase {
    const Raster* source;
    const char* options;
    int bits;
    int compression;
  };
  for (const PaletteCase& c :
       {PaletteCase{&few, "-type Palette", 4, 0}, PaletteCase{&many, "-type Palette -compress None", 8, 0},
        PaletteCase{&many, "-type Palette -compress RLE", 8, 1}, PaletteCase{&blackAndWhite, "-monochrome", 1, 0}}) {
    SCOPED_TRACE(c.options);
    const std::string file = magick(*c.source, c.options, "BMP3");
    ASSERT_FALSE(file.empty()) << "convert failed";
    ASSERT_EQ(static_cast<std::uint8_t>(file[28]), c.bits);
    ASSERT_EQ(static_cast<std::uint8_t>(file[30]), c.compression);
    const Decoded d = decode(file);
    ASSERT_TRUE(d.status.ok()) << d.status.message();
    EXPECT_EQ(d.raster, *c.source);
  }

  // Partial transparency in a 32-bit file.
  const std::string rgba = risingAlphaPixels();
  const std::string file = magick(rgba, Size{8, 1}, "rgba", "", "BMP");
  ASSERT_FALSE(file.empty()) << "convert failed";
  const Rgb bg{10, 250, 90};
  const Decoded d = decode(file, bg);
  ASSERT_TRUE(d.status.ok()) << d.status.message();
  EXPECT_EQ(d.raster, composedOver(rgba, bg));
}

TEST(BmpCodec, TruncatedFilesFailWithAMessage) {
  const std::string file = encodeBmp(pattern(5, 4)).value();  // rows of 15 bytes padded to 16
  // Only the last row's padding may be missing.
  const std::size_t complete = 54 + 3 * 16 + 15;
  for (std::size_t n = 0; n < complete; ++n) {
    const Decoded d = decode(file.substr(0, n));
    ASSERT_FALSE(d.status.ok()) << "prefix of " << n << " bytes";
    EXPECT_FALSE(d.status.message().empty());
  }
  EXPECT_EQ(decode(file.substr(0, 60)).status.message(), "data ends early");
  EXPECT_EQ(decode(file.substr(0, 20)).status.message(), "data ends early");
  const Decoded d = decode(file.substr(0, complete));
  ASSERT_TRUE(d.status.ok()) << d.status.message();
  EXPECT_EQ(d.raster, pattern(5, 4));
}

TEST(BmpCodec, GarbageFailsWithAMessageAndNoCrash) {
  EXPECT_EQ(decode("").status.message(), "not a BMP file");
  EXPECT_EQ(decode("GIF89a").status.message(), "not a BMP file");
  std::mt19937 random(12345);
  const std::string good = encodeBmp(pattern(6, 5)).value();
  for (int round = 0; round < 2000; ++round) {
    std::string bad = good;
    const int changes = 1 + static_cast<int>(random() % 4);
    for (int i = 0; i < changes; ++i) bad[random() % 54] = static_cast<char>(random());
    bad[0] = 'B';
    bad[1] = 'M';
    const Decoded d = decode(bad);
    if (!d.status.ok()) {
      EXPECT_FALSE(d.status.message().empty());
    }
  }
  BmpFields unsupported;
  unsupported.bits = 7;
  unsupported.rows = {{0}};
  EXPECT_NE(decode(buildBmp(unsupported)).status.message().find("not supported"), std::string::npos);
}

TEST(BmpCodec, RefusesAbsurdSizesBeforeStarting) {
  BmpFields huge;
  huge.width = 70000;
  huge.height = 70000;
  huge.rows = {{0, 0, 0}};
  Decoded d = decode(buildBmp(huge));
  EXPECT_EQ(d.status.message(), "picture of 70000 x 70000 pixels is too large");
  EXPECT_FALSE(d.begun);

  huge.height = -70000;  // top-down
  d = decode(buildBmp(huge));
  EXPECT_EQ(d.status.message(), "picture of 70000 x 70000 pixels is too large");

  // Within the limit but far larger than the data.
  huge.width = 10000;
  huge.height = 10000;
  d = decode(buildBmp(huge));
  EXPECT_EQ(d.status.message(), "data ends early");
  EXPECT_FALSE(d.begun);

  for (const auto& [w, h] : {std::pair{0, 5}, std::pair{5, 0}, std::pair{-3, 5}}) {
    BmpFields bad;
    bad.width = w;
    bad.height = h;
    bad.rows = {{0, 0, 0}};
    d = decode(buildBmp(bad));
    EXPECT_FALSE(d.status.ok());
    EXPECT_NE(d.status.message().find("invalid"), std::string::npos) << d.status.message();
  }
}

TEST(BmpCodec, SinkRefusalStopsTheDecode) {
  const Decoded d = decodeRefused(decodeBmp, encodeBmp(pattern(2, 2)).value());
  EXPECT_FALSE(d.status.ok());
  EXPECT_EQ(d.rows, 0);
}

}  // namespace
}  // namespace pixelmote::imaging
