// Reading picture files head first: refusals before the rest is read, reads
// bounded by the declared pixels, whole reads where they were whole before.
#include "imaging/picture_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "imaging/codec.h"
#include "imaging/geometry.h"
#include "imaging/reduce.h"
#include "imaging/render.h"
#include "testsupport/codec_testing.h"
#include "testsupport/temp_tree.h"

namespace pixelmote::imaging {
namespace {

using testing::bytesOf;
using testing::TempTree;

// Larger than any file the loader reads whole: a file this size that loads
// was not read whole.
constexpr std::uint64_t kHuge = kMaxPictureFileBytes + (std::uint64_t{1} << 30);

// Writes `content` at `relative` and extends the file with a hole (which
// reads as zeros and takes no disk space) to `size` bytes.
std::string sparseFile(const TempTree& tree, const std::string& relative, const std::string& content,
                       std::uint64_t size) {
  const std::string path = tree.fileWith(relative, content);
  EXPECT_EQ(::truncate(path.c_str(), static_cast<off_t>(size)), 0);
  return path;
}

// Noise: compresses as badly as a picture can.
Raster noise(int w, int h) {
  Raster r(Size{w, h});
  std::uint32_t state = 12345;
  for (std::uint8_t& b : r.rgb) {
    state = state * 1664525u + 1013904223u;
    b = static_cast<std::uint8_t>(state >> 24);
  }
  return r;
}

using testing::JpegRecipe;

std::string jpegOf(const Raster& picture, const JpegRecipe& recipe) { return testing::libjpegFile(picture, recipe); }

void put16be(std::string& s, std::size_t at, unsigned v) {
  s[at] = static_cast<char>(v >> 8);
  s[at + 1] = static_cast<char>(v & 0xFF);
}
void put16le(std::string& s, std::size_t at, unsigned v) {
  s[at] = static_cast<char>(v & 0xFF);
  s[at + 1] = static_cast<char>(v >> 8);
}
void put32(std::string& s, std::size_t at, std::uint32_t v, bool bigEndian) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (bigEndian ? 24 - 8 * i : 8 * i));
}

// A JPEG whose frame header declares `w` x `h`.
std::string jpegDeclaring(unsigned w, unsigned h) {
  std::string file = jpegOf(noise(16, 16), {});
  std::size_t at = 2;
  while (static_cast<std::uint8_t>(file[at + 1]) != 0xC0) {
    at += 2 + (static_cast<std::uint8_t>(file[at + 2]) << 8 | static_cast<std::uint8_t>(file[at + 3]));
  }
  put16be(file, at + 5, h);
  put16be(file, at + 7, w);
  return file;
}

// The box as the loader made it before files were read head first: the
// decoder given every byte of the file.
Raster boxFromWholeBytes(const std::string& path, const std::string& bytes, double percent) {
  DecodeRequest request;
  request.minimumSize = [percent](Size full) { return SizeThumb(percent, full); };
  BoxReducer reducer([percent](Size, Size full) { return SizeThumb(percent, full); });
  const util::Status status = codecForFile(path).decode(bytesOf(bytes), request, reducer);
  EXPECT_TRUE(status) << path << ": " << status.message();
  return reducer.takeResult();
}

TEST(PictureFile, TypeComesFromTheExtension) {
  const struct {
    const char* name;
    util::Status (*decode)(Bytes, const DecodeRequest&, RowSink&);
  } cases[] = {{"a.GIF", decodeGif}, {"a.pcx", decodePcx}, {"a.Bmp", decodeBmp}, {"a.png", decodePng},
               {"a.tif", decodeTiff}, {"a.TIFF", decodeTiff}, {"a.jpg", decodeJpeg}, {"a.jpeg", decodeJpeg},
               {"a.gif.jpg", decodeJpeg}, {"noextension", decodeJpeg}, {"/x.png/a.raw", decodeJpeg}};
  for (const auto& c : cases) EXPECT_EQ(codecForFile(c.name).decode, c.decode) << c.name;
}

TEST(PictureFile, HeadsThatAreNotOfTheTypeOrDeclareTooManyPixelsAreRefusedBeforeTheRestIsRead) {
  // Each file is followed by a hole that makes it larger than any file read
  // whole: the refusal must come from the head alone, with the decoder's
  // own message for those bytes.
  std::string gif = encodeGif(noise(8, 8), 8).value();
  put16le(gif, 6, 30000);
  put16le(gif, 8, 30000);
  std::string png = encodePng(noise(8, 8), 8).value();
  put32(png, 16, 30000, true);
  put32(png, 20, 30000, true);
  std::string bmp = encodeBmp(noise(8, 8)).value();
  put32(bmp, 18, 30000, false);
  put32(bmp, 22, 30000, false);
  std::string pcx = encodePcx(noise(8, 8), 8).value();
  put16le(pcx, 8, 29999);
  put16le(pcx, 10, 29999);
  const std::string text = "this is not a picture\n";
  const struct {
    const char* name;
    std::string head;
    const char* message;
  } cases[] = {
      {"b.jpg", text, "not a JPEG file"},
      {"b.gif", text, "not a GIF file"},
      {"b.png", text, "not a PNG file"},
      {"b.tif", text, "not a TIFF file"},
      {"b.bmp", text, "not a BMP file"},
      {"b.pcx", text, "not a PCX file"},
      {"c.jpg", std::string("\x89PNG\r\n\x1A\n", 8), "not a JPEG file"},
      {"big.jpg", jpegDeclaring(20000, 20000), "picture of 20000 x 20000 pixels is too large"},
      {"big.gif", gif, "picture of 30000 x 30000 pixels is too large"},
      {"big.png", png, "picture of 30000 x 30000 pixels is too large"},
      {"big.bmp", bmp, "picture of 30000 x 30000 pixels is too large"},
      {"big.pcx", pcx, "picture of 30000 x 30000 pixels is too large"},
  };
  TempTree tree;
  for (const auto& c : cases) {
    const std::string path = sparseFile(tree, c.name, c.head, kHuge);
    const auto read = readPicture(path, codecForFile(path));
    ASSERT_FALSE(read) << c.name;
    EXPECT_EQ(read.message(), c.message) << c.name;
    testing::Decoded decoded = testing::decodeWith(codecForFile(path).decode, c.head);
    EXPECT_EQ(decoded.status.message(), c.message) << c.name << ": not the decoder's message";
    const auto box = loadThumbnailBox(path, 25);
    ASSERT_FALSE(box) << c.name;
    EXPECT_EQ(box.message(), c.message) << c.name;
    // Loading ahead reserves no more than the head for it.
    EXPECT_LE(plannedReadBytes(codecForFile(path), bytesOf(c.head), kHuge), kHeadBytes) << c.name;
  }
}

TEST(PictureFile, APictureFollowedByAHugeTailIsReadOnlyAsFarAsItsPixelsCanReach) {
  // Phones append videos after a photo's end. Only the bound is read: the
  // box is the one of the picture alone.
  const Raster picture = noise(300, 200);
  const struct {
    const char* name;
    std::string file;
  } cases[] = {
      {"a.jpg", jpegOf(picture, {})},
      {"p.jpg", jpegOf(picture, {.progressive = true})},
      {"a.gif", encodeGif(picture, 8).value()},
      {"a.png", encodePng(picture, 8).value()},
      {"a.bmp", encodeBmp(picture).value()},
  };
  TempTree tree;
  for (const auto& c : cases) {
    const std::string alone = tree.fileWith(std::string("alone-") + c.name, c.file);
    const std::string tailed = sparseFile(tree, std::string("tailed-") + c.name, c.file, kHuge);
    const auto expected = loadThumbnailBox(alone, 25);
    const auto box = loadThumbnailBox(tailed, 25);
    ASSERT_TRUE(expected) << c.name << ": " << expected.message();
    ASSERT_TRUE(box) << c.name << ": " << box.message();
    EXPECT_EQ(box->box, expected->box) << c.name;
    EXPECT_EQ(expected->bytesRead, c.file.size()) << c.name;
    // The declared pixels, room for metadata and nothing more.
    EXPECT_GT(box->bytesRead, c.file.size()) << c.name;
    EXPECT_LT(box->bytesRead, 2 * kMetadataRoom) << c.name;
    std::string head = c.file;
    head.resize(kHeadBytes);
    EXPECT_EQ(plannedReadBytes(codecForFile(tailed), bytesOf(head), kHuge), box->bytesRead) << c.name;
    EXPECT_EQ(box->source.bytes, static_cast<std::int64_t>(kHuge)) << c.name;
  }
}

TEST(PictureFile, FormsWhoseDataMayLieAnywhereAreReadWhole) {
  const Raster picture = noise(40, 30);
  TempTree tree;
  for (const auto& [name, file] : {std::pair{"a.tif", encodeTiff(picture, 8).value()},
                                   std::pair{"a.pcx", encodePcx(picture, 8).value()}}) {
    const std::uint64_t size = std::uint64_t{3} << 30;
    EXPECT_EQ(plannedReadBytes(codecForFile(name), bytesOf(file), size), size) << name;
    const std::string path = sparseFile(tree, name, file, kHuge);
    const auto read = readPicture(path, codecForFile(path));
    ASSERT_FALSE(read) << name;
    EXPECT_EQ(read.message(), "cannot read " + path + ": file too large");
  }
}

TEST(PictureFile, BoundsHoldTheLeastCompressiblePictures) {
  // Noise at the highest quality, without subsampling, is as large as
  // pictures of these types get: the bound without its metadata room still
  // covers the whole file.
  const Raster picture = noise(256, 192);
  const struct {
    const char* name;
    std::string file;
  } cases[] = {
      {"a.jpg", jpegOf(picture, {.quality = 100, .fullChroma = true})},
      {"p.jpg", jpegOf(picture, {.progressive = true, .quality = 100, .fullChroma = true})},
      {"a.gif", encodeGif(picture, 8).value()},
      {"a.png", encodePng(picture, 8).value()},
      {"a.bmp", encodeBmp(picture).value()},
  };
  for (const auto& c : cases) {
    const auto check = codecForFile(c.name).checkHead(bytesOf(c.file), kHuge, DecodeLimits{});
    ASSERT_TRUE(check) << c.name << ": " << check.message();
    EXPECT_EQ(check->needBytes, 0u) << c.name;
    EXPECT_GE(check->readBound, kMetadataRoom + c.file.size()) << c.name;
  }
}

TEST(PictureFile, ValidPicturesAreReadWholeAndDecodeAsBefore) {
  const Raster picture = testing::pattern(37, 23);
  const struct {
    const char* name;
    std::string file;
  } cases[] = {
      {"a.jpg", encodeJpeg(picture, 90, 0).value()},
      {"p.jpg", jpegOf(picture, {.progressive = true})},
      {"a.gif", encodeGif(picture, 8).value()},
      {"a.png", encodePng(picture, 8).value()},
      {"a.tif", encodeTiff(picture, 8).value()},
      {"a.bmp", encodeBmp(picture).value()},
      {"a.pcx", encodePcx(picture, 8).value()},
  };
  TempTree tree;
  for (const auto& c : cases) {
    const std::string path = tree.fileWith(c.name, c.file);
    const auto read = readPicture(path, codecForFile(path));
    ASSERT_TRUE(read) << c.name << ": " << read.message();
    EXPECT_EQ(std::string(read->data.begin(), read->data.end()), c.file) << c.name;
    EXPECT_EQ(read->identity, fileIdentity(path)) << c.name;
    for (const double percent : {25.0, 100.0}) {
      const auto box = loadThumbnailBox(path, percent);
      ASSERT_TRUE(box) << c.name << ": " << box.message();
      EXPECT_EQ(box->box, boxFromWholeBytes(path, c.file, percent)) << c.name << " " << percent;
    }
  }
}

TEST(PictureFile, AHeaderLongerThanTheHeadIsReadOnWithinItsLimit) {
  // 2.4 MB of metadata before the frame: more than the head, less than the
  // header limit.
  const Raster picture = noise(64, 48);
  const std::string file = jpegOf(picture, {.metadataSegments = 40});
  ASSERT_GT(file.size(), 2 * kHeadBytes);
  TempTree tree;
  const std::string path = sparseFile(tree, "meta.jpg", file, kHuge);
  const auto box = loadThumbnailBox(path, 50);
  ASSERT_TRUE(box) << box.message();
  EXPECT_EQ(box->box, boxFromWholeBytes("meta.jpg", file, 50));
  EXPECT_LT(box->bytesRead, std::uint64_t{64} << 20);
  const auto check = checkJpegHead(bytesOf(file).first(kHeadBytes), kHuge, DecodeLimits{});
  ASSERT_TRUE(check);
  EXPECT_GT(check->needBytes, kHeadBytes);

  DecodeLimits limits;
  limits.maxHeaderBytes = std::int64_t{1} << 20;
  const auto refused = readPicture(path, codecForFile(path), limits);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.message(), "no picture data in the first 1 MB");
  // A file that ends within its header is the decoder's to report.
  const std::string cut = tree.fileWith("cut.jpg", file.substr(0, 700000));
  const auto early = loadThumbnailBox(cut, 50);
  ASSERT_FALSE(early);
  EXPECT_EQ(early.message(), "data ends early");
}

}  // namespace
}  // namespace pixelmote::imaging
