// The library layer: type by extension, the current picture's handles, and
// the fallbacks and messages of ReadImage and WriteImage.
#include "imaging/imglib.h"

#include <gtest/gtest.h>

#include "imaging/codec.h"
#include "testsupport/codec_testing.h"
#include "testsupport/temp_tree.h"
#include "util/path.h"

namespace pixelmote::imaging {
namespace {

class ImglibTest : public ::testing::Test {
 protected:
  void SetUp() override {
    startImaging();
    setImagingMessageHandler([this](const std::string& m) { messages.push_back(m); });
  }
  void TearDown() override {
    DeleteObject(v.ImgBitmap);
    DeleteObject(v.ImgAux);
    v.ImgBitmap = v.ImgAux = 0;
    setImagingMessageHandler(nullptr);
  }
  std::string bmpFile(const std::string& relative, const Raster& raster) {
    return tree.fileWith(relative, encodeBmp(raster).value());
  }
  ImagingVariables& v = imagingVariables();
  std::string noType;
  testing::TempTree tree;
  std::vector<std::string> messages;
};

TEST_F(ImglibTest, ImageTypeOfLowerCasesAndMapsTheSixTypes) {
  const std::pair<std::string, int> cases[] = {{"JPG", 0}, {"gif", 1}, {"Pcx", 2}, {"BMP", 3}, {"png", 4}, {"TIF", 5},
                                                {"0", -1}, {"jpeg", 42}, {"", 42}, {"jpg ", 42}};  // 42: left as it was
  for (const auto& [text, code] : cases) {
    std::string ext = text;
    int type = 42;
    ImageTypeOf(ext, type);
    EXPECT_EQ(type, code) << text;
    EXPECT_EQ(ext, util::asciiLower(text));
  }
}

TEST_F(ImglibTest, EverySixTypesRoundTripsAndEachReadReleasesThePreviousPictureOnce) {
  const Raster picture = testing::pattern(33, 17);
  const int before = livePictureCount();
  for (const std::string ext : {"bmp", "PNG", "tif", "Pcx", "gif", "JPG"}) {
    SCOPED_TRACE(ext);
    DeleteObject(v.ImgBitmap);
    const int adopted = v.ImgBitmap = adoptPicture(picture);
    v.ImgFile = tree.path("rt." + ext);
    v.ImgQuality = 95;
    ASSERT_TRUE(WriteImage(noType)) << lastImagingError();
    ASSERT_TRUE(ReadImage(noType)) << lastImagingError();
    ASSERT_EQ(pictureOf(v.ImgBitmap)->size, picture.size);
    if (ext != "gif" && ext != "JPG") {
      EXPECT_EQ(*pictureOf(v.ImgBitmap), picture);  // lossless types
    }
    EXPECT_NE(v.ImgBitmap, adopted);
    EXPECT_EQ(pictureOf(adopted), nullptr);
    EXPECT_EQ(livePictureCount(), before + 1);
  }
  v.ImgFile = bmpFile("many.bmp", picture);
  v.ImgReadBits = 1;
  ASSERT_TRUE(ReadImage(noType));
  EXPECT_EQ(*pictureOf(v.ImgBitmap), picture);  // full colour whatever depth is asked for
  EXPECT_TRUE(messages.empty());
}

TEST_F(ImglibTest, FailedReadsKeepThePictureAndOnlyAWriteWithoutATypeShowsAMessage) {
  // BMP bytes named .jpg are read as JPEG: not a picture of that type.
  v.ImgFile = bmpFile("MY.DIR/TEMP.BMP", testing::pattern(5, 3));
  ASSERT_TRUE(ReadImage(noType));
  const int current = v.ImgBitmap;
  for (const std::string name : {"photo.jpg", "", "noext", "x.0"}) {
    v.ImgFile = name == "photo.jpg" ? bmpFile(name, testing::pattern(5, 3)) : name.empty() ? "" : tree.file(name, 10);
    EXPECT_FALSE(ReadImage(noType)) << name;
    EXPECT_LE(v.ImgResult, 0) << name;
    EXPECT_EQ(v.ImgBitmap, current) << name;
  }
  EXPECT_TRUE(messages.empty());  // reads show no message

  noType.clear();  // a read names the type it found
  std::string gif = "GIF";  // the fallback type is appended to a name without one
  v.ImgFile = tree.path("out");
  EXPECT_TRUE(WriteImage(gif));
  EXPECT_EQ(testing::decodeWith(decodeGif, tree.read("out.gif")).raster.size, (Size{5, 3}));
  for (const char* name : {"bare", "zero.0"}) {
    v.ImgFile = tree.path(name);
    EXPECT_FALSE(WriteImage(noType)) << name;
    EXPECT_FALSE(tree.exists(name)) << name;
  }
  EXPECT_EQ(messages, (std::vector<std::string>{kMsgNotSaved, kMsgNotSaved}));
  messages.clear();
  v.ImgFile = tree.path("missing-folder/out.jpg");
  EXPECT_FALSE(WriteImage(noType));
  EXPECT_EQ(v.ImgResult, 0);
  EXPECT_TRUE(messages.empty());
  EXPECT_NE(lastImagingError().find("missing-folder/out.jpg"), std::string::npos) << lastImagingError();
}

}  // namespace
}  // namespace pixelmote::imaging
