// Create runs: the pages and thumbnails of a tree, its problems, any number
// of jobs, Stop at any point, updates, and the user's files left alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "batch/engine.h"
#include "batch/page.h"
#include "imaging/codec.h"
#include "imaging/imglib.h"
#include "testsupport/golden.h"
#include "testsupport/recording_frontend.h"
#include "testsupport/temp_tree.h"
#include "util/file_bytes.h"
#include "util/program_folder.h"
#include "util/temp_files.h"

namespace pixelmote::batch {
namespace {

using imaging::Size;
using testing::RecordingFrontend;
using testing::TempTree;
using Files = std::vector<std::pair<std::string, std::string>>;
using Lines = std::vector<std::string>;

std::string jpeg(Size size, std::uint8_t shade = 128) {
  imaging::Raster r(size);
  for (int y = 0; y < size.height; ++y) {
    for (int x = 0; x < size.width * 3; ++x) r.row(y)[x] = static_cast<std::uint8_t>(x * 7 + y * 3 + shade);
  }
  return imaging::encodeJpeg(r, 85, 0).value();
}

// Every file below the tree's root (relative) with its bytes, in path order.
Files filesOf(const TempTree& tree) {
  Files files;
  for (const auto& e : std::filesystem::recursive_directory_iterator(tree.root())) {
    if (!e.is_regular_file()) continue;
    const std::string rel = e.path().string().substr(tree.root().size() + 1);
    files.emplace_back(rel, tree.read(rel));
  }
  std::sort(files.begin(), files.end());
  return files;
}

void expectGolden(const std::string& name, const std::string& text) {
  testing::expectGolden("batch/testdata/" + name, text);
}

class CreateTest : public ::testing::Test {
 protected:
  CreateTest() : engine(frontend, NumberFormat::english()) { imaging::startImaging(); }

  CommandResult create(const std::string& prefix = "t_") {
    settings.sFolder = tree.root();
    settings.sPrefix = prefix;
    return engine.runCommand(Operation::Create, settings, options);
  }
  // The status lines that are not a folder's counts, and the problems.
  Lines problemLines() const {
    Lines out;
    for (const std::string& line : frontend.status) {
      if (line.rfind(kStatusUnreadable, 0) == 0 || line.rfind(kStatusCannotWrite, 0) == 0) {
        out.push_back(line.substr(line.find(tree.root()) + tree.root().size()));
      }
    }
    for (const std::string& p : frontend.problems) out.push_back(p.substr(tree.root().size()));
    return out;
  }

  TempTree tree;
  RecordingFrontend frontend;
  Engine engine;
  BatchSettings settings;
  RunOptions options;
};

TEST_F(CreateTest, PagesOfATreeWithEveryKindOfNameAndProblem) {
  for (const char* name : {"1.jpg", "2.JPG", "it's & <b>.jpg", "caf\xc3\xa9 #1?.jpg", "my.one.jpg", "my.two.jpg",
                           "x.a.jpg", "blocked.jpg", "Night/n.jpg", "Night/Deep/d.jpg", "NoPage/c.jpg"}) {
    tree.fileWith(name, jpeg({40, 24}));
  }
  const std::string longest(251, 'p');  // 255 bytes with ".jpg": its thumbnail's name is too long
  const std::string fits(246, 'q');
  tree.fileWith(longest + ".jpg", jpeg({8, 8}));
  tree.fileWith(fits + ".jpg", jpeg({8, 8}));
  tree.fileWith("x.b.jpg", "garbage");  // keeps the t_x.gif that x.a.jpg just got
  tree.fileWith("bad.jpg", "not a picture");
  tree.fileWith("t_bad.gif", "stale thumbnail from an earlier run");
  tree.fileWith("cut.jpg", jpeg({64, 48}).substr(0, 300));
  tree.file("t_blocked.gif/x", 1);  // a folder where a thumbnail goes: a sub-folder like any other
  tree.file("NoPage/index.html/x", 1);  // no page there: the start page does not link to it
  tree.folder("D\xc3\xa9j\xc3\xa0 vu");
  tree.fileWith("two\nlines/tab\there.jpg", jpeg({8, 8}));  // control bytes: one-line pages and status lines
  tree.fileWith("Night/index.html", "<p>my own page</p>\n");  // kept, reported; still linked to
  settings.sThumbExt = "gif";
  settings.iColumns = 3;
  settings.iBorder = 2;
  ASSERT_EQ(create(), CommandResult::Ran);

  expectGolden("create_index.html", tree.read("index.html"));
  expectGolden("create_deep_index.html", tree.read("Night/Deep/index.html"));
  expectGolden("create_control_index.html", tree.read("two\nlines/index.html"));
  EXPECT_EQ(tree.read("Night/index.html"), "<p>my own page</p>\n");
  std::string problems = std::to_string(engine.lastRun().skippedPictures) + " skipped, " +
                         std::to_string(engine.lastRun().unwrittenFiles) + " not written\n";
  for (const std::string& line : problemLines()) problems += line + "\n";
  expectGolden("create_problems.txt", problems);
  EXPECT_TRUE(tree.exists("t_x.gif"));
  EXPECT_FALSE(tree.exists("t_bad.gif"));
  imaging::RasterSink sink;
  const auto gif = util::readFileBytes(tree.path("t_1.gif")).value();
  ASSERT_TRUE(imaging::decodeGif(imaging::Bytes(gif), {}, sink));
  EXPECT_EQ(sink.raster.size, (Size{10, 6}));
}

TEST_F(CreateTest, AnyNumberOfJobsGivesTheSameFilesLinesAndProgress) {
  for (int f = 0; f < 4; ++f) {
    for (int p = 0; p < 5; ++p) {
      tree.fileWith("f" + std::to_string(f) + "/p" + std::to_string(p) + ".jpg", jpeg({40 + 13 * p, 30 + 7 * f}));
    }
  }
  tree.fileWith("f1/bad.jpg", "not a picture");
  tree.file("f2/t_p3.gif/blocker", 1);                            // a folder where a thumbnail goes
  tree.fileWith("f3/index.html", "<html>the user's own</html>");  // a page that is not ours
  settings.sThumbExt = "gif";
  struct Run {
    Lines calls;
    Lines problems;
    Files files;
  };
  std::vector<Run> runs;
  engine.setFolderPath(tree.root());  // as the last run leaves it
  for (unsigned jobs : {1u, 2u, 3u, 8u}) {
    options.jobs = jobs;
    frontend.calls.clear();
    ASSERT_EQ(create(), CommandResult::Ran);
    runs.push_back({frontend.calls, frontend.problems, filesOf(tree)});
    EXPECT_EQ(engine.lastRun().skippedPictures, 1u);
    EXPECT_EQ(engine.lastRun().unwrittenFiles, 2u);
  }
  // Pictures, thumbnails, our pages (the blocking folder has one), bad.jpg,
  // the blocker and the user's page.
  EXPECT_EQ(runs[0].files.size(), 20u + 19u + 5u + 1u + 1u + 1u);
  for (std::size_t i = 1; i < runs.size(); ++i) {
    EXPECT_EQ(runs[i].calls, runs[0].calls) << i;  // status lines, bars, titles, event passes
    EXPECT_EQ(runs[i].problems, runs[0].problems) << i;
    EXPECT_EQ(runs[i].files, runs[0].files) << i;
  }
}

TEST_F(CreateTest, StopAtAnyEventPassWithJobsLeavesWhatOneJobLeaves) {
  // The run's thread goes through the same event passes whatever the jobs;
  // what workers made past the point it stopped at is thrown away.
  tree.fileWith("a.jpg", jpeg({64, 48}));
  tree.fileWith("b.jpg", jpeg({40, 88}));
  tree.fileWith("c.jpg", "not a picture");
  tree.fileWith("d/e.jpg", jpeg({72, 40}));
  tree.fileWith("d/f.jpg", jpeg({48, 48}));
  const Files before = filesOf(tree);
  const auto runStoppedAt = [&](int pass, unsigned jobs) {
    for (const auto& [relative, bytes] : filesOf(tree)) {
      if (std::find_if(before.begin(), before.end(), [&](const auto& f) { return f.first == relative; }) == before.end())
        std::filesystem::remove(tree.path(relative));
    }
    RecordingFrontend stopping;
    stopping.stopAtEventPass = pass;
    Engine run(stopping, NumberFormat::english());
    settings.sFolder = tree.root();
    EXPECT_EQ(run.runCommand(Operation::Create, settings, RunOptions{jobs, false}), CommandResult::Ran);
    return std::pair{stopping.calls, filesOf(tree)};
  };
  const Lines full = runStoppedAt(0, 1).first;
  const int passes = static_cast<int>(std::count(full.begin(), full.end(), "events"));
  ASSERT_GT(passes, 40);
  for (int pass = 1; pass <= passes; ++pass) {
    SCOPED_TRACE("Stop at event pass " + std::to_string(pass));
    ASSERT_EQ(runStoppedAt(pass, 3), runStoppedAt(pass, 1));
  }
}

TEST_F(CreateTest, ChangesDuringARunReachThePicturesNotYetBegun) {
  for (const char* name : {"a.jpg", "b.jpg", "c.jpg", "d/p0.jpg", "d/p1.jpg", "d/p2.jpg", "d/p3.jpg"}) {
    tree.fileWith(name, jpeg({32, 32}));
  }
  options.jobs = 3;
  bool changed = false;
  frontend.onEvents = [&] {
    // Once a's thumbnail is written: the thumbnail type changes, a picture
    // of d goes and a new one comes, whether or not they were queued ahead.
    if (changed || !tree.exists("t_a.jpg")) return;
    engine.thumbTypeChanged("GIF");
    testing::removeTree(tree.path("d/p2.jpg"));
    tree.fileWith("d/p25.jpg", jpeg({16, 16}));
    changed = true;
  };
  ASSERT_EQ(create(), CommandResult::Ran);
  ASSERT_TRUE(changed);
  EXPECT_EQ(tree.read("t_a.jpg").substr(0, 2), "\xff\xd8");
  EXPECT_EQ(tree.read("t_b.gif").substr(0, 6), "GIF89a");
  EXPECT_FALSE(tree.exists("t_b.jpg"));
  EXPECT_NE(tree.read("index.html").find(page::cell("a.jpg", "t_a.jpg") + page::cell("b.jpg", "t_b.gif")), std::string::npos);
  EXPECT_EQ(engine.settings().sThumbExt, "gif");
  EXPECT_FALSE(tree.exists("d/t_p2.gif"));
  EXPECT_EQ(tree.read("d/t_p25.gif").substr(0, 6), "GIF89a");
  EXPECT_TRUE(tree.exists("d/t_p3.gif"));
}

TEST_F(CreateTest, UpdateRendersExactlyThePicturesWhoseSourceOrSettingsChanged) {
  for (int p = 0; p < 4; ++p) tree.fileWith("p" + std::to_string(p) + ".jpg", jpeg({40, 30}));
  tree.fileWith("t_x.jpg", tree.read("p0.jpg"));  // a thumbnail with no record of its picture
  tree.fileWith("x.jpg", jpeg({20, 20}));
  const auto inodes = [&] {
    std::vector<ino_t> out;
    for (const char* t : {"t_p0.jpg", "t_p1.jpg", "t_p2.jpg", "t_p3.jpg", "t_x.jpg"}) {
      struct stat st {};
      out.push_back(::stat(tree.path(t).c_str(), &st) == 0 ? st.st_ino : 0);
    }
    return out;
  };
  const std::vector<ino_t> unrecorded = inodes();
  options.updateOnly = true;
  ASSERT_EQ(create(), CommandResult::Ran);
  const Lines firstLines = frontend.status;
  const Files first = filesOf(tree);
  const std::vector<ino_t> before = inodes();
  EXPECT_NE(before[4], unrecorded[4]);
  // Nothing changed: nothing is rendered, and the run reads as a full one.
  ASSERT_EQ(create(), CommandResult::Ran);
  EXPECT_EQ(inodes(), before);
  EXPECT_EQ(frontend.status, firstLines);
  EXPECT_EQ(filesOf(tree), first);
  // p1 is touched, p2 gets other content of the same name.
  const timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 5}};
  ASSERT_EQ(::utimensat(AT_FDCWD, tree.path("p1.jpg").c_str(), times, 0), 0);
  tree.fileWith("p2.jpg", jpeg({60, 20}));
  ASSERT_EQ(create(), CommandResult::Ran);
  const std::vector<ino_t> after = inodes();
  EXPECT_EQ(after, (std::vector<ino_t>{before[0], after[1], after[2], before[3], before[4]}));
  EXPECT_NE(after[1], before[1]);
  EXPECT_NE(after[2], before[2]);
  // A setting that shapes thumbnails renders all of them again; so does a full run.
  settings.iQuality = 50;
  for (const bool update : {true, false}) {
    options.updateOnly = update;
    const std::vector<ino_t> earlier = inodes();
    ASSERT_EQ(create(), CommandResult::Ran);
    const std::vector<ino_t> now = inodes();
    for (std::size_t i = 0; i < now.size(); ++i) EXPECT_NE(now[i], earlier[i]) << i;
  }
}

TEST_F(CreateTest, NeverWritesOverNorDeletesAPictureThatIsNotAThumbnail) {
  struct Row {
    const char* prefix;
    const char* thumbExt;
    Files files;  // what is there before
    Lines cannotWrite;
    std::string cells;  // the page's links, in order
  };
  const std::string stamped = "stamped";
  const Row rows[] = {
      // b's thumbnail would replace the photo ab.jpg.
      {"a", "jpg", {{"ab.jpg", jpeg({8, 8}, 1)}, {"b.jpg", jpeg({8, 8}, 2)}}, {"ab.jpg"}, ""},
      // An unreadable b.jpg would delete the photo xb.jpg as its stale thumbnail.
      {"x", "jpg", {{"xb.jpg", jpeg({8, 8}, 1)}, {"b.jpg", "not a picture"}}, {"xb.jpg"}, ""},
      {"a", "gif", {{"ab.gif", "GIF89a of the user's own"}, {"b.jpg", jpeg({8, 8}, 2)}}, {"ab.gif"}, ""},
      {"abc", "jpg", {{"abcd.jpg", jpeg({8, 8}, 1)}, {"d.jpg", jpeg({8, 8}, 2)}, {"e.jpg", jpeg({8, 8}, 3)}},
       {"abcd.jpg"}, "e.jpg abce.jpg"},
      // A thumbnail of ours is replaced, and so is an old one named under a two-character prefix.
      {"a", "jpg", {{"ab.jpg", stamped}, {"b.jpg", jpeg({8, 8}, 2)}}, {}, "b.jpg ab.jpg"},
      {"t_", "jpg", {{"t_b.jpg", "an old thumbnail"}, {"b.jpg", jpeg({8, 8}, 2)}}, {}, "b.jpg t_b.jpg"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.files.front().first);
    testing::removeTree(tree.root());
    for (const auto& [name, bytes] : r.files) bytes == stamped ? tree.thumbnail(name) : tree.fileWith(name, bytes);
    settings.sThumbExt = r.thumbExt;
    ASSERT_EQ(create(r.prefix), CommandResult::Ran);
    Lines expected;
    for (const std::string& name : r.cannotWrite) {
      EXPECT_EQ(tree.read(name), r.files.front().second);
      expected.push_back("/" + name);
      expected.push_back("/" + name + ": a picture of that name is in the way");
    }
    EXPECT_EQ(problemLines(), expected);
    std::string cells;
    const std::string text = tree.read("index.html");
    for (auto at = text.find("='"); at != std::string::npos; at = text.find("='", at + 1)) {
      cells += (cells.empty() ? "" : " ") + text.substr(at + 2, text.find('\'', at + 2) - at - 2);
    }
    EXPECT_EQ(cells, r.cells);
  }
}

TEST_F(CreateTest, AnyPrefixMakesNoThumbnailsOfThumbnailsAndRemoveTakesThemAway) {
  for (const std::string prefix : {"a", "abc", "T_", "thumb_", "t_", "photo.jpg"}) {
    SCOPED_TRACE(prefix);
    testing::removeTree(tree.root());
    tree.fileWith("photo.jpg", jpeg({8, 8}, 40));
    tree.fileWith("sea.JPG", jpeg({8, 8}, 80));
    tree.fileWith("Deep/night.jpg", jpeg({8, 8}, 120));
    const Files pictures = filesOf(tree);
    ASSERT_EQ(create(prefix), CommandResult::Ran);
    EXPECT_TRUE(engine.lastRun().complete());
    const Files first = filesOf(tree);
    std::set<std::string> names;
    for (const auto& [name, bytes] : first) names.insert(name);
    std::set<std::string> expected{"Deep/index.html", "Deep/night.jpg", "Deep/" + prefix + "night.jpg", "index.html", "photo.jpg",
                                   prefix + "photo.jpg", prefix + "sea.jpg", "sea.JPG"};
    if (prefix == "photo.jpg") expected.erase(prefix + "photo.jpg");  // a name that is the prefix is a thumbnail's
    EXPECT_EQ(names, expected);
    // A second run renders the same thumbnails again and no more.
    ASSERT_EQ(create(prefix), CommandResult::Ran);
    EXPECT_TRUE(engine.lastRun().complete());
    EXPECT_EQ(filesOf(tree), first);
    settings.sPrefix = prefix;
    ASSERT_EQ(engine.runCommand(Operation::Remove, settings), CommandResult::Ran);
    EXPECT_EQ(filesOf(tree), pictures);
  }
}

TEST_F(CreateTest, AStartFolderWithoutAPageGetsNoHomeLinks) {
  tree.fileWith("A/a.jpg", jpeg({8, 8}));
  tree.folder("index.html");
  ASSERT_EQ(create(), CommandResult::Ran);
  EXPECT_EQ(tree.read("A/index.html").find("Home"), std::string::npos);
}

TEST_F(CreateTest, RunsClearTheTemporaryFilesOfKilledRunsWhereTheyWrite) {
  const pid_t child = ::fork();  // a process that has ended
  if (child == 0) ::_exit(0);
  ASSERT_GT(child, 0);
  ::waitpid(child, nullptr, 0);
  util::ProcessTag dead = util::currentProcessTag();
  dead.pid = child;
  const util::ProcessTag alive = util::currentProcessTag();
  const auto leftover = [](util::TemporaryKind kind, const util::ProcessTag& owner) {
    return util::temporaryFileName(kind, owner, 7, "t_");
  };
  tree.fileWith("a.jpg", jpeg({8, 8}));
  tree.fileWith("Sub/b.jpg", jpeg({8, 8}));
  const std::string deadHere = leftover(util::TemporaryKind::AtomicWrite, dead);
  const std::string liveHere = leftover(util::TemporaryKind::AtomicWrite, alive);
  for (const std::string& name : {deadHere, "Sub/" + deadHere, "Sub/" + liveHere}) tree.file(name, 100);
  const std::string own = util::writableProgramFolder().value();
  const std::string deadBitmap = own + "/" + leftover(util::TemporaryKind::Bitmap, dead);
  const std::string liveBitmap = own + "/" + leftover(util::TemporaryKind::Bitmap, alive);
  for (const std::string& path : {deadBitmap, liveBitmap}) std::ofstream(path) << "";
  // Report writes nothing beside the pictures, so it leaves the tree as it is.
  settings.sFolder = tree.root();
  ASSERT_EQ(engine.runCommand(Operation::Report, settings), CommandResult::Ran);
  EXPECT_TRUE(tree.exists(deadHere));
  EXPECT_FALSE(std::filesystem::exists(deadBitmap));
  ASSERT_EQ(create(), CommandResult::Ran);
  EXPECT_FALSE(tree.exists(deadHere));
  EXPECT_FALSE(tree.exists("Sub/" + deadHere));
  EXPECT_TRUE(tree.exists("Sub/" + liveHere));
  EXPECT_TRUE(std::filesystem::exists(liveBitmap));
  ::unlink(liveBitmap.c_str());
}

}  // namespace
}  // namespace pixelmote::batch
