// Create runs: thumbnails, index pages, status lines, Stop and failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <string>
#include <vector>

#include "batch/engine.h"
#include "imaging/codec.h"
#include "imaging/imglib.h"
#include "testsupport/recording_frontend.h"
#include "testsupport/temp_tree.h"
#include "util/file_bytes.h"

namespace pixelmote::batch {
namespace {

using imaging::Raster;
using imaging::Size;
using testing::RecordingFrontend;
using testing::TempTree;

const std::string kSeparator(40, '-');

Raster gradient(Size size) {
  Raster r(size);
  for (int y = 0; y < size.height; ++y) {
    for (int x = 0; x < size.width; ++x) {
      std::uint8_t* p = r.row(y) + x * 3;
      p[0] = static_cast<std::uint8_t>(x * 255 / std::max(1, size.width - 1));
      p[1] = static_cast<std::uint8_t>(y * 255 / std::max(1, size.height - 1));
      p[2] = 128;
    }
  }
  return r;
}

std::string jpegBytes(Size size) { return imaging::encodeJpeg(gradient(size), 85, 0).value(); }

Size jpegSize(const std::string& path) {
  imaging::RasterSink sink;
  const auto bytes = util::readFileBytes(path);
  if (!bytes || !imaging::decodeJpeg(imaging::Bytes(bytes.value()), {}, sink)) return {};
  return sink.raster.size;
}

std::string cell(const std::string& picture, const std::string& thumb) {
  return "<td align=center><a href='" + picture + "'><img src='" + thumb + "' border=0></a></td>";
}

class CreateTest : public ::testing::Test {
 protected:
  CreateTest() : engine(frontend, NumberFormat::english()) {
    imaging::startImaging();
  }

  CommandResult create(const std::string& folder = "") {
    settings.sFolder = folder.empty() ? tree.root() : folder;
    return engine.runCommand(Operation::Create, settings, options);
  }
  std::string picture(const std::string& relative, Size size = {64, 48}) {
    return tree.fileWith(relative, jpegBytes(size));
  }
  std::int64_t sizeOf(const std::string& relative) { return static_cast<std::int64_t>(tree.read(relative).size()); }

  TempTree tree;
  RecordingFrontend frontend;
  Engine engine;
  BatchSettings settings;
  RunOptions options;
};

TEST_F(CreateTest, WritesThumbnailsAndLinkedPages) {
  picture("a.jpg", {640, 480});
  picture("b.JPG", {300, 800});
  picture("Night/n.jpg");
  picture("Night/Deep/d.jpg");
  ASSERT_EQ(create(), CommandResult::Ran);

  EXPECT_EQ(jpegSize(tree.path("t_a.jpg")), (Size{160, 120}));
  EXPECT_EQ(jpegSize(tree.path("t_b.jpg")), (Size{75, 200}));
  EXPECT_EQ(jpegSize(tree.path("Night/Deep/t_d.jpg")), (Size{16, 12}));

  EXPECT_EQ(tree.read("index.html"),
            "<html><body><center><a href='Night/index.html'>Night</a> | <table border=1><tr>" +
                cell("a.jpg", "t_a.jpg") + cell("b.JPG", "t_b.jpg") + "</tr></table></center></body></html>\r\n");
  EXPECT_EQ(tree.read("Night/index.html"),
            "<html><body><center><a href='Deep/index.html'>Deep</a> | <a href='..\\index.html'>Home</a><br>"
            "<table border=1><tr>" + cell("n.jpg", "t_n.jpg") + "</tr></table></center></body></html>\r\n");
  EXPECT_EQ(tree.read("Night/Deep/index.html"),
            "<html><body><center><a href='..\\..\\index.html'>Home</a><br><table border=1><tr>" +
                cell("d.jpg", "t_d.jpg") + "</tr></table></center></body></html>\r\n");

  const std::string r = tree.root();
  const std::int64_t rootThumbs = sizeOf("t_a.jpg") + sizeOf("t_b.jpg");
  ASSERT_EQ(frontend.status.size(), 5u);
  EXPECT_EQ(frontend.status[0], r + ": 1 folders, 2 files (" + funBytes(sizeOf("a.jpg") + sizeOf("b.JPG"), NumberFormat::english()) +
                                    " [" + funBytes(rootThumbs, NumberFormat::english()) + "])");
  EXPECT_EQ(frontend.status[2], r + "/Night/Deep: 0 folders, 1 files (" + funBytes(sizeOf("Night/Deep/d.jpg"), NumberFormat::english()) +
                                    " [" + funBytes(sizeOf("Night/Deep/t_d.jpg"), NumberFormat::english()) + "])");
  EXPECT_EQ(frontend.status[3], kSeparator);
}

TEST_F(CreateTest, RowsBreakAfterEveryColumnsCells) {
  for (const char* name : {"1.jpg", "2.jpg", "3.jpg", "4.jpg", "5.jpg", "6.jpg", "7.jpg"}) picture(name, {8, 8});
  settings.iColumns = 3;
  settings.iBorder = 0;
  ASSERT_EQ(create(), CommandResult::Ran);
  std::string cells;
  for (int i = 1; i <= 7; ++i) {
    cells += cell(std::to_string(i) + ".jpg", "t_" + std::to_string(i) + ".jpg");
    if (i % 3 == 0) cells += "</tr><tr>";
  }
  EXPECT_EQ(tree.read("index.html"),
            "<html><body><center><table border=0><tr>" + cells + "</tr></table></center></body></html>\r\n");

  // Six pictures: the table ends in an empty row.
  testing::removeTree(tree.path("7.jpg"));
  testing::removeTree(tree.path("t_7.jpg"));
  ASSERT_EQ(create(), CommandResult::Ran);
  EXPECT_NE(tree.read("index.html").find(cell("6.jpg", "t_6.jpg") + "</tr><tr></tr></table>"), std::string::npos);
}

TEST_F(CreateTest, SecondRunSkipsThumbnailsAndRendersThePicturesAgain) {
  picture("a.jpg");
  ASSERT_EQ(create(), CommandResult::Ran);
  const std::string first = tree.read("t_a.jpg");
  ASSERT_EQ(create(), CommandResult::Ran);
  EXPECT_EQ(tree.read("t_a.jpg"), first);
  EXPECT_FALSE(tree.exists("t_t_a.jpg"));
  EXPECT_EQ(frontend.status[0].find(": 0 folders, 1 files ("), tree.root().size());
}

TEST_F(CreateTest, GifThumbnailsForJpegPictures) {
  picture("MY.TRIP.JPG", {100, 50});
  picture("MY.DOG.JPG", {100, 50});
  settings.sThumbExt = "gif";
  ASSERT_EQ(create(), CommandResult::Ran);
  // Both pictures share one thumbnail name; both cells point at it.
  EXPECT_EQ(tree.read("t_MY.gif").substr(0, 6), "GIF89a");
  const std::string page = tree.read("index.html");
  EXPECT_NE(page.find(cell("MY.DOG.JPG", "t_MY.gif") + cell("MY.TRIP.JPG", "t_MY.gif")), std::string::npos);
}

TEST_F(CreateTest, AThumbnailTypeChangedDuringARunReachesThePicturesNotYetBegun) {
  picture("a.jpg");
  picture("b.jpg");
  picture("c.jpg");
  bool changed = false;
  frontend.onEvents = [&] {
    if (!changed && tree.exists("t_a.jpg")) {
      engine.thumbTypeChanged("GIF");
      changed = true;
    }
  };
  ASSERT_EQ(create(), CommandResult::Ran);
  ASSERT_TRUE(changed);
  EXPECT_EQ(tree.read("t_a.jpg").substr(0, 2), "\xff\xd8");
  EXPECT_EQ(tree.read("t_b.gif").substr(0, 6), "GIF89a");
  EXPECT_EQ(tree.read("t_c.gif").substr(0, 6), "GIF89a");
  EXPECT_FALSE(tree.exists("t_b.jpg"));
  EXPECT_NE(tree.read("index.html").find(cell("a.jpg", "t_a.jpg") + cell("b.jpg", "t_b.gif")), std::string::npos);
  EXPECT_EQ(engine.settings().sThumbExt, "gif");
}

TEST_F(CreateTest, UnreadablePicturesAreSkippedWithAStatusLine) {
  picture("a.jpg");
  tree.fileWith("b.jpg", "not a picture at all");
  tree.fileWith("t_b.jpg", "stale thumbnail from an earlier run");
  tree.fileWith("c.jpg", jpegBytes({64, 48}).substr(0, 300));  // cut short
  picture("d.jpg");
  ASSERT_EQ(create(), CommandResult::Ran);
  const std::string r = tree.root();
  ASSERT_EQ(frontend.status.size(), 5u);
  EXPECT_EQ(frontend.status[0], "Skipped unreadable picture " + r + "/b.jpg");
  EXPECT_EQ(frontend.status[1], "Skipped unreadable picture " + r + "/c.jpg");
  EXPECT_FALSE(tree.exists("t_b.jpg"));  // the stale thumbnail goes
  EXPECT_FALSE(tree.exists("t_c.jpg"));
  EXPECT_EQ(tree.read("index.html"), "<html><body><center><table border=1><tr>" + cell("a.jpg", "t_a.jpg") +
                                         cell("d.jpg", "t_d.jpg") + "</tr></table></center></body></html>\r\n");
  // The folder's thumbnail bytes are those of the two thumbnails written.
  EXPECT_NE(frontend.status[2].find("[" + funBytes(sizeOf("t_a.jpg") + sizeOf("t_d.jpg"), NumberFormat::english()) + "])"),
            std::string::npos) << frontend.status[2];
}

TEST_F(CreateTest, AnUnreadablePictureKeepsTheThumbnailAnEarlierPictureJustWrote) {
  picture("x.a.jpg");
  tree.fileWith("x.b.jpg", "garbage");
  ASSERT_EQ(create(), CommandResult::Ran);
  EXPECT_TRUE(tree.exists("t_x.jpg"));
  EXPECT_EQ(frontend.status[0], "Skipped unreadable picture " + tree.path("x.b.jpg"));
}

TEST_F(CreateTest, FilesThatCannotBeWrittenAreReportedAndTheRunGoesOn) {
  picture("a.jpg");
  picture("b.jpg");
  tree.file("t_a.jpg/x", 1);       // a folder where a thumbnail should go
  tree.file("sub/index.html/x", 1);  // and one where a page should go
  picture("sub/c.jpg");
  ASSERT_EQ(create(), CommandResult::Ran);
  const std::string r = tree.root();
  EXPECT_EQ(frontend.status[0], "Cannot write " + r + "/t_a.jpg");
  EXPECT_EQ(frontend.status[2], "Cannot write " + r + "/sub/index.html");
  // The blocking folder is a sub-folder like any other; sub has no page to
  // link to, so its link is taken out of the page written before it.
  EXPECT_EQ(tree.read("index.html"), "<html><body><center><a href='t_a.jpg/index.html'>t_a.jpg</a> | "
                                     "<table border=1><tr>" +
                                         cell("b.jpg", "t_b.jpg") + "</tr></table></center></body></html>\r\n");
  EXPECT_TRUE(tree.exists("sub/t_c.jpg"));
}

TEST_F(CreateTest, ThumbnailNamesTooLongForTheFileSystemCannotBeWritten) {
  const std::string longest(251, 'p');  // 255 bytes with ".jpg"
  const std::string fits(246, 'q');     // its thumbnail has 252
  picture(longest + ".jpg", {8, 8});
  picture(fits + ".jpg", {8, 8});
  ASSERT_EQ(create(), CommandResult::Ran);
  EXPECT_EQ(frontend.status[0], "Cannot write " + tree.path("t_" + longest + ".jpg"));
  EXPECT_TRUE(tree.exists("t_" + fits + ".jpg"));
  EXPECT_EQ(tree.read("index.html"), "<html><body><center><table border=1><tr>" +
                                         cell(fits + ".jpg", "t_" + fits + ".jpg") +
                                         "</tr></table></center></body></html>\r\n");
}

TEST_F(CreateTest, StopDuringTheSecondOfFivePicturesKeepsTwoCells) {
  for (const char* name : {"1.jpg", "2.jpg", "3.jpg", "4.jpg", "5.jpg"}) picture(name, {20, 40});
  // Stop inside the second picture's copy, once its bar 2 has reached 50%.
  frontend.stopWhen = [](const RecordingFrontend& f) { return f.callsStartingWith("bar 2 50").size() >= 2; };
  ASSERT_EQ(create(), CommandResult::Ran);
  EXPECT_TRUE(tree.exists("t_1.jpg"));
  EXPECT_TRUE(tree.exists("t_2.jpg"));
  EXPECT_FALSE(tree.exists("t_3.jpg"));
  EXPECT_EQ(tree.read("index.html"), "<html><body><center><table border=1><tr>" + cell("1.jpg", "t_1.jpg") +
                                         cell("2.jpg", "t_2.jpg") + "</tr></table></center></body></html>\r\n");
  EXPECT_EQ(frontend.status.size(), 3u);
}

TEST_F(CreateTest, NamesAreEscapedAndNonAsciiPagesDeclareUtf8) {
  picture("it's & <b>.jpg");
  picture("caf\xc3\xa9 #1?.jpg");
  tree.folder("D\xc3\xa9j\xc3\xa0 vu");
  ASSERT_EQ(create(), CommandResult::Ran);
  EXPECT_EQ(tree.read("index.html"),
            "<html><meta charset=\"utf-8\"><body><center><a href='D%C3%A9j%C3%A0 vu/index.html'>D\xc3\xa9j\xc3\xa0 vu</a> | "
            "<table border=1><tr>" +
                cell("caf%C3%A9 %231%3F.jpg", "t_caf%C3%A9 %231%3F.jpg") +
                cell("it&#39;s &amp; &lt;b&gt;.jpg", "t_it&#39;s &amp; &lt;b&gt;.jpg") +
                "</tr></table></center></body></html>\r\n");
  EXPECT_TRUE(tree.exists("t_caf\xc3\xa9 #1?.jpg"));
}

// Every file below `root` with its bytes, in path order.
std::vector<std::pair<std::string, std::string>> snapshotTree(const TempTree& tree) {
  std::vector<std::pair<std::string, std::string>> files;
  for (const auto& e : std::filesystem::recursive_directory_iterator(tree.root())) {
    if (!e.is_regular_file()) continue;
    const std::string rel = e.path().string().substr(tree.root().size());
    files.emplace_back(rel, tree.read(rel.substr(1)));
  }
  std::sort(files.begin(), files.end());
  return files;
}

TEST_F(CreateTest, AnyNumberOfJobsGivesTheSameFilesLinesAndProgress) {
  for (int f = 0; f < 4; ++f) {
    for (int p = 0; p < 5; ++p) {
      picture("f" + std::to_string(f) + "/p" + std::to_string(p) + ".jpg", {40 + 13 * p, 30 + 7 * f});
    }
  }
  tree.fileWith("f1/bad.jpg", "not a picture");                   // unreadable
  tree.file("f2/t_p3.gif/blocker", 1);                            // a folder where a thumbnail goes
  tree.fileWith("f3/index.html", "<html>the user's own</html>");  // a page that is not ours
  settings.sThumbExt = "gif";

  struct Run {
    std::vector<std::string> calls;
    std::vector<std::string> problems;
    std::vector<std::pair<std::string, std::string>> files;
  };
  std::vector<Run> runs;
  // Each run starts with the folder list on its folder, as the last one left it.
  engine.setFolderPath(tree.root());
  for (unsigned jobs : {1u, 2u, 3u, 8u}) {
    options.jobs = jobs;
    frontend.calls.clear();
    frontend.problems.clear();
    ASSERT_EQ(create(), CommandResult::Ran);
    runs.push_back({frontend.calls, frontend.problems, snapshotTree(tree)});
    EXPECT_EQ(engine.lastRun().skippedPictures, 1u);
    EXPECT_EQ(engine.lastRun().unwrittenFiles, 2u);
  }
  // Pictures, thumbnails, our pages (the blocking folder has one), bad.jpg,
  // the blocker and the user's page.
  EXPECT_EQ(runs[0].files.size(), 20u + 19u + 5u + 1u + 1u + 1u);
  for (std::size_t i = 1; i < runs.size(); ++i) {
    // The same status lines, bars, titles and event passes, in the same order.
    EXPECT_EQ(runs[i].calls, runs[0].calls) << i;
    EXPECT_EQ(runs[i].problems, runs[0].problems) << i;
    EXPECT_EQ(runs[i].files, runs[0].files) << i;
  }
}

TEST_F(CreateTest, StopAtAnyEventPassWithJobsLeavesWhatOneJobLeaves) {
  // "The same point" is the same event pass: the run's thread goes through
  // the same passes whatever the jobs, and what workers made past the point
  // it stopped at is thrown away.
  picture("a.jpg", {64, 48});
  picture("b.jpg", {40, 88});
  tree.fileWith("c.jpg", "not a picture");
  picture("d/e.jpg", {72, 40});
  picture("d/f.jpg", {48, 48});
  const auto before = snapshotTree(tree);
  const auto restore = [&] {
    for (const auto& [relative, bytes] : snapshotTree(tree)) {
      if (std::find_if(before.begin(), before.end(), [&](const auto& f) { return f.first == relative; }) ==
          before.end()) {
        std::filesystem::remove(tree.root() + relative);
      }
    }
  };
  struct Outcome {
    std::vector<std::string> calls;
    std::vector<std::pair<std::string, std::string>> files;
  };
  const auto runStoppedAt = [&](int pass, unsigned jobs) {
    restore();
    RecordingFrontend stopping;
    stopping.stopAtEventPass = pass;
    Engine run(stopping, NumberFormat::english());
    BatchSettings s = settings;
    s.sFolder = tree.root();
    RunOptions o;
    o.jobs = jobs;
    EXPECT_EQ(run.runCommand(Operation::Create, s, o), CommandResult::Ran);
    return Outcome{stopping.calls, snapshotTree(tree)};
  };
  const Outcome full = runStoppedAt(0, 1);
  const int passes = static_cast<int>(std::count(full.calls.begin(), full.calls.end(), "events"));
  ASSERT_GT(passes, 40);
  for (int pass = 1; pass <= passes; ++pass) {
    SCOPED_TRACE("Stop at event pass " + std::to_string(pass));
    const Outcome one = runStoppedAt(pass, 1);
    const Outcome three = runStoppedAt(pass, 3);
    EXPECT_EQ(three.calls, one.calls);
    ASSERT_EQ(three.files, one.files);
  }
}

TEST_F(CreateTest, StopInAParallelRunWritesNothingPastThePictureItStoppedAt) {
  for (int p = 0; p < 12; ++p) picture("p" + std::to_string(10 + p) + ".jpg", {64, 48});
  options.jobs = 4;
  // Stop during the third picture's copy: workers have loaded pictures ahead.
  frontend.stopWhen = [](const RecordingFrontend& f) { return f.callsStartingWith("bar 2 50").size() >= 3; };
  ASSERT_EQ(create(), CommandResult::Ran);
  for (int p = 0; p < 12; ++p) {
    EXPECT_EQ(tree.exists("t_p" + std::to_string(10 + p) + ".jpg"), p < 3) << p;
  }
  EXPECT_FALSE(engine.running());
}

TEST_F(CreateTest, ParallelRunCopesWithAFolderThatChangesAfterTheWalk) {
  for (int p = 0; p < 6; ++p) picture("d/p" + std::to_string(p) + ".jpg", {32, 32});
  options.jobs = 3;
  bool changed = false;
  frontend.onEvents = [&] {
    // Once the first folder is being processed, a picture of the second
    // goes and a new one comes: both were or were not queued ahead.
    if (!changed && !frontend.callsStartingWith("bar 0 50").empty()) {
      testing::removeTree(tree.path("d/p2.jpg"));
      picture("d/p25.jpg", {16, 16});
      changed = true;
    }
  };
  ASSERT_EQ(create(), CommandResult::Ran);
  ASSERT_TRUE(changed);
  EXPECT_FALSE(tree.exists("d/t_p2.jpg"));
  EXPECT_TRUE(tree.exists("d/t_p25.jpg"));
  EXPECT_EQ(jpegSize(tree.path("d/t_p25.jpg")), (Size{4, 4}));
  EXPECT_TRUE(tree.exists("d/t_p5.jpg"));
}

ino_t inodeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST_F(CreateTest, UpdateRendersExactlyThePicturesWhoseSourceOrSettingsChanged) {
  for (int p = 0; p < 4; ++p) picture("p" + std::to_string(p) + ".jpg", {40, 30});
  tree.fileWith("t_x.jpg", tree.read("p0.jpg"));  // a thumbnail with no record of its picture
  picture("x.jpg", {20, 20});
  options.updateOnly = true;
  ASSERT_EQ(create(), CommandResult::Ran);
  const std::vector<std::string> firstLines = frontend.status;
  const std::string firstPage = tree.read("index.html");
  EXPECT_EQ(jpegSize(tree.path("t_x.jpg")), (Size{5, 5}));  // the unrecorded one was rendered

  const auto inodes = [&] {
    std::vector<ino_t> out;
    for (const char* t : {"t_p0.jpg", "t_p1.jpg", "t_p2.jpg", "t_p3.jpg", "t_x.jpg"}) out.push_back(inodeOf(tree.path(t)));
    return out;
  };
  const std::vector<ino_t> before = inodes();
  // Nothing changed: nothing is rendered, and the run reads as a full one.
  ASSERT_EQ(create(), CommandResult::Ran);
  EXPECT_EQ(inodes(), before);
  EXPECT_EQ(frontend.status, firstLines);
  EXPECT_EQ(tree.read("index.html"), firstPage);

  // p1 is touched, p2 gets other content of the same name.
  const timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 5}};
  ASSERT_EQ(::utimensat(AT_FDCWD, tree.path("p1.jpg").c_str(), times, 0), 0);
  picture("p2.jpg", {60, 20});
  ASSERT_EQ(create(), CommandResult::Ran);
  const std::vector<ino_t> after = inodes();
  EXPECT_EQ(after[0], before[0]);
  EXPECT_NE(after[1], before[1]);
  EXPECT_NE(after[2], before[2]);
  EXPECT_EQ(after[3], before[3]);
  EXPECT_EQ(after[4], before[4]);
  EXPECT_EQ(jpegSize(tree.path("t_p2.jpg")), (Size{15, 5}));

  // A setting that shapes thumbnails renders all of them again.
  settings.iQuality = 50;
  ASSERT_EQ(create(), CommandResult::Ran);
  const std::vector<ino_t> requality = inodes();
  for (std::size_t i = 0; i < requality.size(); ++i) EXPECT_NE(requality[i], after[i]) << i;

  // Without update mode every picture is rendered, as always.
  ASSERT_EQ(create(), CommandResult::Ran);
  options.updateOnly = false;
  ASSERT_EQ(create(), CommandResult::Ran);
  const std::vector<ino_t> full = inodes();
  for (std::size_t i = 0; i < full.size(); ++i) EXPECT_NE(full[i], requality[i]) << i;
}

TEST_F(CreateTest, CreateWithoutPrefixIsRefused) {
  picture("a.jpg");
  settings.sPrefix = "";
  EXPECT_EQ(create(), CommandResult::Refused);
  EXPECT_EQ(frontend.messages, std::vector<std::string>{"Please enter a thumbnail prefix."});
  EXPECT_FALSE(tree.exists("index.html"));
}

}  // namespace
}  // namespace pixelmote::batch
