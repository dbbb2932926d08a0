// Report and Remove runs over real trees, observed through a recording
// frontend: status lines, progress, refusals, Stop, and trees of any size.
#include "batch/engine.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "testsupport/golden.h"
#include "testsupport/recording_frontend.h"
#include "testsupport/temp_tree.h"
#include "util/temp_files.h"

namespace pixelmote::batch {
namespace {

using testing::RecordingFrontend;
using testing::TempTree;
using Lines = std::vector<std::string>;

const std::string kOurPage = "<html><body><center><table border=1><tr></tr></table></center></body></html>\r\n";

void expectGolden(const std::string& name, const std::string& text) {
  testing::expectGolden("batch/testdata/" + name, text);
}

class EngineTest : public ::testing::Test {
 protected:
  EngineTest() : engine(frontend, NumberFormat::english()) {}

  CommandResult run(Operation op, const std::string& folder = "") {
    settings.sFolder = folder.empty() ? tree.root() : folder;
    frontend.calls.clear();
    return engine.runCommand(op, settings);
  }
  // The lines with the tree's root written as "{root}".
  std::string text(const Lines& lines) const {
    std::string out;
    for (std::string line : lines) {
      for (auto at = line.find(tree.root()); at != std::string::npos; at = line.find(tree.root()))
        line.replace(at, tree.root().size(), "{root}");
      out += line + "\n";
    }
    return out;
  }

  TempTree tree;
  RecordingFrontend frontend;
  Engine engine;
  BatchSettings settings;
};

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
}

TEST(PrefixRule, APrefixMustBeAbleToBeginAFileName) {
  const std::pair<std::string, bool> rows[] = {
      {"t_", true},
      {"", true},
      {"\xc3\xa9_", true},
      {"a/b", false},
      {"/", false},
      {std::string("a\0b", 3), false},
      {std::string(util::kLongestProbedPrefix, 'p'), true},
      {std::string(util::kLongestProbedPrefix + 1, 'p'), false},
  };
  for (const auto& [prefix, usable] : rows) EXPECT_EQ(prefixUsable(prefix), usable) << prefix;
}

TEST_F(EngineTest, RefusedRunsSayWhyAndTouchNothing) {
  tree.file("a.jpg", 10);
  tree.file("x/t_a.jpg", 10);
  const std::string tooLong(util::kLongestProbedPrefix + 1, 'p');
  const Lines selectFolder{"controls off", "clear", std::string("message ") + kMsgSelectFolder, "controls on"};
  struct Row {
    Operation op;
    std::string folder;
    std::string prefix;
    Lines calls;
  };
  const Row rows[] = {
      {Operation::Report, "/", "t_", selectFolder},
      {Operation::Remove, tree.path("x") + "/", "t_", selectFolder},
      {Operation::Create, tree.root(), "", {std::string("message ") + kMsgEnterPrefix}},
  };
  std::vector<Row> all(std::begin(rows), std::end(rows));
  for (const Operation op : {Operation::Create, Operation::Remove, Operation::Report}) {
    for (const std::string& prefix : {std::string("x/t_"), tooLong}) {
      all.push_back({op, tree.root(), prefix, {std::string("message ") + kMsgUnusablePrefix}});
    }
  }
  for (const Row& r : all) {
    SCOPED_TRACE(r.folder + " " + r.prefix + " " + std::to_string(static_cast<int>(r.op)));
    frontend.status = {"old line"};
    settings.sPrefix = r.prefix;
    EXPECT_EQ(run(r.op, r.folder), CommandResult::Refused);
    EXPECT_EQ(frontend.calls, r.calls);
    EXPECT_TRUE(frontend.controlsEnabled);
    EXPECT_FALSE(engine.running());
  }
  EXPECT_TRUE(tree.exists("x/t_a.jpg"));
  EXPECT_FALSE(tree.exists("index.html"));
}

// Every call of a few Report runs: the bars move as each sub-folder's walk
// returns, every progress update lets the host handle its events first, Stop
// ends the walk where it is and a second command during a run is ignored.
TEST_F(EngineTest, ProgressStopAndChangesDuringARunGiveTheGoldenCalls) {
  tree.folder("B");
  tree.folder("C");
  std::string calls = "== two empty sub-folders\n";
  ASSERT_EQ(run(Operation::Report), CommandResult::Ran);
  calls += text(frontend.calls);
  frontend.calls.clear();
  engine.Per(12.5, 2);  // bar 2 leaves the title alone
  engine.Per(99.9, 1);  // the label is the whole part
  calls += "== bar 2 at 12.5, bar 1 at 99.9\n" + text(frontend.calls);

  testing::removeTree(tree.root());
  tree.file("a/x.jpg", 1);
  tree.folder("a/a1");
  tree.file("b/y.jpg", 2);
  tree.file("b/sub/z.jpg", 3);
  // Stop at the first progress update, then at the walk's first update (a
  // returned): the unwalked sub-folder still costs its bar update.
  for (int pass : {1, 2}) {
    frontend = RecordingFrontend{};
    frontend.stopAtEventPass = pass;
    ASSERT_EQ(run(Operation::Report), CommandResult::Ran);
    EXPECT_FALSE(engine.state().bStop);  // cleared when the run ends
    calls += "== stop at event pass " + std::to_string(pass) + ", " + std::to_string(engine.state().iFolderCount) +
             " folders recorded\n" + text(frontend.calls);
  }
  // b vanishes once a's walk has returned to the start folder, before the walk reaches it.
  frontend = RecordingFrontend{};
  std::vector<CommandResult> nested;
  frontend.onEvents = [&] {
    if (!nested.empty() || frontend.callsStartingWith("folder").size() < 5) return;
    nested.push_back(engine.runCommand(Operation::Remove, settings));
    testing::removeTree(tree.path("b"));
  };
  ASSERT_EQ(run(Operation::Report), CommandResult::Ran);
  EXPECT_EQ(nested, std::vector<CommandResult>{CommandResult::Ignored});
  calls += "== b removed during the run\n" + text(frontend.calls);
  expectGolden("report_calls.txt", calls);
}

TEST_F(EngineTest, RemoveDeletesOnlyThumbnailsAndOurPages) {
  struct Entry {
    const char* name;
    bool stamped;  // a thumbnail of ours, by its stamp
    bool goes;     // deleted by Remove under the prefix "t_"
  };
  const Entry entries[] = {
      {"dog.jpg", false, false},    {"t_dog.jpg", false, true},  // named exactly as dog.jpg's thumbnail
      {"t_rex.jpg", false, false},  // no rex.jpg, no stamp
      {"T_bone.jpg", false, false},  // a picture to the walker
      {"t_Dog.jpg", false, false},  // not byte for byte dog.jpg's thumbnail name
      {"t_cat.jpg", true, true},    {"T_owl.jpg", true, true},  // ours, whatever the letter case
      {"sea.jpg", false, false},    {"t_sea.gif", true, false},  // not of the source type
      {"sub/t_c.jpg", true, true},  {"sub/t_d.jpg", true, true},
      {"sub/t_e.jpg", true, false},  // after the Stop
      {"sub/x/t_f.jpg", true, false},  // in a folder after the Stop
  };
  for (const Entry& e : entries) {
    if (e.stamped) {
      tree.thumbnail(e.name);
    } else {
      tree.file(e.name, std::string(e.name).size());
    }
  }
  tree.fileWith("index.html", "<html><body>my own page</body></html>\r\n");
  tree.fileWith("sub/index.html", kOurPage);
  // Stop at the second deletion in sub: its page still goes, x is not visited.
  frontend.stopWhen = [](const RecordingFrontend& f) { return f.callsStartingWith("bar 1 33").size() == 1; };
  ASSERT_EQ(run(Operation::Remove), CommandResult::Ran);
  for (const Entry& e : entries) EXPECT_EQ(tree.exists(e.name), !e.goes) << e.name;
  EXPECT_EQ(tree.read("dog.jpg"), std::string(7, 'x'));
  EXPECT_TRUE(tree.exists("index.html"));
  EXPECT_FALSE(tree.exists("sub/index.html"));
  // The walk's counts (T_owl.jpg is a picture to it, t_c.jpg is not), no
  // thumbnail bytes; bar 1 moves on deletions only.
  expectGolden("remove_status.txt", text(frontend.status) + text(frontend.callsStartingWith("bar 1")));

  // Prefixes that match no thumbnail delete nothing; nor does a one-character
  // prefix delete a photo named like a thumbnail under it.
  for (const char* name : {"t_a.jpg", "T_q.jpg", "t_xc.jpg", "ab.jpg", "b.jpg"}) tree.file("other/" + std::string(name), 1);
  for (const char* prefix : {"T_", "", "t", "t_x", "a"}) {
    settings.sPrefix = prefix;
    ASSERT_EQ(run(Operation::Remove, tree.path("other")), CommandResult::Ran);
    EXPECT_EQ(engine.File1().listCount(), 5u) << prefix;
  }
}

// Makes `depth` nested folders named "d" below `root`, relative to each
// other (the chain may go deeper than a full path can name), with a picture
// of 10 bytes at level `pictureAt`.
void makeChain(const std::string& root, int depth, int pictureAt) {
  int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  for (int i = 1; i <= depth; ++i) {
    ASSERT_EQ(::mkdirat(fd, "d", 0755), 0) << i;
    const int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY);
    ::close(fd);
    ASSERT_GE(next, 0);
    fd = next;
    if (i == pictureAt) {
      const int pic = ::openat(fd, "p.jpg", O_WRONLY | O_CREAT, 0644);
      ASSERT_EQ(::write(pic, "0123456789", 10), 10);
      ::close(pic);
    }
  }
  ::close(fd);
}

TEST_F(EngineTest, DeepAndWideTreesAreWalkedWithoutLimits) {
  // 2,100 levels of "/d" pass the 4,096-byte path limit; beside them twenty
  // folders of a thousand each.
  constexpr int kDepth = 2100;
  makeChain(tree.root(), kDepth, 1500);
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

}  // namespace
}  // namespace pixelmote::batch
