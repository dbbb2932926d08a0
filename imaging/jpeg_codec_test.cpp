// JPEG beyond the shared contract: encoder settings, stored colour forms
// and profiles, reduced decoding, orientation, damage and limits.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "imaging/codec.h"
#include "imaging/exif_orientation.h"
#include "imaging/geometry.h"
#include "imaging/reduce.h"
#include "testsupport/codec_testing.h"
#include "testsupport/colour_profiles.h"
#include "testsupport/exif_block.h"

namespace pixelmote::imaging {
namespace {

using ByteVector = std::vector<std::uint8_t>;
using namespace pixelmote::testing;

constexpr Rgb kPalette[8] = {{220, 30, 30},  {30, 200, 40},  {30, 40, 220},  {230, 220, 40},
                             {40, 210, 210}, {210, 40, 200}, {250, 250, 250}, {20, 20, 20}};

// 4 × 2 solid blocks of 16 × 16 pixels (whole MCUs, so colours survive).
Raster blocks() {
  Raster r(Size{64, 32});
  for (int y = 0; y < 32; ++y)
    for (int x = 0; x < 64; ++x) std::memcpy(r.row(y) + x * 3, &kPalette[(y / 16) * 4 + x / 16], 3);
  return r;
}

double meanError(const Raster& a, const Raster& b) {
  if (a.rgb.size() != b.rgb.size() || a.rgb.empty()) return 1e9;
  double sum = 0;
  for (std::size_t i = 0; i < a.rgb.size(); ++i) sum += std::abs(int{a.rgb[i]} - int{b.rgb[i]});
  return sum / static_cast<double>(a.rgb.size());
}

::testing::AssertionResult near(Rgb actual, Rgb expected, int tolerance) {
  if (std::abs(actual.r - expected.r) <= tolerance && std::abs(actual.g - expected.g) <= tolerance &&
      std::abs(actual.b - expected.b) <= tolerance)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "got (" << int{actual.r} << "," << int{actual.g} << "," << int{actual.b}
                                       << "), want (" << int{expected.r} << "," << int{expected.g} << ","
                                       << int{expected.b} << ")";
}

// How libjpeg writes a test file, for the forms the program's encoder never makes.
struct Recipe {
  Size size;
  J_COLOR_SPACE input = JCS_RGB;  // JCS_RGB, JCS_GRAYSCALE or JCS_CMYK
  int components = 3;
  ByteVector samples;  // size.pixels() × components
  std::optional<J_COLOR_SPACE> stored;
  int lumaH = 2, lumaV = 2;
  bool progressive = false;
  bool adobeMarker = true;  // CMYK and YCCK only
  int quality = 95;
  std::vector<std::pair<int, ByteVector>> markers;  // written after the header
};

Recipe rgbRecipe(const Raster& r) {
  Recipe recipe;
  recipe.size = r.size;
  recipe.samples = r.rgb;
  return recipe;
}

// libjpeg's own error handling ends the test program on a recipe it refuses.
std::string makeJpeg(const Recipe& recipe) {
  jpeg_compress_struct c;
  jpeg_error_mgr errors;
  c.err = jpeg_std_error(&errors);
  jpeg_create_compress(&c);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &buffer, &size);
  c.image_width = static_cast<JDIMENSION>(recipe.size.width);
  c.image_height = static_cast<JDIMENSION>(recipe.size.height);
  c.input_components = recipe.components;
  c.in_color_space = recipe.input;
  jpeg_set_defaults(&c);
  if (recipe.stored) jpeg_set_colorspace(&c, *recipe.stored);
  c.write_Adobe_marker = c.write_Adobe_marker && recipe.adobeMarker;
  jpeg_set_quality(&c, recipe.quality, TRUE);
  c.comp_info[0].h_samp_factor = recipe.lumaH;
  c.comp_info[0].v_samp_factor = recipe.lumaV;
  if (recipe.progressive) jpeg_simple_progression(&c);
  jpeg_start_compress(&c, TRUE);
  for (const auto& [code, payload] : recipe.markers)
    jpeg_write_marker(&c, code, payload.data(), static_cast<unsigned>(payload.size()));
  const std::size_t stride = static_cast<std::size_t>(recipe.size.width) * recipe.components;
  while (c.next_scanline < c.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(recipe.samples.data() + stride * c.next_scanline);
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  std::string file(reinterpret_cast<const char*>(buffer), size);
  std::free(buffer);
  return file;
}

std::string progressiveOf(const Raster& r) {
  Recipe recipe = rgbRecipe(r);
  recipe.progressive = true;
  return makeJpeg(recipe);
}

// Offset of the first marker `code` before the entropy-coded data, or npos.
std::size_t markerOffset(const std::string& file, std::uint8_t code) {
  for (std::size_t pos = 2; pos + 4 <= file.size() && static_cast<std::uint8_t>(file[pos]) == 0xFF;) {
    const auto marker = static_cast<std::uint8_t>(file[pos + 1]);
    if (marker == code) return pos;
    if (marker == 0xDA) break;
    pos += 2 + (static_cast<std::uint8_t>(file[pos + 2]) << 8 | static_cast<std::uint8_t>(file[pos + 3]));
  }
  return std::string::npos;
}

// Offset of the first entropy-coded byte.
std::size_t scanDataOffset(const std::string& file) {
  const std::size_t sos = markerOffset(file, 0xDA);
  return sos + 2 + (static_cast<std::uint8_t>(file[sos + 2]) << 8 | static_cast<std::uint8_t>(file[sos + 3]));
}

// 32 stuffed 0xFF bytes at `at`: all-one bit runs, never a code.
std::string withInvalidCodes(std::string file, std::size_t at) {
  for (std::size_t i = 0; i < 64; i += 2) file.replace(at + i, 2, std::string("\xFF\x00", 2));
  return file;
}

// Counts without keeping anything: for pictures declared huge.
class CountingSink : public RowSink {
 public:
  bool begin(Size, Size, const imaging::Coverage&) override { return ++begins, true; }
  void row(int, const std::uint8_t*) override { ++rowsSeen; }
  int begins = 0;
  long rowsSeen = 0;
};

Decoded decode(const std::string& file, const DecodeRequest& request = {}) { return decodeWith(decodeJpeg, file, request); }

ByteVector exifBlock(int orientation, bool bigEndian = false) {
  const std::string block = exifOrientationBlock(orientation, bigEndian);
  return ByteVector(block.begin(), block.end());
}

// ---------------------------------------------------------------------------

TEST(JpegEncode, QualityAndSmoothingReachTheLibraryWithinTheirRange) {
  const Raster original = pattern(96, 64);
  auto jpeg = [&](int quality, int smoothing) { return encodeJpeg(original, quality, smoothing).value(); };
  EXPECT_LT(jpeg(15, 0).size() * 3, jpeg(95, 0).size());
  EXPECT_EQ(jpeg(250, 0), jpeg(100, 0));
  EXPECT_EQ(jpeg(-4, 0), jpeg(0, 0));
  EXPECT_NE(jpeg(80, 100), jpeg(80, 0));
  EXPECT_EQ(jpeg(80, 400), jpeg(80, 100));
  EXPECT_LT(meanError(decode(jpeg(90, 0)).raster, original), 8.0);
  const auto tooWide = encodeJpeg(Raster(Size{70000, 1}), 90, 0);  // libjpeg refuses; we say why
  EXPECT_NE(tooWide.message().find("65500"), std::string::npos) << tooWide.message();
}

TEST(JpegComment, StoredInAMarkerAndFoundAgain) {
  const Raster picture(Size{16, 8}, Rgb{10, 200, 30});
  const std::string text = "pixelmote thumbnail 1; picture 1234 bytes, modified 1.5; size 25";
  const std::string jpeg = encodeJpeg(picture, 75, 0, text).value();
  EXPECT_EQ(leadingComment(bytesOf(jpeg)), text);
  EXPECT_EQ(leadingComment(bytesOf(encodeJpeg(picture, 75, 0).value())), "");
  EXPECT_EQ(leadingComment(bytesOf(jpeg.substr(0, 20))), "");
  EXPECT_EQ(leadingComment(bytesOf(std::string("\x89PNG\r\n"))), "");
}

// Ink amounts (0 = none) standing for each block colour: pure inks mixed.
struct Ink {
  std::uint8_t c, m, y, k;
  Rgb expected;
};
constexpr Ink kInks[4] = {{0, 255, 255, 0, {255, 0, 0}}, {255, 0, 0, 0, {0, 255, 255}}, {0, 0, 0, 128, {127, 127, 127}}, {0, 0, 0, 0, {255, 255, 255}}};

Recipe cmykRecipe(bool adobe, J_COLOR_SPACE stored = JCS_CMYK) {
  Recipe recipe;
  recipe.size = Size{64, 16};
  recipe.input = JCS_CMYK;
  recipe.components = 4;
  recipe.lumaH = recipe.lumaV = 1;
  recipe.adobeMarker = adobe;  // values stored as 255 - ink
  recipe.stored = stored;
  for (int i = 0; i < 64 * 16; ++i)
    for (std::uint8_t v : {kInks[i % 64 / 16].c, kInks[i % 64 / 16].m, kInks[i % 64 / 16].y, kInks[i % 64 / 16].k})
      recipe.samples.push_back(adobe ? static_cast<std::uint8_t>(255 - v) : v);
  return recipe;
}

Recipe grayRecipe(int width, int height, int level(int x)) {
  Recipe recipe;
  recipe.size = Size{width, height};
  recipe.input = JCS_GRAYSCALE;
  recipe.components = 1;
  recipe.lumaH = recipe.lumaV = 1;
  for (int i = 0; i < width * height; ++i) recipe.samples.push_back(static_cast<std::uint8_t>(level(i % width)));
  return recipe;
}

std::vector<Rgb> blockCentres(const Raster& r, int across, int down) {
  std::vector<Rgb> centres;
  for (int i = 0; i < across * down; ++i)
    centres.push_back(r.at((i % across) * r.size.width / across + r.size.width / across / 2,
                           (i / across) * r.size.height / down + r.size.height / down / 2));
  return centres;
}

TEST(JpegColour, EveryStoredFormDecodesToItsColours) {
  const std::vector<Rgb> palette(std::begin(kPalette), std::end(kPalette));
  const std::vector<Rgb> inks = {kInks[0].expected, kInks[1].expected, kInks[2].expected, kInks[3].expected};
  std::vector<Rgb> turnedInks(inks.rbegin(), inks.rend());
  Recipe rgbStored = rgbRecipe(blocks()), progressive = rgbRecipe(blocks()), markers = rgbRecipe(blocks());
  rgbStored.stored = JCS_RGB;
  rgbStored.lumaH = rgbStored.lumaV = 1;
  progressive.progressive = true;
  markers.markers = {{JPEG_APP0 + 9, {1, 2, 3}}, {JPEG_COM, {'h', 'i'}}, {JPEG_APP0 + 1, {'E', 'x', 'i', 'f', 0, 0, 'M', 'M'}}};
  Recipe turned = cmykRecipe(true);
  turned.markers.push_back({JPEG_APP0 + 1, exifBlock(3)});
  const struct {
    const char* name;
    Recipe recipe;
    int across, down, tolerance;
    std::vector<Rgb> expected;
  } cases[] = {
      {"RGB stored", rgbStored, 4, 2, 4, palette},
      {"progressive", progressive, 4, 2, 12, palette},
      {"unknown markers and comments", markers, 4, 2, 12, palette},
      {"gray", grayRecipe(64, 16, [](int x) { return x / 16 * 80; }), 4, 1, 3, {{0, 0, 0}, {80, 80, 80}, {160, 160, 160}, {240, 240, 240}}},
      {"plain CMYK", cmykRecipe(false), 4, 1, 6, inks},
      {"Adobe CMYK", cmykRecipe(true), 4, 1, 6, inks},
      {"Adobe YCCK", cmykRecipe(true, JCS_YCCK), 4, 1, 6, inks},
      {"CMYK turned by its orientation", turned, 4, 1, 6, turnedInks},
  };
  for (const auto& c : cases) {
    const Decoded d = decode(makeJpeg(c.recipe));
    ASSERT_TRUE(d.status.ok()) << c.name << ": " << d.status.message();
    ASSERT_EQ(d.raster.size, c.recipe.size) << c.name;
    const std::vector<Rgb> got = blockCentres(d.raster, c.across, c.down);
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_TRUE(near(got[i], c.expected[i], c.tolerance)) << c.name << " block " << i;
      if (c.recipe.input == JCS_GRAYSCALE) { EXPECT_TRUE(got[i].r == got[i].g && got[i].g == got[i].b) << i; }
    }
  }
  EXPECT_LT(meanError(decode(progressiveOf(pattern(200, 150))).raster, decode(makeJpeg(rgbRecipe(pattern(200, 150)))).raster), 1.0);
}

// CMYK and gray pictures with a profile are converted through it; the rows
// delivered are sRGB and no profile is handed on.
TEST(JpegColour, CmykAndGrayAreConvertedThroughTheirProfile) {
  ByteVector inks;
  for (const Ink& ink : kInks) inks.insert(inks.end(), {ink.c, ink.m, ink.y, ink.k});
  const Icc cmyk = tintedCmykProfile(), gray = linearGrayProfile();
  const struct {
    const char* name;
    Recipe recipe;
    const Icc& profile;
    std::vector<std::uint8_t> reference;
    int across;
    Rgb notNear;  // what the naive conversion gives for the second block
  } cases[] = {
      {"plain CMYK", cmykRecipe(false), cmyk, referenceToSrgb(cmyk, TYPE_CMYK_8, inks, 4), 4, kInks[1].expected},
      {"Adobe CMYK", cmykRecipe(true), cmyk, referenceToSrgb(cmyk, TYPE_CMYK_8, inks, 4), 4, kInks[1].expected},
      {"Adobe YCCK", cmykRecipe(true, JCS_YCCK), cmyk, referenceToSrgb(cmyk, TYPE_CMYK_8, inks, 4), 4, kInks[1].expected},
      {"gray", grayRecipe(32, 8, [](int x) { return x < 16 ? 64 : 128; }), gray, referenceToSrgb(gray, TYPE_GRAY_8, {64, 128}, 2), 2, {128, 128, 128}},
  };
  for (const auto& c : cases) {
    Recipe recipe = c.recipe;
    for (const Icc& payload : iccSegments(c.profile)) recipe.markers.push_back({JPEG_APP0 + 2, payload});
    std::vector<std::uint8_t> handedOn = {1};
    DecodeRequest request;
    request.profile = &handedOn;
    const Decoded d = decode(makeJpeg(recipe), request);
    ASSERT_TRUE(d.status.ok()) << c.name << ": " << d.status.message();
    EXPECT_TRUE(handedOn.empty()) << c.name;
    const std::vector<Rgb> got = blockCentres(d.raster, c.across, 1);
    for (int i = 0; i < c.across; ++i)
      EXPECT_TRUE(near(got[i], Rgb{c.reference[i * 3], c.reference[i * 3 + 1], c.reference[i * 3 + 2]}, 6)) << c.name << " " << i;
    EXPECT_FALSE(near(got[1], c.notNear, 20)) << c.name << ": the profile must move this colour";
  }
}

// ---------------------------------------------------------------------------
// Reduced decoding and orientation

TEST(JpegScaling, DeliversTheSmallestEighthWhosePictureCoversTheNeed) {
  const std::string large = encodeJpeg(flatBlocks({1600, 1200}, 1), 75, 0).value();
  const std::string odd = encodeJpeg(flatBlocks({1001, 999}, 1), 90, 0).value();
  Recipe turnedRecipe = rgbRecipe(flatBlocks({1600, 1200}, 1));
  turnedRecipe.markers.push_back({JPEG_APP0 + 1, exifBlock(6)});
  const std::string turned = makeJpeg(turnedRecipe);
  const struct {
    const std::string* file;
    std::optional<Size> need;
    Size delivered, full;
  } cases[] = {
      {&large, std::nullopt, {1600, 1200}, {1600, 1200}}, {&large, Size{400, 300}, {400, 300}, {1600, 1200}},
      {&large, Size{401, 300}, {600, 450}, {1600, 1200}}, {&large, Size{400, 301}, {600, 450}, {1600, 1200}},
      {&large, Size{1, 1}, {200, 150}, {1600, 1200}},     {&large, Size{0, 0}, {200, 150}, {1600, 1200}},
      {&large, Size{200, 151}, {400, 300}, {1600, 1200}}, {&large, Size{1599, 10}, {1600, 1200}, {1600, 1200}},
      {&large, Size{5000, 5000}, {1600, 1200}, {1600, 1200}},
      // 1001 x 999 at 1/8 is 125.125 x 124.875 pixels of picture, rounded
      // up to 126 x 125: too few for a 126 x 125 box, so 2/8 is needed.
      {&odd, Size{1, 1}, {126, 125}, {1001, 999}},        {&odd, Size{125, 124}, {126, 125}, {1001, 999}},
      {&odd, Size{126, 124}, {251, 250}, {1001, 999}},    {&odd, Size{125, 125}, {251, 250}, {1001, 999}},
      {&odd, Size{250, 249}, {251, 250}, {1001, 999}},    {&odd, Size{251, 249}, {376, 375}, {1001, 999}},
      {&odd, Size{1001, 999}, {1001, 999}, {1001, 999}},
      // Turned a quarter: the need is in the displayed frame.
      {&turned, Size{300, 401}, {450, 600}, {1200, 1600}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.need ? std::to_string(c.need->width) + "x" + std::to_string(c.need->height) : "no need");
    std::optional<Size> asked;
    DecodeRequest request;
    if (c.need) request.minimumSize = [&asked, need = *c.need](Size full) { return asked = full, need; };
    const Decoded d = decode(*c.file, request);
    ASSERT_TRUE(d.status.ok()) << d.status.message();
    EXPECT_EQ(d.raster.size, c.delivered);
    EXPECT_EQ(d.full, c.full);
    if (!c.need) continue;
    EXPECT_EQ(asked, c.full);
    // What the rows cover of the picture, in delivered pixels, holds the need.
    EXPECT_GE(1.0 * c.full.width * d.coverage.delivered / d.coverage.source, std::min(c.need->width, c.full.width));
    EXPECT_GE(1.0 * c.full.height * d.coverage.delivered / d.coverage.source, std::min(c.need->height, c.full.height));
  }
}

Raster transformed(const Raster& r, bool transpose, bool flipH, bool flipV) {
  Raster out(transpose ? Size{r.size.height, r.size.width} : r.size);
  for (int y = 0; y < out.size.height; ++y)
    for (int x = 0; x < out.size.width; ++x) {
      const int sx = flipH ? out.size.width - 1 - x : x, sy = flipV ? out.size.height - 1 - y : y;
      std::memcpy(out.row(y) + x * 3, transpose ? r.row(sx) + sy * 3 : r.row(sy) + sx * 3, 3);
    }
  return out;
}

// The stored picture a camera writes with `orientation` when the scene is
// `upright`: 2 mirrors left-right, 3 is a half turn, 4 mirrors top-bottom,
// 5 stores displayed columns as rows, 6 was turned a quarter to the left,
// 7 is the transpose turned a half, 8 was turned a quarter to the right.
Raster storedFor(const Raster& upright, int orientation) {
  const bool swap = orientationSwapsAxes(orientation);
  const bool h[] = {false, false, true, true, false, false, false, true, true};
  const bool v[] = {false, false, false, true, true, false, true, true, false};
  return transformed(upright, swap, h[orientation], v[orientation]);
}

TEST(JpegOrientation, EveryOrientationDeliversUprightPixelsAlsoWhenReduced) {
  for (int o = 1; o <= 8; ++o) {
    Recipe recipe = rgbRecipe(storedFor(blocks(), o));
    recipe.markers.push_back({JPEG_APP0 + 1, exifBlock(o)});
    const std::string file = makeJpeg(recipe);
    for (const Size need : {Size{64, 32}, Size{16, 8}}) {
      DecodeRequest request;
      request.minimumSize = [need](Size) { return need; };
      const Decoded d = decode(file, request);
      ASSERT_TRUE(d.status.ok()) << d.status.message();
      ASSERT_EQ(d.raster.size, need) << o;
      EXPECT_EQ(d.full, (Size{64, 32})) << o;
      const std::vector<Rgb> got = blockCentres(d.raster, 4, 2);
      for (int i = 0; i < 8; ++i) EXPECT_TRUE(near(got[i], kPalette[i], 16)) << "orientation " << o << " block " << i;
    }
  }
  const std::string xmp = "http://ns.adobe.com/xap/1.0/";
  const struct {
    const char* name;
    int stored;
    std::vector<ByteVector> app1;
  } others[] = {
      {"unknown orientation", 1, {exifBlock(9)}},
      {"EXIF of an unknown byte order", 1, {[] { ByteVector b = exifBlock(6); b[6] = b[7] = 'X'; return b; }()}},
      {"EXIF after an XMP block", 3, {ByteVector(xmp.c_str(), xmp.c_str() + xmp.size() + 1), exifBlock(3)}},
  };
  for (const auto& c : others) {
    Recipe recipe = rgbRecipe(storedFor(blocks(), c.stored));
    for (const ByteVector& block : c.app1) recipe.markers.push_back({JPEG_APP0 + 1, block});
    const std::vector<Rgb> got = blockCentres(decode(makeJpeg(recipe)).raster, 4, 2);
    for (int i = 0; i < 8; ++i) EXPECT_TRUE(near(got[i], kPalette[i], 12)) << c.name << " block " << i;
  }
}

TEST(JpegThumbnailGeometry, OddSizesAverageExactlyTheDecodedPicture) {
  // Flat 8 x 8 blocks decode to the same flat colours at every scale, so
  // the thumbnail of a reduced decode can match the exact area average of
  // the full decode however the picture's edge cuts its last blocks, and
  // wherever turning the picture puts them.
  const struct {
    Size upright;
    int orientation;
  } cases[] = {{{477, 13}, 1}, {{13, 477}, 1}, {{721, 1}, 1},  {{1, 721}, 1},  {{213, 117}, 1}, {{213, 117}, 6}, {{117, 213}, 8},
               {{213, 117}, 3}, {{213, 117}, 2}, {{213, 117}, 4}, {{213, 117}, 5}, {{213, 117}, 7}, {{477, 61}, 6}};
  for (const auto& c : cases) {
    const Size stored = orientationSwapsAxes(c.orientation) ? Size{c.upright.height, c.upright.width} : c.upright;
    Recipe recipe = rgbRecipe(flatBlocks(stored, static_cast<unsigned>(stored.width + 7 * c.orientation)));
    recipe.lumaH = recipe.lumaV = 1;  // no chroma shared across blocks
    recipe.quality = 100;
    recipe.markers.push_back({JPEG_APP0 + 1, exifBlock(c.orientation)});
    const std::string file = makeJpeg(recipe);
    const Decoded full = decode(file);
    ASSERT_EQ(full.raster.size, c.upright);
    for (const double percent : {10.0, 25.0, 33.0, 50.0}) {
      SCOPED_TRACE(std::to_string(c.upright.width) + "x" + std::to_string(c.upright.height) + " orientation " +
                   std::to_string(c.orientation) + " at " + std::to_string(percent) + "%");
      DecodeRequest request;
      request.minimumSize = [percent](Size s) { return SizeThumb(percent, s); };
      BoxReducer reducer([percent](Size, Size s) { return SizeThumb(percent, s); });
      ASSERT_TRUE(decodeJpeg(bytesOf(file), request, reducer).ok());
      const Size box = SizeThumb(percent, c.upright);
      const Raster thumb = reducer.takeResult();
      ASSERT_EQ(thumb.size, box);
      const AverageError e = compareToAverage(thumb, exactAreaAverage(full.raster, box));
      EXPECT_LE(e.worst, 1.6) << "at " << e.x << "," << e.y;  // scaled transforms round flat levels on their own
    }
  }
}

// ---------------------------------------------------------------------------
// Damage and limits

TEST(JpegDamage, DamageIsCorruptAndHarmlessOddBytesAreTolerated) {
  const std::string file = encodeJpeg(pattern(256, 192), 85, 0).value();
  const std::size_t scan = scanDataOffset(file), end = file.size() - 2;
  ASSERT_LT(scan, file.size() / 10) << "cuts must fall in the entropy-coded data";
  const Raster clean = decode(file).raster;
  const std::string progressive = progressiveOf(pattern(256, 192));
  std::string markerInside = file, badTable = file, padded = file, strayed = file, beforeMarker = file;
  markerInside.replace(scan + (end - scan) / 3, 2, "\xFF\xD9");
  badTable[markerOffset(file, 0xDB) + 4] = 0x7F;  // precision 7, table 15
  padded.insert(end, 2, '\0');
  strayed.insert(end, 100, '\x55');
  beforeMarker.insert(markerOffset(file, 0xDB), "\x01\x02\x03\x04");
  const struct {
    const char* name;
    std::string file;
    const char* message;  // how it begins; empty: decoded as the clean file
  } cases[] = {
      {"run of invalid codes", withInvalidCodes(file, scan + (end - scan) / 2), "corrupt data"},
      {"marker inside the entropy data", markerInside, "corrupt data"},
      {"broken table", badTable, "corrupt data"},
      {"many stray bytes after the scan", strayed, "corrupt data"},
      {"a few stray bytes after the scan", padded, ""},
      {"garbage after the end marker", file + "trailing junk \xFF\xFF\x01 more", ""},
      {"extraneous bytes before a marker", beforeMarker, ""},
      {"cut at half", file.substr(0, file.size() / 2), "data ends early"},
      {"cut before the data", file.substr(0, scan), "data ends early"},
      {"cut after the start marker", file.substr(0, 2), "data ends early"},
      {"damaged progressive", withInvalidCodes(progressive, scanDataOffset(progressive) + 40), "corrupt data"},
  };
  for (const auto& c : cases) {
    const Decoded d = decode(c.file);
    if (*c.message == '\0') {
      ASSERT_TRUE(d.status.ok()) << c.name << ": " << d.status.message();
      EXPECT_EQ(d.raster, clean) << c.name;
    } else {
      EXPECT_EQ(d.status.message().rfind(c.message, 0), 0u) << c.name << ": " << d.status.message();
      EXPECT_LE(d.rows, std::string(c.message) == "corrupt data" ? 192 : 191) << c.name;
      if (std::string(c.name) == "broken table") { EXPECT_EQ(d.rows, 0); }
    }
  }
}

// A progressive file missing only its end marker holds every pixel; data
// missing from a scan, or whole scans missing, still fail.
TEST(JpegDamage, ProgressiveFileEndingEarly) {
  const std::string whole = progressiveOf(pattern(256, 192));
  const Decoded complete = decode(whole);
  ASSERT_TRUE(complete.status.ok()) << complete.status.message();
  EXPECT_EQ(decode(whole.substr(0, whole.size() - 2)).raster, complete.raster);
  for (const std::size_t cut : {3, 40, 400}) EXPECT_EQ(decode(whole.substr(0, whole.size() - cut)).status.message(), "data ends early") << cut;
  int cuts = 0;  // just before each scan header after the first
  for (std::size_t at = scanDataOffset(whole); (at = whole.find("\xFF\xDA", at + 1)) != std::string::npos; ++cuts)
    EXPECT_EQ(decode(whole.substr(0, at)).status.message(), "data ends early") << at;
  EXPECT_GE(cuts, 5);
}

std::int64_t mappedKilobytes() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmSize:", 0) == 0) return std::stoll(line.substr(7));
  return -1;
}

TEST(JpegDamage, ProgressiveCoefficientsAreGivenBackWhateverTheEnding) {
  // 1536 × 1536 progressive: 6.8 MB of coefficients per decode. The rows go
  // to sinks that keep nothing, so the address space measures the decoder.
  const std::string whole = progressiveOf(pattern(1536, 1536));
  const std::string damaged = withInvalidCodes(whole, scanDataOffset(whole) + 40), cut = whole.substr(0, whole.size() / 2);
  struct Refusing : RowSink {
    bool begin(Size, Size, const imaging::Coverage&) override { return false; }
    void row(int, const std::uint8_t*) override {}
  } refusing;  // refuses after the whole file was read
  CountingSink counting;
  ASSERT_TRUE(decodeJpeg(bytesOf(whole), {}, counting).ok());  // anything made once is made before measuring
  const std::int64_t before = mappedKilobytes();
  for (int round = 0; round < 8; ++round) {
    EXPECT_TRUE(decodeJpeg(bytesOf(whole), {}, counting).ok());
    EXPECT_FALSE(decodeJpeg(bytesOf(damaged), {}, counting).ok());
    EXPECT_EQ(decodeJpeg(bytesOf(cut), {}, counting).message(), "data ends early");
    EXPECT_FALSE(decodeJpeg(bytesOf(whole), {}, refusing).ok());
  }
  EXPECT_LT(mappedKilobytes() - before, 16 * 1024);  // keeping 32 decodes' coefficients would add 200 MB
}

TEST(JpegLimits, ScansMemoryAndDeclaredSizesAreBounded) {
  const std::string tenScans = progressiveOf(flatBlocks({64, 64}, 1));  // libjpeg's simple progression
  const std::string large = progressiveOf(flatBlocks({1024, 1024}, 1));  // keeps about 3 MB of coefficients
  // Small real files whose frame header declares 65500 × 65500 pixels.
  std::string hugeBaseline = makeJpeg(rgbRecipe(pattern(32, 32))), hugeProgressive = progressiveOf(pattern(32, 32));
  for (std::string* f : {&hugeBaseline, &hugeProgressive}) {
    const std::size_t sof = markerOffset(*f, f == &hugeBaseline ? 0xC0 : 0xC2);
    f->replace(sof + 5, 4, "\xFF\xDC\xFF\xDC");
  }
  DecodeLimits scans10, scans9, memory1M, noPixelLimit;
  scans10.maxProgressiveScans = 10;
  scans9.maxProgressiveScans = 9;
  memory1M.maxDecoderMemory = 1 << 20;
  noPixelLimit.maxPixels = std::int64_t{1} << 40;
  const struct {
    const char* name;
    const std::string& file;
    DecodeLimits limits;
    const char* message;  // empty: decodes; null: fails
    long maxRows;
  } cases[] = {
      {"10 scans allowed", tenScans, scans10, "", 64},
      {"9 scans allowed", tenScans, scans9, "more than 9 progressive scans", 0},
      {"default memory", large, {}, "", 1024},
      {"1 MB of memory", large, memory1M, "decoding needs more memory than allowed", 0},
      {"huge baseline", hugeBaseline, {}, "picture of 65500 x 65500 pixels is too large", 0},
      {"huge progressive", hugeProgressive, {}, "picture of 65500 x 65500 pixels is too large", 0},
      {"huge progressive, no pixel limit", hugeProgressive, noPixelLimit, "decoding needs more memory than allowed", 0},
      {"huge baseline, no pixel limit: the data runs out", hugeBaseline, noPixelLimit, nullptr, 63},
  };
  for (const auto& c : cases) {
    DecodeRequest request;
    request.limits = c.limits;
    CountingSink sink;
    const util::Status status = decodeJpeg(bytesOf(c.file), request, sink);
    if (c.message != nullptr) { EXPECT_EQ(status.message(), c.message) << c.name; }
    EXPECT_NE(status.ok(), c.message == nullptr || *c.message != '\0') << c.name;
    EXPECT_LE(sink.rowsSeen, c.maxRows) << c.name;
    if (c.maxRows == 0) { EXPECT_EQ(sink.begins, 0) << c.name; }
  }
}

}  // namespace
}  // namespace pixelmote::imaging
