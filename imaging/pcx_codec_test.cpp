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

Decoded decode(const std::string& file, Rgb background = kSurfaceBackground, DecodeLimits limits = {}) {
  return decodeWith(decodePcx, file, background, limits);
}

// A picture of `colours` distinct colours, in runs long enough to be coded
// as runs and with values at or above 0xC0 that need escaping.
Raster colourRuns(int w, int h, int colours) {
  Raster r(Size{w, h});
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const int c = ((x / 3) + y) % colours;
      std::uint8_t* p = r.row(y) + x * 3;
      p[0] = static_cast<std::uint8_t>(0xC0 + c);
      p[1] = static_cast<std::uint8_t>(c * 50);
      p[2] = static_cast<std::uint8_t>(255 - c);
    }
  return r;
}

int get16(const std::string& s, std::size_t at) {
  return static_cast<std::uint8_t>(s[at]) | (static_cast<std::uint8_t>(s[at + 1]) << 8);
}
void put16(std::string& s, std::size_t at, int v) {
  s[at] = static_cast<char>(v & 0xFF);
  s[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}

// A PCX header; the caller appends the (coded) lines and any palette.
std::string header(int width, int height, int bits, int planes, int bytesPerLine, int version = 5,
                   const std::vector<Rgb>& palette16 = {}) {
  std::string h(128, '\0');
  h[0] = 0x0A;
  h[1] = static_cast<char>(version);
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
  for (std::uint8_t b : bytes) {
    s.push_back(static_cast<char>(0xC1));
    s.push_back(static_cast<char>(b));
  }
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

TEST(PcxCodec, RoundTripsInBothFormsGiveBackTheSamePixels) {
  for (const Size size : {Size{1, 1}, Size{3, 5}, Size{4, 4}, Size{1, 5000}, Size{5000, 1}, Size{200, 3}}) {
    SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height));
    for (const Raster& source : {pattern(size.width, size.height), colourRuns(size.width, size.height, 5)})
      for (const int bits : {8, 24}) {
        const util::Result<std::string> file = encodePcx(source, bits);
        ASSERT_TRUE(file.ok()) << file.message();
        const Decoded d = decode(file.value());
        ASSERT_TRUE(d.status.ok()) << d.status.message();
        EXPECT_EQ(d.raster, source);
      }
  }
}

TEST(PcxCodec, ChoosesThePaletteFormOnlyWhenTheColoursFit) {
  struct Case {
    int colours;
    int bits;
    int planes;
  };
  for (const Case& c : {Case{5, 8, 1}, Case{5, 3, 1}, Case{5, 2, 3}, Case{256, 8, 1}, Case{2, 1, 1}, Case{5, 24, 3}}) {
    SCOPED_TRACE(std::to_string(c.colours) + " colours, " + std::to_string(c.bits) + " bits");
    const Raster source = colourRuns(800, 2, c.colours);
    const std::string file = encodePcx(source, c.bits).value();
    EXPECT_EQ(file[0], 0x0A);
    EXPECT_EQ(file[1], 5);
    EXPECT_EQ(file[2], 1);
    EXPECT_EQ(file[3], 8);
    EXPECT_EQ(file[65], c.planes);
    if (c.planes == 1) {
      ASSERT_GE(file.size(), 128u + 769u);
      EXPECT_EQ(file[file.size() - 769], 0x0C);
    }
    const Decoded d = decode(file);
    ASSERT_TRUE(d.status.ok()) << d.status.message();
    EXPECT_EQ(d.raster, source);
  }
  const std::string all = encodePcx(pattern(20, 20), 8).value();
  EXPECT_EQ(all[65], 3);  // 400 colours
}

TEST(PcxCodec, WritesEvenLineLengthsAndTheWindow) {
  const std::string odd = encodePcx(pattern(7, 3), 8).value();
  EXPECT_EQ(get16(odd, 4), 0);
  EXPECT_EQ(get16(odd, 6), 0);
  EXPECT_EQ(get16(odd, 8), 6);
  EXPECT_EQ(get16(odd, 10), 2);
  EXPECT_EQ(get16(odd, 66), 8);
  const std::string even = encodePcx(colourRuns(10, 3, 3), 8).value();
  EXPECT_EQ(get16(even, 66), 10);
}

TEST(PcxCodec, EncodeRefusesEmptyAndOversizedRasters) {
  EXPECT_FALSE(encodePcx(Raster(), 8).ok());
  const util::Result<std::string> wide = encodePcx(Raster(Size{70000, 1}), 8);
  ASSERT_FALSE(wide.ok());
  EXPECT_NE(wide.message().find("too large"), std::string::npos);
}

TEST(PcxCodec, DecodesImageMagickFiles) {
  Raster few(Size{9, 5});
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 9; ++x) few.row(y)[x * 3 + (x + y) % 3] = static_cast<std::uint8_t>(60 * (x % 4));
  const Raster many = pattern(13, 7);
  struct Case {
    const Raster* source;
    const char* options;
    int planes;
  };
  for (const Case& c :
       {Case{&few, "-type Palette", 1}, Case{&many, "-type TrueColor", 3}, Case{&many, "-type TrueColorAlpha", 4}}) {
    SCOPED_TRACE(c.options);
    const std::string file = magick(*c.source, c.options, "PCX");
    ASSERT_FALSE(file.empty()) << "convert failed";
    ASSERT_EQ(file[65], c.planes);
    const Decoded d = decode(file);
    ASSERT_TRUE(d.status.ok()) << d.status.message();
    EXPECT_EQ(d.raster, *c.source);
  }

  // Alpha in a fourth plane is composed over the background.
  const std::string rgba = risingAlphaPixels();
  const std::string file = magick(rgba, Size{8, 1}, "rgba", "", "PCX");
  ASSERT_FALSE(file.empty()) << "convert failed";
  ASSERT_EQ(file[65], 4);
  const Rgb bg{10, 250, 90};
  const Decoded d = decode(file, bg);
  ASSERT_TRUE(d.status.ok()) << d.status.message();
  EXPECT_EQ(d.raster, composedOver(rgba, bg));
}

TEST(PcxCodec, DecodesSixteenColourAndMonochromeForms) {
  const std::vector<Rgb> palette{kRed, kGreen, kBlue, kWhite};
  // 1 bit, 1 plane, without a palette: black and white; 10 pixels in 2 bytes.
  std::string mono = header(10, 1, 1, 1, 2) + literal({0b10100000, 0b01000000});
  Decoded d = decode(mono);
  ASSERT_TRUE(d.status.ok()) << d.status.message();
  EXPECT_EQ(d.raster,
            rasterOf(10, 1, {kWhite, kBlack, kWhite, kBlack, kBlack, kBlack, kBlack, kBlack, kBlack, kWhite}));

  // 4 bits packed in one plane, header palette.
  std::string packed = header(3, 1, 4, 1, 2, 5, palette) + literal({0x12, 0x30});
  d = decode(packed);
  ASSERT_TRUE(d.status.ok()) << d.status.message();
  EXPECT_EQ(d.raster, rasterOf(3, 1, {kGreen, kBlue, kWhite}));

  // 2 planes of 1 bit: index bit 0 from plane 0, bit 1 from plane 1.
  std::string planar = header(4, 1, 1, 2, 2, 5, palette) + literal({0b01010000, 0, 0b00110000, 0});
  d = decode(planar);
  ASSERT_TRUE(d.status.ok()) << d.status.message();
  EXPECT_EQ(d.raster, rasterOf(4, 1, {kRed, kGreen, kBlue, kWhite}));

  // 4 planes with an all-zero header palette: the standard 16 colours.
  std::string ega = header(1, 1, 1, 4, 2) + literal({0x80, 0, 0x80, 0, 0x80, 0, 0x80, 0});
  d = decode(ega);
  ASSERT_TRUE(d.status.ok()) << d.status.message();
  EXPECT_EQ(d.raster.at(0, 0), kWhite);

  EXPECT_NE(decode(header(4, 1, 2, 2, 2) + literal({0, 0, 0, 0})).status.message().find("not supported"),
            std::string::npos);
}

TEST(PcxCodec, RunsMayCrossLineEndsAndLinesMayBePadded) {
  // 8-bit palette picture 3 x 2 with 4 bytes per line: a single run of 8
  // covers both lines, padding included.
  std::string f = header(3, 2, 8, 1, 4) + std::string{static_cast<char>(0xC8), 2} + tailPalette({kRed, kGreen, kBlue});
  Decoded d = decode(f);
  ASSERT_TRUE(d.status.ok()) << d.status.message();
  EXPECT_EQ(d.raster, rasterOf(3, 2, {kBlue, kBlue, kBlue, kBlue, kBlue, kBlue}));

  // 24-bit 2 x 1 with 2 bytes per line; a run crosses from the red plane into green.
  f = header(2, 1, 8, 3, 2) + std::string{static_cast<char>(0xC3), static_cast<char>(0xFF)} + literal({0, 0, 0});
  d = decode(f);
  ASSERT_TRUE(d.status.ok()) << d.status.message();
  EXPECT_EQ(d.raster, rasterOf(2, 1, {Rgb{255, 255, 0}, Rgb{255, 0, 0}}));

  // A window that does not start at zero.
  f = header(2, 1, 8, 1, 2) + literal({1, 0}) + tailPalette({kRed, kGreen});
  put16(f, 4, 10);
  put16(f, 8, 11);
  d = decode(f);
  ASSERT_TRUE(d.status.ok()) << d.status.message();
  EXPECT_EQ(d.raster, rasterOf(2, 1, {kGreen, kRed}));
}

TEST(PcxCodec, TruncatedFilesFailWithAMessage) {
  for (const int bits : {8, 24}) {
    const std::string file = encodePcx(colourRuns(6, 3, 4), bits).value();
    for (std::size_t n = 0; n < file.size(); ++n) {
      const Decoded d = decode(file.substr(0, n));
      ASSERT_FALSE(d.status.ok()) << "prefix of " << n << " bytes";
      EXPECT_FALSE(d.status.message().empty());
    }
  }
  // 24-bit data cut in its last line: the complete lines arrive first.
  const std::string file = encodePcx(pattern(5, 4), 24).value();
  const Decoded d = decode(file.substr(0, file.size() - 2));
  EXPECT_EQ(d.status.message(), "data ends early");
  EXPECT_EQ(d.rows, 3);
  // A palette picture whose palette marker is missing.
  std::string noMarker = encodePcx(colourRuns(6, 3, 4), 8).value();
  noMarker[noMarker.size() - 769] = 0;
  EXPECT_NE(decode(noMarker).status.message().find("palette"), std::string::npos);
}

TEST(PcxCodec, GarbageFailsWithAMessageAndNoCrash) {
  EXPECT_EQ(decode("").status.message(), "not a PCX file");
  EXPECT_EQ(decode("BM").status.message(), "not a PCX file");
  std::mt19937 random(777);
  const std::string good = encodePcx(pattern(6, 5), 8).value();
  for (int round = 0; round < 2000; ++round) {
    std::string bad = good;
    const int changes = 1 + static_cast<int>(random() % 4);
    for (int i = 0; i < changes; ++i) {
      const std::size_t at = round % 2 == 0 ? random() % 128 : random() % bad.size();
      bad[at] = static_cast<char>(random());
    }
    bad[0] = 0x0A;
    const Decoded d = decode(bad);
    if (!d.status.ok()) {
      EXPECT_FALSE(d.status.message().empty());
    }
  }
}

TEST(PcxCodec, RefusesAbsurdSizesBeforeStarting) {
  Decoded d = decode(header(60000, 60000, 8, 3, 60000) + literal({1, 2, 3}));
  EXPECT_EQ(d.status.message(), "picture of 60000 x 60000 pixels is too large");
  EXPECT_FALSE(d.begun);

  // A 16-bit window cannot exceed 65536 pixels a side, so lower the limit.
  DecodeLimits small;
  small.maxPixels = 100;
  d = decode(header(20, 20, 8, 3, 20) + literal({1, 2, 3}), kSurfaceBackground, small);
  EXPECT_EQ(d.status.message(), "picture of 20 x 20 pixels is too large");
  EXPECT_FALSE(d.begun);

  // An inverted window and a line length shorter than the width.
  std::string f = header(4, 4, 8, 3, 4) + literal({1});
  put16(f, 4, 10);
  EXPECT_NE(decode(f).status.message().find("invalid"), std::string::npos);
  f = header(4, 4, 8, 3, 3) + literal({1});
  EXPECT_NE(decode(f).status.message().find("too short"), std::string::npos);
}

}  // namespace
}  // namespace pixelmote::imaging
