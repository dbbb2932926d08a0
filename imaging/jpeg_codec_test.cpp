// JPEG beyond the shared contract and the reference files: encoder
// settings, comments, reduced decoding and limits.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "imaging/codec.h"
#include "testsupport/codec_testing.h"
#include "testsupport/exif_block.h"

namespace pixelmote::imaging {
namespace {

using namespace pixelmote::testing;

std::string progressiveOf(const Raster& r) { return libjpegFile(r, {.progressive = true, .quality = 95}); }

// Counts without keeping anything: for pictures declared huge.
class CountingSink : public RowSink {
 public:
  bool begin(Size, Size, const imaging::Coverage&) override { return ++begins, true; }
  void row(int, const std::uint8_t*) override { ++rowsSeen; }
  int begins = 0;
  long rowsSeen = 0;
};

TEST(JpegEncode, QualityAndSmoothingReachTheLibraryWithinTheirRange) {
  const Raster original = pattern(96, 64);
  auto jpeg = [&](int quality, int smoothing) { return encodeJpeg(original, quality, smoothing).value(); };
  EXPECT_LT(jpeg(15, 0).size() * 3, jpeg(95, 0).size());
  EXPECT_EQ(jpeg(250, 0), jpeg(100, 0));
  EXPECT_EQ(jpeg(-4, 0), jpeg(0, 0));
  EXPECT_NE(jpeg(80, 100), jpeg(80, 0));
  EXPECT_EQ(jpeg(80, 400), jpeg(80, 100));
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

TEST(JpegScaling, DeliversTheSmallestEighthWhosePictureCoversTheNeed) {
  const std::string large = encodeJpeg(pattern(1600, 1200), 75, 0).value();
  const std::string odd = encodeJpeg(pattern(1001, 999), 90, 0).value();
  const std::string exif = exifOrientationBlock(6);
  const std::string turned =
      libjpegFile(pattern(1600, 1200), {.quality = 95, .markers = {{JPEG_APP0 + 1, std::vector<std::uint8_t>(exif.begin(), exif.end())}}});
  const struct {
    const std::string* file;
    std::optional<Size> need;
    Size delivered, full;
  } cases[] = {
      {&large, std::nullopt, {1600, 1200}, {1600, 1200}}, {&large, Size{400, 300}, {400, 300}, {1600, 1200}},
      {&large, Size{400, 301}, {600, 450}, {1600, 1200}}, {&large, Size{0, 0}, {200, 150}, {1600, 1200}},
      // 1001 x 999 at 1/8 is 125.125 x 124.875 pixels of picture, rounded
      // up to 126 x 125: too few for a 126 x 125 box, so 2/8 is needed.
      {&odd, Size{1, 1}, {126, 125}, {1001, 999}},        {&odd, Size{125, 124}, {126, 125}, {1001, 999}},
      {&odd, Size{126, 124}, {251, 250}, {1001, 999}},    {&odd, Size{251, 249}, {376, 375}, {1001, 999}},
      // Turned a quarter: the need is in the displayed frame.
      {&turned, Size{300, 401}, {450, 600}, {1200, 1600}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.need ? std::to_string(c.need->width) + "x" + std::to_string(c.need->height) : "no need");
    std::optional<Size> asked;
    DecodeRequest request;
    if (c.need) request.minimumSize = [&asked, need = *c.need](Size full) { return asked = full, need; };
    const Decoded d = decodeWith(decodeJpeg, *c.file, request);
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

TEST(JpegLimits, ScansMemoryAndDeclaredSizesAreBounded) {
  const std::string tenScans = progressiveOf(pattern(64, 64));  // libjpeg's simple progression
  const std::string large = progressiveOf(pattern(1024, 1024));  // keeps about 3 MB of coefficients
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
