// Estimating a load's memory from the picture's header.
#include "imaging/estimate.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

#include "imaging/codec.h"
#include "testsupport/codec_testing.h"
#include "testsupport/temp_tree.h"

namespace pixelmote::imaging {
namespace {

using testing::bytesOf;

// A grey JPEG of the given size, progressive or not, made with libjpeg.
std::string jpeg(int width, int height, bool progressive) {
  testing::JpegRecipe recipe;
  recipe.progressive = progressive;
  recipe.quality = 75;
  return testing::libjpegFile(Raster(Size{width, height}, Rgb{128, 128, 128}), recipe);
}

TEST(EstimateLoadBytes, ProgressiveJpegCountsItsCoefficientsBaselineOnlyRows) {
  const std::string baseline = jpeg(1600, 1200, false);
  const std::string progressive = jpeg(1600, 1200, true);
  const std::uint64_t box = 400 * 300 * 3;
  // Coefficients of 4:2:0: 1.5 blocks of 128 bytes per 64 pixels.
  const std::uint64_t coefficients = (200 * 150 + 2 * 100 * 75) * 128;
  const LoadEstimate p = kJpegCodec.estimateLoad(bytesOf(progressive), 25);
  EXPECT_EQ(p.box, box);
  EXPECT_GE(p.working, coefficients);
  EXPECT_LT(p.working, coefficients + (std::uint64_t{2} << 20));
  const LoadEstimate b = kJpegCodec.estimateLoad(bytesOf(baseline), 25);
  EXPECT_EQ(b.box, box);
  EXPECT_LT(b.working, coefficients / 2);
}

TEST(EstimateLoadBytes, OtherFormatsCountTheirPixels) {
  const Raster picture(Size{300, 200});
  const std::uint64_t pixels = 300 * 200;
  for (const Codec* codec : {&kGifCodec, &kPngCodec, &kBmpCodec, &kPcxCodec}) {
    const std::string file = codec->encode(picture, EncodeSettings{}).value();
    const LoadEstimate e = codec->estimateLoad(bytesOf(file), 100);
    EXPECT_EQ(e.box, pixels * 3) << codec->name;
    EXPECT_GE(e.working, pixels * 4) << codec->name;
    EXPECT_LT(e.working, pixels * 4 + (std::uint64_t{2} << 20)) << codec->name;
  }
}

TEST(EstimateLoadBytes, AFileCountsItsBytesWhichAreReadWhole) {
  testing::TempTree tree;
  const std::string progressive = jpeg(1600, 1200, true);
  const std::string path = tree.fileWith("p.jpg", progressive);
  const LoadEstimate fromHead = kJpegCodec.estimateLoad(bytesOf(progressive), 25);
  const LoadEstimate fromFile = estimateLoadBytes(path, 25);
  EXPECT_EQ(fromFile.working, fromHead.working + progressive.size());
  EXPECT_EQ(fromFile.box, fromHead.box);
  EXPECT_LE(estimateLoadBytes(tree.path("missing.jpg"), 25).total(), std::uint64_t{2} << 20);
}

TEST(EstimateLoadBytes, AFileCountsOnlyTheBytesThatLoadingReads) {
  // A 3 GiB file that is no picture is refused after its head; a picture
  // with a long tail is read only as far as its pixels can reach.
  testing::TempTree tree;
  const std::uint64_t huge = std::uint64_t{3} << 30;
  const std::string junk = tree.fileWith("b.jpg", "not a picture");
  ASSERT_EQ(::truncate(junk.c_str(), static_cast<off_t>(huge)), 0);
  EXPECT_LE(estimateLoadBytes(junk, 25).total(), std::uint64_t{2} << 20);

  const std::string picture = tree.fileWith("tail.jpg", jpeg(64, 48, false));
  ASSERT_EQ(::truncate(picture.c_str(), static_cast<off_t>(huge)), 0);
  const LoadEstimate tailed = estimateLoadBytes(picture, 25);
  EXPECT_GT(tailed.working, kMetadataRoom);
  EXPECT_LT(tailed.working, 2 * kMetadataRoom);
}

TEST(EstimateLoadBytes, UnreadableHeadersGiveASmallFigure) {
  for (const std::string& junk : {std::string(), std::string("hello"), std::string("\xFF\xD8\xFF", 3),
                                  jpeg(64, 64, false).substr(0, 40)}) {
    for (const Codec* codec : allCodecs()) {
      EXPECT_LE(codec->estimateLoad(bytesOf(junk), 25).total(), std::uint64_t{2} << 20) << codec->name;
    }
  }
}

// The start of a three-component 4:2:0 JPEG of `width` x `height`: its
// frame header is all an estimate reads.
std::string frameHeader(unsigned width, unsigned height, bool progressive) {
  const unsigned char bytes[] = {0xFF, 0xD8, 0xFF, static_cast<unsigned char>(progressive ? 0xC2 : 0xC0), 0x00, 17, 8,
                                 static_cast<unsigned char>(height >> 8), static_cast<unsigned char>(height & 0xFF),
                                 static_cast<unsigned char>(width >> 8), static_cast<unsigned char>(width & 0xFF), 3,
                                 1, 0x22, 0, 2, 0x11, 1, 3, 0x11, 1, 0xFF, 0xD9};
  return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

TEST(LoadAheadBudget, OneJobHoldsA24MegapixelProgressivePhotoWithItsFile) {
  const std::uint64_t mb = std::uint64_t{1} << 20;
  const LoadEstimate photo = kJpegCodec.estimateLoad(bytesOf(frameHeader(6000, 4000, true)), 25);
  ASSERT_GT(photo.working, 64 * mb);  // the coefficients are counted
  EXPECT_LE(photo.total() + 8 * mb, loadAheadBudget(1));
}

TEST(LoadAheadBudget, GrowsWithTheJobsByAtMost30MbEachAndStaysBounded) {
  const std::uint64_t mb = std::uint64_t{1} << 20;
  EXPECT_GT(loadAheadBudget(2), loadAheadBudget(1));
  for (unsigned jobs = 2; jobs <= 1000; ++jobs) {
    EXPECT_GE(loadAheadBudget(jobs), loadAheadBudget(jobs - 1)) << jobs;
    EXPECT_LE(loadAheadBudget(jobs), loadAheadBudget(jobs - 1) + 30 * mb) << jobs;
    EXPECT_LE(loadAheadBudget(jobs), 320 * mb) << jobs;
  }
}

TEST(LoadAheadBudget, ProgressivePhotosFrom12MegapixelsStartEarlyBaselineOnesDoNot) {
  const auto working = [](unsigned w, unsigned h, bool progressive) {
    return kJpegCodec.estimateLoad(bytesOf(frameHeader(w, h, progressive)), 25).working;
  };
  EXPECT_GE(working(4000, 3000, true), kSlowLoadWorkingBytes);
  EXPECT_LT(working(3000, 2000, true), kSlowLoadWorkingBytes);
  EXPECT_LT(working(8000, 6000, false), kSlowLoadWorkingBytes);
}

}  // namespace
}  // namespace pixelmote::imaging
