// The library layer: type by extension, the current picture's handles, and
// the fallbacks and messages of ReadImage and WriteImage.
#include "imaging/imglib.h"

#include <gtest/gtest.h>

#include "imaging/codec.h"
#include "testsupport/temp_tree.h"
#include "util/file_bytes.h"
#include "util/path.h"

namespace pixelmote::imaging {
namespace {

using testing::TempTree;

// A picture with many colours, so any loss of colour depth would show.
Raster colourful(Size size) {
  Raster r(size);
  for (int y = 0; y < size.height; ++y) {
    for (int x = 0; x < size.width; ++x) {
      std::uint8_t* p = r.row(y) + x * 3;
      p[0] = static_cast<std::uint8_t>(x * 7 + y);
      p[1] = static_cast<std::uint8_t>(y * 5 + x * 3);
      p[2] = static_cast<std::uint8_t>(x * y);
    }
  }
  return r;
}

class ImglibTest : public ::testing::Test {
 protected:
  void SetUp() override {
    startImaging();
    setImagingMessageHandler([this](const std::string& m) { messages.push_back(m); });
  }
  void TearDown() override {
    ImagingVariables& v = imagingVariables();
    DeleteObject(v.ImgBitmap);
    DeleteObject(v.ImgAux);
    v.ImgBitmap = 0;
    v.ImgAux = 0;
    setImagingMessageHandler(nullptr);
  }
  // Writes `raster` as a BMP file named `relative` and returns its path.
  std::string bmpFile(const std::string& relative, const Raster& raster) {
    auto bytes = encodeBmp(raster);
    EXPECT_TRUE(bytes) << bytes.message();
    return tree.fileWith(relative, bytes.value());
  }
  // Makes `raster` the current picture by reading it from a BMP file.
  bool readAsCurrent(const Raster& raster) {
    imagingVariables().ImgFile = bmpFile("current.bmp", raster);
    std::string noType;
    return ReadImage(noType);
  }

  TempTree tree;
  std::vector<std::string> messages;
};

TEST_F(ImglibTest, ImageTypeOfLowerCasesAndMapsTheSixTypes) {
  const std::pair<std::string, int> cases[] = {{"JPG", 0}, {"gif", 1}, {"Pcx", 2}, {"BMP", 3},
                                                {"png", 4}, {"TIF", 5}, {"0", -1}};
  for (const auto& [text, code] : cases) {
    std::string ext = text;
    int type = 99;
    ImageTypeOf(ext, type);
    EXPECT_EQ(type, code) << text;
    EXPECT_EQ(ext, util::asciiLower(text));
  }
  for (const char* other : {"jpeg", "tiff", "", "jpg "}) {
    std::string ext = other;
    int type = 42;
    ImageTypeOf(ext, type);
    EXPECT_EQ(type, 42) << other;  // not in the table: left as it was
  }
}

TEST_F(ImglibTest, ReadReleasesThePreviousPictureExactlyOnce) {
  ImagingVariables& v = imagingVariables();
  const int before = livePictureCount();
  v.ImgFile = bmpFile("a.bmp", colourful({20, 10}));
  std::string noType;
  ASSERT_TRUE(ReadImage(noType));
  const int first = v.ImgBitmap;
  EXPECT_NE(first, 0);
  EXPECT_EQ(livePictureCount(), before + 1);
  ASSERT_TRUE(ReadImage(noType));  // the same file again
  EXPECT_NE(v.ImgBitmap, first);
  EXPECT_EQ(pictureOf(first), nullptr);
  EXPECT_EQ(livePictureCount(), before + 1);
}

TEST_F(ImglibTest, ReadKeepsFullColourWhateverTheRequestedDepth) {
  ImagingVariables& v = imagingVariables();
  const Raster picture = colourful({64, 48});
  v.ImgFile = bmpFile("many.bmp", picture);
  for (int bits : {8, 0, 1, 4, 24}) {
    v.ImgReadBits = bits;
    std::string noType;
    ASSERT_TRUE(ReadImage(noType)) << bits;
    EXPECT_EQ(*pictureOf(v.ImgBitmap), picture) << bits;
  }
}

TEST_F(ImglibTest, TypeComesFromTheFilesOwnNameOnly) {
  ImagingVariables& v = imagingVariables();
  // An upper-case extension in a folder whose name holds a point.
  v.ImgFile = bmpFile("MY.DIR/TEMP.BMP", colourful({5, 3}));
  std::string noType;
  EXPECT_TRUE(ReadImage(noType));
  // BMP bytes named .jpg are read as JPEG: not a picture of that type.
  const int current = v.ImgBitmap;
  v.ImgFile = bmpFile("photo.jpg", colourful({5, 3}));
  EXPECT_FALSE(ReadImage(noType));
  EXPECT_LE(v.ImgResult, 0);
  EXPECT_EQ(v.ImgBitmap, current);  // the current picture stays
}

TEST_F(ImglibTest, ReadRefusesNamesWithoutUsableExtension) {
  ASSERT_TRUE(readAsCurrent(colourful({4, 4})));
  ImagingVariables& v = imagingVariables();
  const int current = v.ImgBitmap;
  std::string noType;
  for (const std::string name : {"", "noext", "dot.", "x.0"}) {
    v.ImgFile = name.empty() ? "" : tree.file(name, 10);
    EXPECT_FALSE(ReadImage(noType)) << name;
    EXPECT_EQ(v.ImgBitmap, current) << name;
  }
  EXPECT_TRUE(messages.empty());  // reads show no message
}

TEST_F(ImglibTest, WriteChoosesTheTypeByExtensionOrAppendsTheFallback) {
  const Raster picture = colourful({9, 7});
  ASSERT_TRUE(readAsCurrent(picture));

  ImagingVariables& v = imagingVariables();
  v.ImgFile = tree.path("out");
  std::string gif = "GIF";
  EXPECT_TRUE(WriteImage(gif));
  EXPECT_EQ(v.ImgFile, tree.path("out.gif"));
  auto bytes = util::readFileBytes(tree.path("out.gif"));
  ASSERT_TRUE(bytes);
  EXPECT_EQ(std::string(bytes->begin(), bytes->begin() + 3), "GIF");

  v.ImgFile = tree.path("copy.PNG");
  std::string noType;
  EXPECT_TRUE(WriteImage(noType));
  RasterSink sink;
  ASSERT_TRUE(decodePng(Bytes(util::readFileBytes(tree.path("copy.PNG")).value()), {}, sink));
  EXPECT_EQ(sink.raster, picture);
  EXPECT_TRUE(messages.empty());
}

TEST_F(ImglibTest, WriteWithoutAValidTypeShowsTheMessage) {
  ASSERT_TRUE(readAsCurrent(colourful({3, 3})));
  ImagingVariables& v = imagingVariables();
  std::string noType;
  v.ImgFile = tree.path("noext");
  EXPECT_FALSE(WriteImage(noType));
  v.ImgFile = tree.path("zero.0");
  EXPECT_FALSE(WriteImage(noType));
  EXPECT_EQ(messages, (std::vector<std::string>{kMsgNotSaved, kMsgNotSaved}));
  EXPECT_FALSE(tree.exists("noext"));
  EXPECT_FALSE(tree.exists("zero.0"));
}

TEST_F(ImglibTest, AFailedWriteReturnsFalseWithoutAMessage) {
  ASSERT_TRUE(readAsCurrent(colourful({3, 3})));
  ImagingVariables& v = imagingVariables();
  std::string noType;
  v.ImgFile = tree.path("missing-folder/out.jpg");
  EXPECT_FALSE(WriteImage(noType));
  EXPECT_EQ(v.ImgResult, 0);
  EXPECT_TRUE(messages.empty());
  EXPECT_NE(lastImagingError().find("missing-folder/out.jpg"), std::string::npos) << lastImagingError();
}

TEST_F(ImglibTest, EverySixTypesRoundTripsThroughTheVariables) {
  ImagingVariables& v = imagingVariables();
  const Raster picture = colourful({33, 17});
  std::string noType;
  for (const char* ext : {"bmp", "png", "tif", "pcx", "gif", "jpg"}) {
    DeleteObject(v.ImgBitmap);
    v.ImgBitmap = adoptPicture(picture);
    v.ImgFile = tree.path(std::string("rt.") + ext);
    v.ImgQuality = 95;
    ASSERT_TRUE(WriteImage(noType)) << ext << ": " << lastImagingError();
    ASSERT_TRUE(ReadImage(noType)) << ext << ": " << lastImagingError();
    const Raster& back = *pictureOf(v.ImgBitmap);
    ASSERT_EQ(back.size, picture.size) << ext;
    const std::string type = ext;
    if (type != "gif" && type != "jpg") {
      EXPECT_EQ(back, picture) << ext;  // lossless types
    }
  }
}

}  // namespace
}  // namespace pixelmote::imaging
