// Whole runs over real trees, observed through a recording frontend: Report's
// status lines and progress, refusals, Stop, Remove, trees of any size, and
// Create's pages and thumbnails with any number of jobs and the user's files
// left alone.
#include "batch/engine.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "imaging/codec.h"
#include "imaging/imglib.h"
#include "testsupport/golden.h"
#include "testsupport/recording_frontend.h"
#include "testsupport/temp_tree.h"
#include "util/program_folder.h"
#include "util/temp_files.h"

namespace pixelmote::batch {
namespace {

namespace fs = std::filesystem;
using imaging::Size;
using testing::RecordingFrontend;
using testing::TempTree;
using Files = std::map<std::string, std::string>;
using Lines = std::vector<std::string>;

std::string jpeg(Size size, std::uint8_t shade = 128) {
  return imaging::encodeJpeg(imaging::Raster(size, {shade, 90, 160}), 85, 0).value();
}

class EngineTest : public ::testing::Test {
 protected:
  EngineTest() : engine(frontend, NumberFormat::english()) { imaging::startImaging(); }

  CommandResult run(Operation op, const std::string& folder = "") {
    settings.sFolder = folder.empty() ? tree.root() : folder;
    frontend.calls.clear();
    return engine.runCommand(op, settings, options);
  }

  // Every file below the root (relative) with its bytes.
  Files files() const {
    Files out;
    for (const auto& e : fs::recursive_directory_iterator(tree.root())) {
      const std::string rel = e.path().string().substr(tree.root().size() + 1);
      if (e.is_regular_file()) out[rel] = tree.read(rel);
    }
    return out;
  }
  // Brings the tree back to `before`: files since made go, the others are written again.
  void restore(const Files& before) const {
    for (const auto& [name, bytes] : files()) {
      if (before.count(name) == 0) fs::remove(tree.path(name));
    }
    for (const auto& [name, bytes] : before) {
      if (!tree.exists(name) || tree.read(name) != bytes) tree.fileWith(name, bytes);
    }
  }

  // One line per file that `after` adds ("+"), changes ("*") or lacks ("-") against `before`.
  static std::string changes(const Files& before, const Files& after) {
    std::string out;
    for (const auto& [name, bytes] : after) {
      if (before.count(name) == 0 || before.at(name) != bytes) out += (before.count(name) ? "* " : "+ ") + name + "\n";
    }
    for (const auto& [name, bytes] : before) out += after.count(name) ? "" : "- " + name + "\n";
    return out;
  }

  // The lines, with the tree's root written as "{root}".
  std::string text(const Lines& lines) const {
    std::string out;
    for (std::string line : lines) {
      for (auto at = line.find(tree.root()); at != std::string::npos; at = line.find(tree.root()))
        line.replace(at, tree.root().size(), "{root}");
      out += line + "\n";
    }
    return out;
  }
  // The status lines that name a skipped picture or an unwritten file, and the problems.
  std::string problems() const {
    Lines out;
    for (const std::string& line : frontend.status) {
      if (line.starts_with(kStatusUnreadable) || line.starts_with(kStatusCannotWrite)) out.push_back(line);
    }
    out.insert(out.end(), frontend.problems.begin(), frontend.problems.end());
    return text(out);
  }

  TempTree tree;
  RecordingFrontend frontend;
  Engine engine;
  BatchSettings settings;
  RunOptions options;
};

class CreateTest : public EngineTest {};

void expectGolden(const std::string& name, const std::string& text) {
  testing::expectGolden("batch/testdata/" + name, text);
}

TEST_F(EngineTest, ReportStatusLinesOfOneTreeUnderFourSettings) {
  const std::pair<const char*, std::size_t> files[] = {
      {"a.jpg", 100},     {"b.JPG", 2000},       {"c.gif", 50},        {"t_a.jpg", 10},  // listed, not counted
      {"T_x.jpg", 7},     {"tx.jpg", 4},         {"my.one.jpg", 100},  {"my.two.jpg", 100},
      {"t_my.gif", 5},    {"t_a.gif", 30},       {"t_z.gif", 1000},    {".b.jpg", 1},
      {"B/D/x.jpg", 1536}, {"B/my.photo.jpg", 1048576}, {".hidden/a.jpg", 1}, {"real/x.jpg", 5},
      {"Folder.with.point/z.gif", 16},
  };
  for (const auto& [name, size] : files) tree.file(name, size);
  for (const char* name : {"_x", "A", "a", "C"}) tree.folder(name);
  for (const char* name : {"Z0/big1.jpg", "Z0/big2.jpg"}) {
    ASSERT_EQ(::truncate(tree.file(name).c_str(), 1610612736), 0);  // 1.5 GiB each, sparse
  }
  tree.symlink("loop", ".");
  tree.symlink("linked", "real");
  tree.symlink("pic.jpg", "real/x.jpg");
  tree.symlink("gone.jpg", "nowhere.jpg");
  // The folder list browses elsewhere and lists another type: a run takes
  // its folder and types from its settings.
  engine.setFolderPath(tree.path("B"));
  engine.setSourceType("GIF");

  const std::pair<const char*, void (*)(BatchSettings&)> variants[] = {
      {"jpg pictures, jpg thumbnails, t_", [](BatchSettings&) {}},
      {"gif thumbnails", [](BatchSettings& s) { s.sThumbExt = "gif"; }},
      {"prefix t_x: every listed file counts", [](BatchSettings& s) { s.sPrefix = "t_x"; }},
      {"gif pictures", [](BatchSettings& s) { s.sImageExt = "gif"; }},
  };
  std::string text;
  for (const auto& [name, apply] : variants) {
    settings = BatchSettings{};
    apply(settings);
    ASSERT_EQ(run(Operation::Report), CommandResult::Ran);
    text += std::string("== ") + name + "\n" + this->text(frontend.status);
    EXPECT_EQ(engine.Dir1().path(), tree.root());  // back on the start folder
    EXPECT_TRUE(frontend.controlsEnabled);
  }
  expectGolden("report_status.txt", text);
  EXPECT_EQ(engine.state().FolderTable[6].iDepth, 3);  // B/D

  // Refused runs say why and touch nothing.
  const std::pair<Operation, std::string> refusals[] = {
      {Operation::Report, "/"}, {Operation::Remove, tree.path("B") + "/"}, {Operation::Create, ""},
      {Operation::Create, "x/t_"}, {Operation::Remove, std::string(util::kLongestProbedPrefix + 1, 'p')}};
  text.clear();
  for (const auto& [op, where] : refusals) {
    settings.sPrefix = where.starts_with("/") ? "t_" : where;
    EXPECT_EQ(run(op, where.starts_with("/") ? where : ""), CommandResult::Refused);
    EXPECT_FALSE(engine.running());
    text += this->text({"== refused: " + where}) + this->text(frontend.calls);
  }
  expectGolden("refused_calls.txt", text);
  EXPECT_FALSE(tree.exists("index.html"));
}

TEST_F(EngineTest, DeepAndWideTreesAreWalkedWithoutLimits) {
  // 2,100 levels of "d" pass the 4,096-byte path limit (made relative to
  // each other, with a picture of 10 bytes at level 1,500); beside them
  // twenty folders of a thousand each.
  int fd = ::open(tree.root().c_str(), O_RDONLY | O_DIRECTORY);
  for (int level = 1; level <= 2100; ++level) {
    ASSERT_EQ(::mkdirat(fd, "d", 0755), 0) << level;
    const int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY);
    ::close(fd);
    fd = next;
    if (level == 1500) {
      const int picture = ::openat(fd, "p.jpg", O_WRONLY | O_CREAT, 0644);
      ASSERT_EQ(::write(picture, "0123456789", 10), 10);
      ::close(picture);
    }
  }
  ::close(fd);
  for (int i = 0; i < 20; ++i) {
    const std::string group = tree.folder("g" + std::to_string(i));
    for (int j = 0; j < 1000; ++j) ASSERT_EQ(::mkdir((group + "/f" + std::to_string(j)).c_str(), 0755), 0);
  }
  ASSERT_EQ(run(Operation::Report), CommandResult::Ran);
  // A path names a folder while it fits in 4,096 bytes with its terminating
  // NUL: the levels up to (4095 - the root's length) / 2 are read; the first
  // level beyond is recorded empty and the chain's walk ends there.
  const std::size_t named = (4095 - tree.root().size()) / 2;
  const std::size_t folders = 1 + named + 1 + 20 + 20000;
  EXPECT_EQ(engine.state().iFolderCount, folders);
  EXPECT_EQ(engine.state().FolderTable[named + 2].iDepth, static_cast<int>(named + 2));
  EXPECT_EQ(frontend.status.size(), folders + 2);
  EXPECT_EQ(frontend.status.back(),
            tree.root() + ": " + std::to_string(folders - 1) + " folders, 1 files (10 [0]) - -9.09%");
}

// One tree of odd names and every kind of problem: the pages, thumbnails,
// lines and problems of a run, and the same calls, files and problems with
// any number of jobs.
TEST_F(CreateTest, PagesOfATreeWithEveryKindOfNameAndProblemAreTheSameWithAnyNumberOfJobs) {
  for (const char* name : {"1.jpg", "2.JPG", "it's & <b>.jpg", "caf\xc3\xa9 #1?.jpg", "my.one.jpg", "my.two.jpg",
                           "x.a.jpg", "blocked.jpg", "Night/n.jpg", "Night/Deep/d.jpg", "NoPage/c.jpg"}) {
    tree.fileWith(name, jpeg({40, 24}));
  }
  for (int p = 0; p < 5; ++p) tree.fileWith("Many/p" + std::to_string(p) + ".jpg", jpeg({40 + 13 * p, 30 + 7 * p}));
  tree.fileWith(std::string(251, 'p') + ".jpg", jpeg({8, 8}));  // 255 bytes: its thumbnail's name is too long
  tree.fileWith(std::string(246, 'q') + ".jpg", jpeg({8, 8}));
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
  const Files before = files();
  engine.setFolderPath(tree.root());  // as the last run leaves it
  Lines calls;
  Lines problems;
  Files made;
  for (unsigned jobs : {1u, 2u, 3u, 8u}) {
    restore(before);
    options.jobs = jobs;
    ASSERT_EQ(run(Operation::Create), CommandResult::Ran);
    if (jobs == 1) {
      calls = frontend.calls;
      problems = frontend.problems;
      made = files();
    }
    EXPECT_EQ(frontend.calls, calls) << jobs;  // status lines, bars, titles, event passes
    EXPECT_EQ(frontend.problems, problems) << jobs;
    EXPECT_EQ(files(), made) << jobs;
  }
  // Every call: bars, titles and status lines, each update after an event pass.
  expectGolden("create_calls.txt", text(calls));
  expectGolden("create_index.html", tree.read("index.html"));
  expectGolden("create_deep_index.html", tree.read("Night/Deep/index.html"));
  expectGolden("create_control_index.html", tree.read("two\nlines/index.html"));
  EXPECT_EQ(tree.read("Night/index.html"), "<p>my own page</p>\n");
  expectGolden("create_problems.txt", std::to_string(engine.lastRun().skippedPictures) + " skipped, " +
                                          std::to_string(engine.lastRun().unwrittenFiles) + " not written\n" +
                                          this->problems());
  EXPECT_TRUE(tree.exists("t_x.gif"));
  EXPECT_FALSE(tree.exists("t_bad.gif"));
  EXPECT_EQ(tree.read("t_1.gif").substr(6, 4), std::string("\x0a\0\x06\0", 4));  // 10 x 6
}

TEST_F(CreateTest, StopAtAnyEventPassWithJobsLeavesWhatOneJobLeaves) {
  // The run's thread goes through the same event passes whatever the jobs;
  // what workers made past the point it stopped at is thrown away.
  tree.fileWith("a.jpg", jpeg({64, 48}));
  tree.fileWith("b.jpg", jpeg({40, 88}));
  tree.fileWith("c.jpg", "not a picture");
  tree.fileWith("d/e.jpg", jpeg({72, 40}));
  tree.fileWith("d/f.jpg", jpeg({48, 48}));
  const Files before = files();
  const auto runStoppedAt = [&](int pass, unsigned jobs) {
    restore(before);
    RecordingFrontend stopping;
    stopping.stopAtEventPass = pass;
    Engine run(stopping, NumberFormat::english());
    settings.sFolder = tree.root();
    EXPECT_EQ(run.runCommand(Operation::Create, settings, RunOptions{jobs, false}), CommandResult::Ran);
    return std::pair{stopping.calls, files()};
  };
  const Lines full = runStoppedAt(0, 1).first;
  const int passes = static_cast<int>(std::count(full.begin(), full.end(), "events"));
  ASSERT_GT(passes, 40);
  for (int pass = 1; pass <= passes; ++pass) {
    SCOPED_TRACE("Stop at event pass " + std::to_string(pass));
    ASSERT_EQ(runStoppedAt(pass, 3), runStoppedAt(pass, 1));
  }
}

// Under any prefix: no picture that is not a thumbnail is written over or
// deleted, no thumbnail of a thumbnail is made, a second run makes the same
// files and Remove takes them all away; a start folder without a page gets
// no home links.
TEST_F(CreateTest, AnyPrefixLeavesPicturesAloneMakesNoThumbnailsOfThumbnailsAndRemoveTakesThemAway) {
  struct Row {
    const char* prefix;
    const char* thumbExt;
    Files files;  // beside photo.jpg, sea.JPG and Deep/night.jpg
    std::string expected;  // the files made, problems and the start page's links
  };
  const std::string stamped = "stamped";
  const Row rows[] = {
      // b's thumbnail would replace the photo ab.jpg; an unreadable b.jpg would delete xb.jpg as its stale thumbnail.
      {"a", "jpg", {{"ab.jpg", jpeg({8, 8}, 1)}, {"b.jpg", jpeg({8, 8}, 2)}}, ""},
      {"x", "jpg", {{"xb.jpg", jpeg({8, 8}, 1)}, {"b.jpg", "not a picture"}}, ""},
      {"a", "gif", {{"ab.gif", "GIF89a of the user's own"}, {"b.jpg", jpeg({8, 8}, 2)}}, ""},
      {"abc", "jpg", {{"abcd.jpg", jpeg({8, 8}, 1)}, {"d.jpg", jpeg({8, 8}, 2)}, {"e.jpg", jpeg({8, 8}, 3)}}, ""},
      // A thumbnail of ours is replaced, and so is an old one named under a two-character prefix.
      {"a", "jpg", {{"ab.jpg", stamped}, {"b.jpg", jpeg({8, 8}, 2)}}, ""},
      {"t_", "jpg", {{"t_b.jpg", "an old thumbnail"}, {"b.jpg", jpeg({8, 8}, 2)}}, ""},
      {"T_", "jpg", {}, ""},
      {"thumb_", "jpg", {}, ""},
      {"photo.jpg", "jpg", {}, ""},  // a name that is the prefix is a thumbnail's
      {"t_", "jpg", {{"index.html/x", ""}}, ""},
      // Remove takes our thumbnails by their stamp, whatever the letter case, and leaves the user's page.
      {"t_", "jpg", {{"t_cat.jpg", stamped}, {"T_owl.jpg", stamped}, {"t_rex.jpg", "no rex.jpg, no stamp"},
                     {"t_Photo.jpg", "not photo.jpg's"}, {"t_sea.gif", stamped}, {"Deep/index.html", "<p>mine</p>"}}, ""},
  };
  std::string text;
  for (const Row& r : rows) {
    testing::removeTree(tree.root());
    tree.fileWith("photo.jpg", jpeg({8, 8}, 40));
    tree.fileWith("sea.JPG", jpeg({8, 8}, 80));
    tree.fileWith("Deep/night.jpg", jpeg({8, 8}, 120));
    for (const auto& [name, bytes] : r.files) bytes == stamped ? tree.thumbnail(name) : tree.fileWith(name, bytes);
    const Files before = files();
    settings.sThumbExt = r.thumbExt;
    settings.sPrefix = r.prefix;
    ASSERT_EQ(run(Operation::Create), CommandResult::Ran);
    text += std::string("== prefix ") + r.prefix + ", " + r.thumbExt + " thumbnails, beside";
    for (const auto& [name, bytes] : r.files) text += " " + name;
    text += "\n" + problems();
    const Files first = files();
    text += changes(before, first);
    for (const std::string page : {"index.html", "Deep/index.html"}) {
      const std::string html = first.count(page) ? first.at(page) : "";
      text += page + ":";
      for (auto at = html.find("='"); at != std::string::npos; at = html.find("='", at + 1))
        text += " " + html.substr(at + 2, html.find('\'', at + 2) - at - 2);
      text += "\n";
    }
    // A second run renders the same thumbnails again and no more.
    ASSERT_EQ(run(Operation::Create), CommandResult::Ran);
    EXPECT_EQ(files(), first) << r.prefix;
    ASSERT_EQ(run(Operation::Remove), CommandResult::Ran);
    text += "after Remove:\n" + changes(before, files());
  }
  expectGolden("create_prefixes.txt", text);
}

TEST_F(CreateTest, RunsClearTheTemporaryFilesOfKilledRunsWhereTheyWrite) {
  const pid_t child = ::fork();  // a process that has ended
  if (child == 0) ::_exit(0);
  ASSERT_GT(child, 0);
  ::waitpid(child, nullptr, 0);
  util::ProcessTag dead = util::currentProcessTag();
  dead.pid = child;
  const auto leftover = [](util::TemporaryKind kind, const util::ProcessTag& owner) {
    return util::temporaryFileName(kind, owner, 7, "t_");
  };
  tree.fileWith("a.jpg", jpeg({8, 8}));
  tree.fileWith("Sub/b.jpg", jpeg({8, 8}));
  const std::string deadHere = leftover(util::TemporaryKind::AtomicWrite, dead);
  const std::string liveHere = leftover(util::TemporaryKind::AtomicWrite, util::currentProcessTag());
  for (const std::string& name : {deadHere, "Sub/" + deadHere, "Sub/" + liveHere}) tree.file(name, 100);
  const std::string deadBitmap =
      util::writableProgramFolder().value() + "/" + leftover(util::TemporaryKind::Bitmap, dead);
  std::ofstream(deadBitmap) << "";
  // Report writes nothing beside the pictures, so it leaves the tree as it is.
  ASSERT_EQ(run(Operation::Report), CommandResult::Ran);
  EXPECT_TRUE(tree.exists(deadHere));
  EXPECT_FALSE(fs::exists(deadBitmap));
  ASSERT_EQ(run(Operation::Create), CommandResult::Ran);
  EXPECT_FALSE(tree.exists(deadHere));
  EXPECT_FALSE(tree.exists("Sub/" + deadHere));
  EXPECT_TRUE(tree.exists("Sub/" + liveHere));
}

}  // namespace
}  // namespace pixelmote::batch
