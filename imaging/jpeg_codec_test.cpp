// JPEG beyond the shared contract and the reference files: encoder
// settings, colour profiles, reduced decoding, progressive files ending
// early, the memory a decode gives back, and limits.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
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

// A picture's samples and how libjpeg is to write them, for the forms the
// program's encoder never makes.
struct Recipe {
  Size size;
  int components = 3;
  ByteVector samples;  // size.pixels() × components
  JpegRecipe how{.quality = 95};
};

Recipe rgbRecipe(const Raster& r) { return {r.size, 3, r.rgb}; }
std::string makeJpeg(const Recipe& r) { return libjpegFile(r.size, r.components, r.samples, r.how); }
std::string progressiveOf(const Raster& r) { return libjpegFile(r, {.progressive = true, .quality = 95}); }

// Offset of the first entropy-coded byte: past the first scan header.
std::size_t scanDataOffset(const std::string& file) {
  const auto byte = [&file](std::size_t at) { return static_cast<std::uint8_t>(file[at]); };
  std::size_t at = 2;
  while (at + 4 <= file.size() && byte(at + 1) != 0xDA) at += 2 + (byte(at + 2) << 8 | byte(at + 3));
  return at + 2 + (byte(at + 2) << 8 | byte(at + 3));
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

TEST(JpegComment, TheFirstCommentBeforeThePictureDataIsFound) {
  using namespace std::string_literals;
  const Raster picture(Size{16, 8}, Rgb{10, 200, 30});
  const std::string text = "pixelmote thumbnail 1; picture 1234 bytes, modified 1.5; size 25";
  const std::string jpeg = encodeJpeg(picture, 75, 0, text).value(), soi = "\xFF\xD8"s, abc = "\xFF\xFE\x00\x05"s + "abc";
  const struct {
    std::string file, comment;
  } cases[] = {
      {jpeg, text}, {encodeJpeg(picture, 75, 0).value(), ""}, {jpeg.substr(0, 20), ""}, {"\x89PNG\r\n", ""},
      {soi + "\xFF\xFF\xFF" + abc, "abc"},                      // fill bytes before the marker
      {soi + "\xFF\xE1\x00\x04zz\xFF"s + abc, "abc"},              // and after another segment
      {soi + "\xFF\xDA\x00\x04zz"s + abc, ""},                     // after the picture data starts
      {soi + "\xFF\xE1\x00\x01"s + abc, ""},                       // after a segment shorter than its length field
      {soi + "\xFF\xFE\x00\x06"s + "abc", ""},                    // running past the end
  };
  for (const auto& c : cases) EXPECT_EQ(leadingComment(bytesOf(c.file)), c.comment) << &c - cases;
}

// Ink amounts (0 = none) standing for each block colour: pure inks mixed.
struct Ink {
  std::uint8_t c, m, y, k;
  Rgb expected;
};
constexpr Ink kInks[4] = {{0, 255, 255, 0, {255, 0, 0}}, {255, 0, 0, 0, {0, 255, 255}}, {0, 0, 0, 128, {127, 127, 127}}, {0, 0, 0, 0, {255, 255, 255}}};

Recipe cmykRecipe(bool adobe, J_COLOR_SPACE stored = JCS_CMYK) {
  Recipe recipe{Size{64, 16}, 4, {}, {.quality = 95, .fullChroma = true, .storedAs = stored, .adobeMarker = adobe}};
  for (int i = 0; i < 64 * 16; ++i)
    for (std::uint8_t v : {kInks[i % 64 / 16].c, kInks[i % 64 / 16].m, kInks[i % 64 / 16].y, kInks[i % 64 / 16].k})
      recipe.samples.push_back(adobe ? static_cast<std::uint8_t>(255 - v) : v);
  return recipe;
}

Recipe grayRecipe(int width, int height, int level(int x)) {
  Recipe recipe{Size{width, height}, 1, {}, {.quality = 95, .fullChroma = true}};
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
    for (const Icc& payload : iccSegments(c.profile)) recipe.how.markers.push_back({JPEG_APP0 + 2, payload});
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
  turnedRecipe.how.markers.push_back({JPEG_APP0 + 1, exifBlock(6)});
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
    recipe.how.fullChroma = true;  // no chroma shared across blocks
    recipe.how.quality = 100;
    recipe.how.markers.push_back({JPEG_APP0 + 1, exifBlock(c.orientation)});
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
  const std::int64_t before = processKilobytes("VmSize");
  for (int round = 0; round < 8; ++round) {
    EXPECT_TRUE(decodeJpeg(bytesOf(whole), {}, counting).ok());
    EXPECT_FALSE(decodeJpeg(bytesOf(damaged), {}, counting).ok());
    EXPECT_EQ(decodeJpeg(bytesOf(cut), {}, counting).message(), "data ends early");
    EXPECT_FALSE(decodeJpeg(bytesOf(whole), {}, refusing).ok());
  }
  EXPECT_LT(processKilobytes("VmSize") - before, 16 * 1024);  // keeping 32 decodes' coefficients would add 200 MB
}

TEST(JpegLimits, ScansMemoryAndDeclaredSizesAreBounded) {
  const std::string tenScans = progressiveOf(flatBlocks({64, 64}, 1));  // libjpeg's simple progression
  const std::string large = progressiveOf(flatBlocks({1024, 1024}, 1));  // keeps about 3 MB of coefficients
  // Small real files whose frame header declares 65500 × 65500 pixels.
  const std::string hugeBaseline = referenceFile("jpeg-bad-huge-baseline.jpg");
  const std::string hugeProgressive = referenceFile("jpeg-bad-huge-progressive.jpg");
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
