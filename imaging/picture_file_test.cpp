// Reading picture files head first (refusals before the rest is read, reads
// bounded by the declared pixels) and the memory a load is estimated at.
#include "imaging/picture_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "imaging/codec.h"
#include "imaging/estimate.h"
#include "imaging/geometry.h"
#include "imaging/reduce.h"
#include "imaging/render.h"
#include "testsupport/codec_testing.h"
#include "testsupport/temp_tree.h"

namespace pixelmote::imaging {
namespace {

using testing::bytesOf;
using testing::TempTree;

// Larger than any file the loader reads whole.
constexpr std::uint64_t kHuge = kMaxPictureFileBytes + (std::uint64_t{1} << 30);
constexpr std::uint64_t kMb = std::uint64_t{1} << 20;

// `content` at `relative`, extended by a hole (zeros, no disk space) to `size`.
std::string sparseFile(const TempTree& tree, const std::string& relative, const std::string& content,
                       std::uint64_t size) {
  const std::string path = tree.fileWith(relative, content);
  EXPECT_EQ(::truncate(path.c_str(), static_cast<off_t>(size)), 0);
  return path;
}

// `file` with the `bytes`-byte number at `at` set to `v`.
std::string patched(std::string file, std::size_t at, int bytes, std::uint32_t v, bool bigEndian) {
  std::string number;
  for (int i = 0; i < bytes; ++i) number += static_cast<char>(v >> (bigEndian ? 8 * (bytes - 1 - i) : 8 * i));
  return file.replace(at, number.size(), number);
}

// The box as the decoder makes it when given every byte of the file.
Raster boxFromWholeBytes(const std::string& path, const std::string& bytes, double percent) {
  DecodeRequest request;
  request.minimumSize = [percent](Size full) { return SizeThumb(percent, full); };
  BoxReducer reducer([percent](Size, Size full) { return SizeThumb(percent, full); });
  const util::Status status = codecForFile(path).decode(bytesOf(bytes), request, reducer);
  EXPECT_TRUE(status) << path << ": " << status.message();
  return reducer.takeResult();
}

TEST(PictureFile, HeadsNotOfTheTypeOrDeclaringTooManyPixelsAreRefusedBeforeTheRestIsRead) {
  // Each head is followed by a hole larger than any file read whole: the
  // refusal comes from the head alone, in the decoder's own words.
  const std::string text = "this is not a picture\n";
  const std::string big = "picture of 30000 x 30000 pixels is too large";
  const struct {
    const char* name;
    std::string head, message;
  } cases[] = {
      {"b.jpg", text, "not a JPEG file"}, {"b.gif", text, "not a GIF file"}, {"b.png", text, "not a PNG file"},
      {"b.tif", text, "not a TIFF file"}, {"b.bmp", text, "not a BMP file"}, {"b.pcx", text, "not a PCX file"},
      {"c.jpg", std::string("\x89PNG\r\n\x1A\n", 8), "not a JPEG file"},
      {"big.jpg", testing::referenceFile("jpeg-bad-huge-baseline.jpg"), "picture of 65500 x 65500 pixels is too large"},
      {"big.gif", patched(patched(encodeGif(testing::noise({8, 8}), 8).value(), 6, 2, 30000, false), 8, 2, 30000, false), big},
      {"big.png", patched(patched(encodePng(testing::noise({8, 8}), 8).value(), 16, 4, 30000, true), 20, 4, 30000, true), big},
      {"big.bmp", patched(patched(encodeBmp(testing::noise({8, 8})).value(), 18, 4, 30000, false), 22, 4, 30000, false), big},
      {"big.pcx", patched(patched(encodePcx(testing::noise({8, 8}), 8).value(), 8, 2, 29999, false), 10, 2, 29999, false), big},
  };
  TempTree tree;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = sparseFile(tree, c.name, c.head, kHuge);
    EXPECT_EQ(readPicture(path, codecForFile(path)).message(), c.message);
    EXPECT_EQ(loadThumbnailBox(path, 25).message(), c.message);
    EXPECT_LE(plannedReadBytes(codecForFile(path), bytesOf(c.head), kHuge), kHeadBytes);
    if (c.head == text) {
      EXPECT_LE(estimateLoadBytes(path, 25).total(), 2 * kMb);  // fails early, reads no more
    }
  }
}

TEST(PictureFile, PicturesReadWholeDecodeAsTheirBytesAndAHugeTailIsReadOnlyAsFarAsThePixelsReach) {
  // Noise at the highest quality without subsampling is as large as a
  // picture of its type gets: the bound without its metadata room still
  // covers the file. Phones append videos after a photo's end: only the
  // bound is read, and the box is that of the picture alone. TIFF and PCX
  // data may lie anywhere: those are read whole, or refused when too large.
  // The BMP and PNG files are larger than the head.
  const Raster picture = testing::noise({320, 288});
  const struct {
    const char* name;
    std::string file;
    bool readWhole;
  } cases[] = {
      {"a.jpg", testing::libjpegFile(picture, {.quality = 100, .fullChroma = true}), false},
      {"p.jpg", testing::libjpegFile(picture, {.progressive = true, .quality = 100, .fullChroma = true}), false},
      {"a.gif", encodeGif(picture, 8).value(), false},
      {"a.png", encodePng(picture, 8).value(), false},
      {"a.bmp", encodeBmp(picture).value(), false},
      {"a.tif", encodeTiff(picture, 8).value(), true},
      {"a.pcx", encodePcx(picture, 8).value(), true},
  };
  TempTree tree;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string alone = tree.fileWith(std::string("alone-") + c.name, c.file);
    const auto read = readPicture(alone, codecForFile(alone));
    ASSERT_TRUE(read) << read.message();
    EXPECT_EQ(std::string(read->data.begin(), read->data.end()), c.file);
    EXPECT_EQ(read->identity, fileIdentity(alone));
    for (const double percent : {25.0, 100.0}) {
      const auto box = loadThumbnailBox(alone, percent);
      ASSERT_TRUE(box) << box.message();
      EXPECT_EQ(box->box, boxFromWholeBytes(alone, c.file, percent)) << percent;
      EXPECT_EQ(box->bytesRead, c.file.size());
    }
    const std::string tailed = sparseFile(tree, std::string("tailed-") + c.name, c.file, kHuge);
    const std::string head = c.file.substr(0, kHeadBytes);
    if (c.readWhole) {
      EXPECT_EQ(plannedReadBytes(codecForFile(c.name), bytesOf(c.file), std::uint64_t{3} << 30), std::uint64_t{3} << 30);
      const auto refused = readPicture(tailed, codecForFile(tailed));
      ASSERT_FALSE(refused);
      EXPECT_EQ(refused.message(), "cannot read " + tailed + ": file too large");
      continue;
    }
    const auto check = codecForFile(c.name).checkHead(bytesOf(c.file), kHuge, DecodeLimits{});
    ASSERT_TRUE(check) << check.message();
    EXPECT_EQ(check->needBytes, 0u);
    EXPECT_GE(check->readBound, kMetadataRoom + c.file.size());
    const auto box = loadThumbnailBox(tailed, 25);
    ASSERT_TRUE(box) << box.message();
    EXPECT_EQ(box->box, boxFromWholeBytes(alone, c.file, 25));
    EXPECT_GT(box->bytesRead, c.file.size());
    EXPECT_LT(box->bytesRead, 2 * kMetadataRoom);
    EXPECT_EQ(plannedReadBytes(codecForFile(tailed), bytesOf(head), kHuge), box->bytesRead);
    EXPECT_EQ(box->source.bytes, static_cast<std::int64_t>(kHuge));
    // The estimate counts the bytes loading reads besides the decoder's own.
    const LoadEstimate fromHead = codecForFile(c.name).estimateLoad(bytesOf(head), 25);
    EXPECT_EQ(estimateLoadBytes(tailed, 25).working, fromHead.working + box->bytesRead);
    EXPECT_EQ(estimateLoadBytes(alone, 25).working, fromHead.working + c.file.size());
  }
  EXPECT_LE(estimateLoadBytes(tree.path("missing.jpg"), 25).total(), 2 * kMb);
}

// The start of a three-component JPEG whose luma and chroma sampling
// factors are `luma` and `chroma`, `fill` bytes 0xFF before its frame
// marker: its frame header is all an estimate reads.
std::string frameHeader(unsigned width, unsigned height, bool progressive, int fill = 0, std::uint8_t luma = 0x22,
                        std::uint8_t chroma = 0x11) {
  const unsigned char bytes[] = {0xFF, static_cast<unsigned char>(progressive ? 0xC2 : 0xC0), 0x00, 17, 8,
                                 static_cast<unsigned char>(height >> 8), static_cast<unsigned char>(height & 0xFF),
                                 static_cast<unsigned char>(width >> 8), static_cast<unsigned char>(width & 0xFF), 3,
                                 1, luma, 0, 2, chroma, 1, 3, chroma, 1, 0xFF, 0xD9};
  return "\xFF\xD8" + std::string(static_cast<std::size_t>(fill), '\xFF') + std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

TEST(EstimateLoadBytes, DecodersCountTheirBoxAndWhatTheyHoldWhileDecoding) {
  // Progressive JPEG holds the coefficients libjpeg keeps, 128 bytes a block
  // of each component, padded to whole units of its sampling: 4:2:0 keeps
  // 200 x 150 luma blocks and 2 x 100 x 75 chroma ones, luma 1 x 1 with
  // chroma 2 x 2 keeps 100 x 75 and 2 x 200 x 150. Baseline holds only rows;
  // the other forms 4 bytes a pixel.
  const Raster grey({1600, 1200}, Rgb{128, 128, 128});
  for (const bool finer : {false, true}) {
    const std::uint64_t coefficients = (finer ? 7500 + 2 * 30000 : 30000 + 2 * 7500) * 128;
    const std::string file = testing::libjpegFile(grey, {.progressive = true, .quality = 75, .finerChroma = finer});
    const LoadEstimate p = kJpegCodec.estimateLoad(bytesOf(file), 25);
    const LoadEstimate b = kJpegCodec.estimateLoad(bytesOf(testing::libjpegFile(grey, {.finerChroma = finer})), 25);
    EXPECT_EQ(p.box, 400u * 300 * 3);
    EXPECT_EQ(b.box, 400u * 300 * 3);
    EXPECT_GE(p.working, coefficients) << finer;
    EXPECT_LT(p.working, coefficients + 2 * kMb) << finer;
    EXPECT_LT(b.working, 2 * kMb) << finer;
  }
  for (const Codec* codec : {&kGifCodec, &kPngCodec, &kBmpCodec, &kPcxCodec}) {
    const LoadEstimate e = codec->estimateLoad(bytesOf(codec->encode(Raster({300, 200}), {}).value()), 100);
    EXPECT_EQ(e.box, 300u * 200 * 3) << codec->name;
    EXPECT_GE(e.working, 300u * 200 * 4) << codec->name;
    EXPECT_LT(e.working, 300u * 200 * 4 + 2 * kMb) << codec->name;
  }
  for (const std::string& junk : {std::string(), std::string("hello"), std::string("\xFF\xD8\xFF", 3),
                                  frameHeader(1600, 1200, true).substr(0, 12)}) {
    for (const Codec* codec : allCodecs()) {
      EXPECT_LE(codec->estimateLoad(bytesOf(junk), 25).total(), 2 * kMb) << codec->name;
    }
  }
  // Progressive photos from 12 megapixels are slow loads, baseline ones
  // never; fill bytes before a marker change nothing.
  const auto working = [](unsigned w, unsigned h, bool progressive, int fill = 0) {
    return kJpegCodec.estimateLoad(bytesOf(frameHeader(w, h, progressive, fill)), 25).working;
  };
  EXPECT_GE(working(4000, 3000, true), kSlowLoadWorkingBytes);
  EXPECT_LT(working(3000, 2000, true), kSlowLoadWorkingBytes);
  EXPECT_LT(working(8000, 6000, false), kSlowLoadWorkingBytes);
  EXPECT_EQ(working(4000, 3000, true, 3), working(4000, 3000, true));
  // Sampling factors of 0 count as 1 x 1.
  const auto sampled = [](std::uint8_t luma, std::uint8_t chroma) {
    return kJpegCodec.estimateLoad(bytesOf(frameHeader(4000, 3000, true, 0, luma, chroma)), 25).working;
  };
  EXPECT_EQ(sampled(0x00, 0x00), sampled(0x11, 0x11));
  // Decoding goes by the name: a file named .jpg whose head is no JPEG costs
  // little, whatever else it declares.
  TempTree tree;
  const std::string png = encodePng(Raster(Size{1000, 800}), 8).value();
  EXPECT_GE(estimateLoadBytes(tree.fileWith("a.png", png), 100).working, 1000u * 800u * 4u);
  EXPECT_LE(estimateLoadBytes(tree.fileWith("a.jpg", png), 100).total(), 2 * kMb);
  for (const std::string signature : {"PK", "P\xD8", "\xFFK"}) {
    const std::string notJpeg = signature + frameHeader(4000, 3000, true).substr(2);
    EXPECT_LE(estimateLoadBytes(tree.fileWith("zip.jpg", notJpeg), 25).total(), 2 * kMb) << signature;
  }
}

TEST(LoadAheadBudget, HoldsA24MegapixelProgressivePhotoAndGrowsByAtMost30MbAJobUpTo320Mb) {
  const LoadEstimate photo = kJpegCodec.estimateLoad(bytesOf(frameHeader(6000, 4000, true)), 25);
  ASSERT_GT(photo.working, 64 * kMb);
  EXPECT_LE(photo.total() + 8 * kMb, loadAheadBudget(1));
  EXPECT_GT(loadAheadBudget(2), loadAheadBudget(1));
  for (unsigned jobs = 2; jobs <= 1000; ++jobs) {
    const std::uint64_t budget = loadAheadBudget(jobs), before = loadAheadBudget(jobs - 1);
    EXPECT_TRUE(budget >= before && budget <= before + 30 * kMb && budget <= 320 * kMb) << jobs;
  }
}

}  // namespace
}  // namespace pixelmote::imaging
