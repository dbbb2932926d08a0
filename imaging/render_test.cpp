// Rendering one picture into its thumbnail: progress, Stop, names, failures.
#include "imaging/render.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <functional>
#include <gtest/gtest.h>
#include <unistd.h>

#include "imaging/codec.h"
#include "imaging/imglib.h"
#include "imaging/pipeline.h"
#include "testsupport/temp_tree.h"
#include "util/file_bytes.h"
#include "util/program_folder.h"

namespace pixelmote::imaging {
namespace {

using testing::TempTree;

class Host : public RenderHost {
 public:
  void Per(double iPer, int index) override {
    calls.push_back({iPer, index});
    if (stopWhen && stopWhen(iPer)) stop = true;
  }
  void processEvents() override { ++events; }
  bool stopRequested() const override { return stop; }

  std::vector<std::pair<double, int>> calls;
  std::function<bool(double)> stopWhen;
  bool stop = false;
  int events = 0;
};

// Rows of distinct greys: row y is grey (y * 2).
Raster rows(Size size) {
  Raster r(size);
  for (int y = 0; y < size.height; ++y) {
    for (int x = 0; x < size.width; ++x) {
      std::uint8_t* p = r.row(y) + x * 3;
      p[0] = p[1] = p[2] = static_cast<std::uint8_t>(y * 2);
    }
  }
  return r;
}

Raster decodeFile(const std::string& path) {
  auto bytes = util::readFileBytes(path);
  EXPECT_TRUE(bytes) << bytes.message();
  RasterSink sink;
  const auto status = decodeBmp(Bytes(bytes.value()), {}, sink);
  EXPECT_TRUE(status) << status.message();
  return sink.raster;
}

// Temporary bitmaps of this process left in the program's writable folder.
int leftoverBitmaps() {
  const auto folder = util::writableProgramFolder();
  if (!folder) return -1;
  const std::string mine = "temp" + std::to_string(::getpid()) + "-";
  int count = 0;
  if (DIR* dir = ::opendir(folder->c_str())) {
    while (const dirent* e = ::readdir(dir)) {
      if (std::string(e->d_name).rfind(mine, 0) == 0) ++count;
    }
    ::closedir(dir);
  }
  return count;
}

class RenderTest : public ::testing::Test {
 protected:
  void SetUp() override { startImaging(); }
  std::string picture(const std::string& name, const Raster& raster) {
    return tree.fileWith(name, encodeBmp(raster).value());
  }
  RenderSettings settings(double size, const std::string& ext = "bmp") {
    RenderSettings s;
    s.sizePercent = size;
    s.thumbExt = ext;
    return s;
  }
  TempTree tree;
  Host host;
};

TEST_F(RenderTest, ThumbnailNameUsesTheTextBeforeTheFirstPoint) {
  EXPECT_EQ(thumbnailPathFor("/pics/HOLIDAY.JPG", "t_", "gif"), "/pics/t_HOLIDAY.gif");
  EXPECT_EQ(thumbnailPathFor("/pics/MY.TRIP.JPG", "t_", "gif"), "/pics/t_MY.gif");
  EXPECT_EQ(thumbnailPathFor("/a.b/c.d/x.jpg", "th", "jpg"), "/a.b/c.d/thx.jpg");
  EXPECT_EQ(thumbnailPathFor("/p/.hidden.jpg", "t_", "jpg"), "/p/t_.jpg");
  // The name alone, as the engine looks thumbnails up in a folder's listing.
  EXPECT_EQ(thumbnailNameFor("MY.TRIP.JPG", "t_", "gif"), "t_MY.gif");
  EXPECT_EQ(thumbnailNameFor(".hidden.jpg", "th", "jpg"), "th.jpg");
}

TEST_F(RenderTest, FullSizeThumbnailIsTheSamePicture) {
  const Raster source = rows({40, 30});
  const RenderOutcome out = LoadSource(picture("same.bmp", source), settings(100), host);
  ASSERT_EQ(out.result, RenderResult::Written) << out.message;
  EXPECT_EQ(out.thumbnailPath, tree.path("t_same.bmp"));
  EXPECT_EQ(decodeFile(out.thumbnailPath), source);
  EXPECT_EQ(leftoverBitmaps(), 0);
}

TEST_F(RenderTest, ProgressFollowsTheRowsInStepsOfTenPercent) {
  const RenderOutcome out = LoadSource(picture("p.bmp", rows({10, 120})), settings(100), host);
  ASSERT_EQ(out.result, RenderResult::Written);
  // One call at 0 before the copy, then rows 0 and 1, 12 and 13, ... 120.
  std::vector<double> expected = {0};
  for (int decade = 0; decade < 10; ++decade) {
    expected.push_back(decade * 12 / 120.0 * 100);
    expected.push_back((decade * 12 + 1) / 120.0 * 100);
  }
  expected.push_back(100);
  ASSERT_EQ(host.calls.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_DOUBLE_EQ(host.calls[i].first, expected[i]) << i;
    EXPECT_EQ(host.calls[i].second, 2);
  }
  EXPECT_GE(host.events, 3);
}

TEST_F(RenderTest, StopDuringTheCopyWritesThePartlyCopiedThumbnail) {
  const Raster source = rows({8, 50});
  host.stopWhen = [](double percent) { return percent >= 20; };  // row 10
  const RenderOutcome out = LoadSource(picture("s.bmp", source), settings(100), host);
  ASSERT_EQ(out.result, RenderResult::Written);
  const Raster thumb = decodeFile(out.thumbnailPath);
  for (int y = 0; y < 50; ++y) {
    const Rgb expected = y <= 10 ? source.at(3, y) : kSurfaceBackground;
    EXPECT_EQ(thumb.at(3, y), expected) << y;
  }
  EXPECT_EQ(host.calls.back().first, 20);  // bar 2 keeps its last value
}

TEST_F(RenderTest, StopBeforeTheCopyStillCopiesTheFirstPixel) {
  const Raster source = rows({4, 4});
  host.stop = true;
  const RenderOutcome out = LoadSource(picture("f.bmp", source), settings(100), host);
  ASSERT_EQ(out.result, RenderResult::Written);
  const Raster thumb = decodeFile(out.thumbnailPath);
  EXPECT_EQ(thumb.at(0, 0), source.at(0, 0));
  EXPECT_EQ(thumb.at(1, 0), kSurfaceBackground);
  EXPECT_EQ(thumb.at(0, 1), kSurfaceBackground);
}

TEST_F(RenderTest, BoxIsTheSizePercentOfThePicture) {
  const RenderOutcome out = LoadSource(picture("big.bmp", rows({640, 480})), settings(25), host);
  ASSERT_EQ(out.result, RenderResult::Written);
  EXPECT_EQ(decodeFile(out.thumbnailPath).size, (Size{160, 120}));
  const RenderOutcome zero = LoadSource(picture("zero.bmp", rows({640, 480})), settings(0), host);
  EXPECT_EQ(decodeFile(zero.thumbnailPath).size, (Size{1, 1}));
}

TEST_F(RenderTest, ThumbnailTypesAreWrittenAsTheirExtensionSays) {
  const std::string src = picture("x.bmp", rows({30, 20}));
  for (const char* ext : {"jpg", "gif"}) {
    const RenderOutcome out = LoadSource(src, settings(50, ext), host);
    ASSERT_EQ(out.result, RenderResult::Written) << ext << " " << out.message;
    auto bytes = util::readFileBytes(out.thumbnailPath);
    ASSERT_TRUE(bytes);
    RasterSink sink;
    const auto status = std::string(ext) == "jpg" ? decodeJpeg(Bytes(bytes.value()), {}, sink)
                                                  : decodeGif(Bytes(bytes.value()), {}, sink);
    EXPECT_TRUE(status) << ext;
    EXPECT_EQ(sink.raster.size, (Size{15, 10})) << ext;
  }
}

TEST_F(RenderTest, UnreadablePictureWritesNothing) {
  const std::string bad = tree.fileWith("bad.jpg", "this is not a picture");
  const RenderOutcome out = LoadSource(bad, settings(25, "jpg"), host);
  EXPECT_EQ(out.result, RenderResult::Unreadable);
  EXPECT_FALSE(tree.exists("t_bad.jpg"));
  EXPECT_TRUE(host.calls.empty());
  const RenderOutcome missing = LoadSource(tree.path("gone.jpg"), settings(25, "jpg"), host);
  EXPECT_EQ(missing.result, RenderResult::Unreadable);
  EXPECT_EQ(leftoverBitmaps(), 0);
}

// Sets the modification time of `path` to `seconds` after the epoch.
void setModified(const std::string& path, long seconds) {
  const timespec times[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

std::string stampOf(const std::string& thumbnail) {
  const auto bytes = util::readFileBytes(thumbnail);
  return bytes ? leadingComment(Bytes(bytes.value())) : std::string();
}

TEST_F(RenderTest, StampDescribesThePictureFileThatWasDecoded) {
  const RenderSettings s = settings(50, "jpg");
  const std::string path = picture("r.bmp", rows({40, 30}));
  setModified(path, 1600000000);
  const std::string original = thumbnailStamp(path, s);
  ASSERT_FALSE(original.empty());

  // An unchanged picture: the stamp is the one the file gives, and the
  // thumbnail is up to date.
  const RenderOutcome plain = LoadSource(path, s, host);
  ASSERT_EQ(plain.result, RenderResult::Written) << plain.message;
  EXPECT_EQ(stampOf(plain.thumbnailPath), original);
  EXPECT_TRUE(thumbnailUpToDate(path, s));
  testing::removeTree(plain.thumbnailPath);

  // Loaded ahead, then replaced by another picture of another size and time
  // before the run renders it: the thumbnail shows the old picture and must
  // say so, so that the next update renders the new one.
  ThumbnailPipeline prefetcher(1, 4);
  prefetcher.schedule({path}, s);
  prefetcher.waitIdle();
  ASSERT_EQ(prefetcher.started(), 1u);
  const std::string replacement = tree.fileWith("new.bmp", encodeBmp(rows({80, 60})).value());
  ASSERT_EQ(::rename(replacement.c_str(), path.c_str()), 0);
  setModified(path, 1700000000);
  ASSERT_NE(thumbnailStamp(path, s), original);

  const RenderOutcome ahead = LoadSource(path, s, host, &prefetcher);
  ASSERT_EQ(ahead.result, RenderResult::Written) << ahead.message;
  RasterSink thumb;
  const auto thumbBytes = util::readFileBytes(ahead.thumbnailPath);
  ASSERT_TRUE(thumbBytes && decodeJpeg(Bytes(thumbBytes.value()), {}, thumb));
  EXPECT_EQ(thumb.raster.size, (Size{20, 15}));  // the old picture's box
  EXPECT_EQ(stampOf(ahead.thumbnailPath), original);
  EXPECT_FALSE(thumbnailUpToDate(path, s));

  // Rendered again now, it shows and records the new picture.
  const RenderOutcome again = LoadSource(path, s, host);
  ASSERT_EQ(again.result, RenderResult::Written);
  EXPECT_TRUE(thumbnailUpToDate(path, s));
}

TEST_F(RenderTest, ThumbnailThatCannotBeWrittenIsReported) {
  const std::string src = picture("w.bmp", rows({10, 10}));
  tree.file("t_w.jpg/blocker", 1);  // a folder stands where the thumbnail goes
  const RenderOutcome out = LoadSource(src, settings(50, "jpg"), host);
  EXPECT_EQ(out.result, RenderResult::CannotWrite);
  EXPECT_EQ(out.failedPath, tree.path("t_w.jpg"));
  EXPECT_EQ(leftoverBitmaps(), 0);
}

}  // namespace
}  // namespace pixelmote::imaging
