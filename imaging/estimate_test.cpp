// Estimating a load's memory from the picture's header.
#include "imaging/estimate.h"

#include <gtest/gtest.h>
#include <jpeglib.h>

#include <cstdio>
#include <string>
#include <unistd.h>

#include "imaging/codec.h"
#include "testsupport/codec_testing.h"
#include "testsupport/temp_tree.h"

namespace pixelmote::imaging {
namespace {

using testing::bytesOf;

// A JPEG of the given size, progressive or not, made with libjpeg.
std::string jpeg(int width, int height, bool progressive) {
  jpeg_compress_struct c{};
  jpeg_error_mgr err{};
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &out, &size);
  c.image_width = static_cast<JDIMENSION>(width);
  c.image_height = static_cast<JDIMENSION>(height);
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  if (progressive) jpeg_simple_progression(&c);
  jpeg_start_compress(&c, TRUE);
  std::vector<unsigned char> row(static_cast<std::size_t>(width) * 3, 128);
  while (c.next_scanline < c.image_height) {
    JSAMPROW r = row.data();
    jpeg_write_scanlines(&c, &r, 1);
  }
  jpeg_finish_compress(&c);
  std::string bytes(reinterpret_cast<char*>(out), size);
  jpeg_destroy_compress(&c);
  std::free(out);
  return bytes;
}

TEST(EstimateLoadBytes, ProgressiveJpegCountsItsCoefficientsBaselineOnlyRows) {
  const std::string baseline = jpeg(1600, 1200, false);
  const std::string progressive = jpeg(1600, 1200, true);
  const std::uint64_t box = 400 * 300 * 3;
  // Coefficients of 4:2:0: 1.5 blocks of 128 bytes per 64 pixels.
  const std::uint64_t coefficients = (200 * 150 + 2 * 100 * 75) * 128;
  const LoadEstimate p = estimateLoadBytes(bytesOf(progressive), 25);
  EXPECT_EQ(p.box, box);
  EXPECT_GE(p.working, coefficients);
  EXPECT_LT(p.working, coefficients + (std::uint64_t{2} << 20));
  const LoadEstimate b = estimateLoadBytes(bytesOf(baseline), 25);
  EXPECT_EQ(b.box, box);
  EXPECT_LT(b.working, coefficients / 2);
}

TEST(EstimateLoadBytes, OtherFormatsCountTheirPixels) {
  const Raster picture(Size{300, 200});
  const std::uint64_t pixels = 300 * 200;
  for (const auto& file : {encodeGif(picture, 8).value(), encodePng(picture, 8).value(), encodeBmp(picture).value(),
                           encodePcx(picture, 8).value()}) {
    const LoadEstimate e = estimateLoadBytes(bytesOf(file), 100);
    EXPECT_EQ(e.box, pixels * 3);
    EXPECT_GE(e.working, pixels * 4);
    EXPECT_LT(e.working, pixels * 4 + (std::uint64_t{2} << 20));
  }
}

TEST(EstimateLoadBytes, AFileCountsItsBytesWhichAreReadWhole) {
  testing::TempTree tree;
  const std::string progressive = jpeg(1600, 1200, true);
  const std::string path = tree.fileWith("p.jpg", progressive);
  const LoadEstimate fromHead = estimateLoadBytes(bytesOf(progressive), 25);
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
    EXPECT_LE(estimateLoadBytes(bytesOf(junk), 25).total(), std::uint64_t{2} << 20);
  }
}

}  // namespace
}  // namespace pixelmote::imaging
