// Rendering one picture into its thumbnail: names, box, progress, Stop,
// failures, the stamp, and colour profiles (carried by JPEG thumbnails,
// converted to sRGB for GIF ones, ignored when unusable).
#include "imaging/render.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>

#include "imaging/codec.h"
#include "imaging/imglib.h"
#include "imaging/pipeline.h"
#include "testsupport/codec_testing.h"
#include "testsupport/colour_profiles.h"
#include "testsupport/temp_tree.h"
#include "util/file_bytes.h"
#include "util/program_folder.h"

namespace pixelmote::imaging {
namespace {

using testing::Icc;
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

// Row y is grey (y * 2).
Raster rows(Size size) {
  Raster r(size);
  for (int y = 0; y < size.height; ++y) std::fill(r.row(y), r.row(y) + size.width * 3, static_cast<std::uint8_t>(y * 2));
  return r;
}

std::string fileText(const std::string& path) {
  auto bytes = util::readFileBytes(path);
  EXPECT_TRUE(bytes) << bytes.message();
  return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

// The thumbnail at `path`, decoded as its name says.
Raster decodeFile(const std::string& path) {
  const testing::Decoded d = testing::decodeWith(codecForFile(path).decode, fileText(path));
  EXPECT_TRUE(d.status) << path << ": " << d.status.message();
  return d.raster;
}

// Temporary bitmaps of this process left in the program's writable folder.
int leftoverBitmaps() {
  const std::string mine = "temp" + std::to_string(::getpid()) + "-";
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(util::writableProgramFolder().value())) {
    count += entry.path().filename().string().rfind(mine, 0) == 0;
  }
  return count;
}

void setModified(const std::string& path, long seconds) {
  const timespec times[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

class RenderTest : public ::testing::Test {
 protected:
  void SetUp() override { startImaging(); }
  std::string picture(const std::string& name, const Raster& raster) {
    return tree.fileWith(name, encodeBmp(raster).value());
  }
  static RenderSettings settings(double size, const std::string& ext = "bmp") {
    RenderSettings s;
    s.sizePercent = size;
    s.thumbExt = ext;
    return s;
  }
  TempTree tree;
  Host host;
};

TEST_F(RenderTest, ThumbnailIsTheBoxOfThePictureInTheTypeItsExtensionSays) {
  const struct {
    Size picture;
    double size;
    const char* ext;
    Size box;
  } cases[] = {{{40, 30}, 100, "bmp", {40, 30}}, {{640, 480}, 25, "bmp", {160, 120}}, {{640, 480}, 0, "bmp", {1, 1}},
               {{30, 20}, 50, "jpg", {15, 10}},  {{30, 20}, 50, "gif", {15, 10}}};
  for (const auto& c : cases) {
    const std::string name = "p" + std::to_string(&c - cases);
    SCOPED_TRACE(name);
    const Raster source = rows(c.picture);
    const RenderOutcome out = LoadSource(picture(name + ".bmp", source), settings(c.size, c.ext), host);
    ASSERT_EQ(out.result, RenderResult::Written) << out.message;
    EXPECT_EQ(out.thumbnailPath, tree.path("t_" + name + "." + c.ext));
    const Raster thumb = decodeFile(out.thumbnailPath);
    EXPECT_EQ(thumb.size, c.box);
    if (c.size == 100) {
      EXPECT_EQ(thumb, source);
    }
  }
  EXPECT_EQ(leftoverBitmaps(), 0);
  EXPECT_EQ(thumbnailPathFor("/a.b/MY.TRIP.JPG", "t_", "gif"), "/a.b/t_MY.gif");  // the text before the first point
  EXPECT_EQ(thumbnailNameFor(".hidden.jpg", "th", "jpg"), "th.jpg");
}

TEST_F(RenderTest, ProgressFollowsTheRowsInStepsOfTenPercentAndStopKeepsWhatWasCopied) {
  ASSERT_EQ(LoadSource(picture("p.bmp", rows({10, 120})), settings(100), host).result, RenderResult::Written);
  // 0 before the copy, then rows 0 and 1, 12 and 13, ... and 100.
  std::vector<std::pair<double, int>> expected = {{0, 2}};
  for (int row = 0; row < 120; row += 12) {
    expected.push_back({row / 120.0 * 100, 2});
    expected.push_back({(row + 1) / 120.0 * 100, 2});
  }
  expected.push_back({100, 2});
  EXPECT_EQ(host.calls, expected);
  EXPECT_GE(host.events, 3);

  // Stopped at 20 % (row 10): the rows after it stay background, bar 2
  // keeps its last value. Stopped before the copy: the first pixel only.
  for (const int stopRow : {10, -1}) {
    SCOPED_TRACE(stopRow);
    Host stopping;
    stopping.stopWhen = [](double percent) { return percent >= 20; };
    stopping.stop = stopRow < 0;
    const Raster source = rows({8, 50});
    const RenderOutcome out = LoadSource(picture("s" + std::to_string(stopRow) + ".bmp", source), settings(100), stopping);
    ASSERT_EQ(out.result, RenderResult::Written);
    const Raster thumb = decodeFile(out.thumbnailPath);
    for (int i = 0; i < 8 * 50; ++i) {
      const bool copied = i / 8 <= stopRow || i == 0;
      ASSERT_EQ(thumb.at(i % 8, i / 8), copied ? source.at(i % 8, i / 8) : kSurfaceBackground) << i;
    }
    if (stopRow > 0) {
      EXPECT_EQ(stopping.calls.back().first, 20);
    }
  }
}

TEST_F(RenderTest, PictureThatCannotBeReadOrThumbnailThatCannotBeWrittenLeavesNothing) {
  const RenderOutcome bad = LoadSource(tree.fileWith("bad.jpg", "this is not a picture"), settings(25, "jpg"), host);
  EXPECT_EQ(bad.result, RenderResult::Unreadable);
  EXPECT_FALSE(tree.exists("t_bad.jpg"));
  EXPECT_TRUE(host.calls.empty());
  EXPECT_EQ(LoadSource(tree.path("gone.jpg"), settings(25, "jpg"), host).result, RenderResult::Unreadable);
  tree.file("t_w.jpg/blocker", 1);  // a folder stands where the thumbnail goes
  const RenderOutcome blocked = LoadSource(picture("w.bmp", rows({10, 10})), settings(50, "jpg"), host);
  EXPECT_EQ(blocked.result, RenderResult::CannotWrite);
  EXPECT_EQ(blocked.failedPath, tree.path("t_w.jpg"));
  EXPECT_EQ(leftoverBitmaps(), 0);
}

TEST_F(RenderTest, StampDescribesThePictureFileThatWasDecoded) {
  const RenderSettings s = settings(50, "jpg");
  const std::string path = picture("r.bmp", rows({40, 30}));
  setModified(path, 1600000000);
  const std::string original = thumbnailStamp(path, s);
  ASSERT_FALSE(original.empty());
  const auto stampOf = [](const std::string& thumbnail) { return leadingComment(testing::bytesOf(fileText(thumbnail))); };

  const RenderOutcome plain = LoadSource(path, s, host);
  ASSERT_EQ(plain.result, RenderResult::Written) << plain.message;
  EXPECT_EQ(stampOf(plain.thumbnailPath), original);
  EXPECT_TRUE(thumbnailUpToDate(path, s));
  testing::removeTree(plain.thumbnailPath);

  // Loaded ahead, then replaced by another picture of another size and time
  // before the run renders it: the thumbnail shows the old picture and says
  // so, so that the next update renders the new one.
  ThumbnailPipeline prefetcher(1, 4);
  prefetcher.schedule({path}, s);
  prefetcher.waitIdle();
  ASSERT_EQ(prefetcher.started(), 1u);
  const std::string replacement = picture("new.bmp", rows({80, 60}));
  ASSERT_EQ(::rename(replacement.c_str(), path.c_str()), 0);
  setModified(path, 1700000000);
  ASSERT_NE(thumbnailStamp(path, s), original);
  const RenderOutcome ahead = LoadSource(path, s, host, &prefetcher);
  ASSERT_EQ(ahead.result, RenderResult::Written) << ahead.message;
  EXPECT_EQ(decodeFile(ahead.thumbnailPath).size, (Size{20, 15}));
  EXPECT_EQ(stampOf(ahead.thumbnailPath), original);
  EXPECT_FALSE(thumbnailUpToDate(path, s));

  ASSERT_EQ(LoadSource(path, s, host).result, RenderResult::Written);
  EXPECT_TRUE(thumbnailUpToDate(path, s));
}

// 4 x 2 flat patches of 16 x 16 pixels in ordinary colours, inside sRGB.
Raster patches() {
  const std::vector<Rgb> colours = {{200, 60, 50},  {60, 160, 70},  {50, 80, 190},  {220, 200, 80},
                                    {90, 180, 190}, {170, 90, 160}, {230, 225, 215}, {40, 40, 45}};
  Raster r(Size{64, 32});
  for (int y = 0; y < 32; ++y) {
    for (int x = 0; x < 64; ++x) std::memcpy(r.row(y) + x * 3, &colours[(y / 16) * 4 + x / 16], 3);
  }
  return r;
}

using ColourRender = RenderTest;

// A JPEG thumbnail carries a usable RGB profile unconverted, through the
// pipeline too; unusable or incomplete ones are ignored. A GIF thumbnail
// has no profile: its colours are converted to sRGB.
TEST_F(ColourRender, ProfileComesThroughThePipelineToo) {
  const Icc profile = testing::profileFile("adobe-like-padded.icc");
  Icc garbage(3000);
  for (std::size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<std::uint8_t>(i * 31 + 7);
  std::vector<Icc> firstOfTwo = testing::iccSegments(profile), countZero = testing::iccSegments(testing::profileFile("adobe-like.icc"));
  firstOfTwo.pop_back();
  countZero[0][13] = 0;
  const std::vector<std::pair<std::vector<Icc>, Icc>> cases = {
      {testing::iccSegments(profile), profile}, {{}, {}}, {testing::iccSegments(garbage), {}}, {firstOfTwo, {}},
      {countZero, {}}, {testing::iccSegments(testing::profileFile("tinted-cmyk.icc")), {}}};
  std::vector<std::string> paths;  // the patches at quality 100: they stay flat
  for (const auto& c : cases) {
    const std::string jpeg = testing::withApp2Segments(encodeJpeg(patches(), 100, 0).value(), c.first);
    paths.push_back(tree.fileWith("p" + std::to_string(paths.size()) + ".jpg", jpeg));
  }
  ThumbnailPipeline prefetcher(1, 2);
  const RenderSettings s = settings(50, "jpg");
  prefetcher.schedule(paths, s);
  std::vector<Raster> shown;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    const RenderOutcome out = LoadSource(paths[i], s, host, &prefetcher);
    ASSERT_EQ(out.result, RenderResult::Written) << out.message;
    const auto box = loadThumbnailBox(out.thumbnailPath, 100);
    ASSERT_TRUE(box) << box.message();
    EXPECT_EQ(box->iccProfile, cases[i].second) << i;
    EXPECT_TRUE(carriesThumbnailStamp(out.thumbnailPath)) << i;
    shown.push_back(box->box);
  }
  for (const Raster& r : shown) EXPECT_EQ(r, shown[1]);  // unconverted

  // A wide-gamut green (60, 160, 70) loses its red.
  const auto gif = [&](const std::string& path) { return decodeFile(LoadSource(path, settings(100, "gif"), host).thumbnailPath); };
  const Rgb plain = gif(paths[1]).at(24, 8), wide = gif(paths[0]).at(24, 8);
  EXPECT_NEAR(plain.r, 60, 3);
  EXPECT_LT(wide.r + 20, plain.r) << int{wide.r};
}

}  // namespace
}  // namespace pixelmote::imaging
