// Report and Remove runs over real trees, observed through a recording frontend.
#include "batch/engine.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "batch/page.h"
#include "testsupport/recording_frontend.h"
#include "testsupport/temp_tree.h"
#include "util/temp_files.h"

namespace pixelmote::batch {
namespace {

using testing::RecordingFrontend;
using testing::TempTree;

const std::string kSeparator(40, '-');

std::string ourPage() { return "<html><body><center><table border=1><tr></tr></table></center></body></html>\r\n"; }

class EngineTest : public ::testing::Test {
 protected:
  EngineTest() : engine(frontend, NumberFormat::english()) {
  }

  CommandResult run(Operation op, const std::string& folder) {
    settings.sFolder = folder;
    frontend.calls.clear();
    return engine.runCommand(op, settings, options);
  }
  CommandResult run(Operation op) { return run(op, tree.root()); }

  // The status lines of the last run.
  const std::vector<std::string>& lines() const { return frontend.status; }

  TempTree tree;
  RecordingFrontend frontend;
  Engine engine;
  BatchSettings settings;
  RunOptions options;
};

TEST_F(EngineTest, ReportListsFoldersDepthFirstWithCountsSizesAndTotals) {
  tree.file("a.jpg", 100);
  tree.file("b.JPG", 2000);      // the pattern ignores case
  tree.file("c.gif", 50);        // not the source type
  tree.file("t_a.jpg", 10);      // an existing thumbnail: listed, not counted
  tree.file("T_x.jpg", 7);       // upper-case T is a picture for the walker
  tree.file("B/D/x.jpg", 1536);
  tree.folder("C");
  tree.file("B/my.photo.jpg", 1048576);

  ASSERT_EQ(run(Operation::Report), CommandResult::Ran);
  const std::string r = tree.root();
  const std::vector<std::string> expected = {
      r + ": 2 folders, 3 files (2k [10])",
      r + "/B: 1 folders, 1 files (1.00M [0])",
      r + "/B/D: 0 folders, 1 files (2k [0])",
      r + "/C: 0 folders, 0 files (0 [0])",
      kSeparator,
      r + ": 3 folders, 5 files (1.00M [10]) - -0.0%",
  };
  EXPECT_EQ(lines(), expected);
  EXPECT_EQ(engine.state().FolderTable[3].iDepth, 3);
  EXPECT_EQ(engine.state().FolderTable[4].iDepth, 2);
  EXPECT_TRUE(frontend.controlsEnabled);
  EXPECT_EQ(engine.Dir1().path(), r);  // back on the start folder
}

TEST_F(EngineTest, EmptyStartFolderGivesOneLineAndMinusOneHundredPercent) {
  ASSERT_EQ(run(Operation::Report), CommandResult::Ran);
  const std::string r = tree.root();
  EXPECT_EQ(lines(), (std::vector<std::string>{r + ": 0 folders, 0 files (0 [0])", kSeparator,
                                               r + ": 0 folders, 0 files (0 [0]) - -100.0%"}));
}

TEST_F(EngineTest, TotalsFigureIsMinusTheThumbnailShare) {
  tree.file("a.jpg", 199);
  tree.file("t_a.jpg", 9);
  ASSERT_EQ(run(Operation::Report), CommandResult::Ran);
  ASSERT_EQ(lines().size(), 3u);
  EXPECT_EQ(lines()[2], tree.root() + ": 0 folders, 1 files (199 [9]) - -5.0%");
}

TEST_F(EngineTest, RootFolderIsRefusedWithControlsEnabledAgain) {
  frontend.status = {"old line"};
  EXPECT_EQ(run(Operation::Report, "/"), CommandResult::Refused);
  EXPECT_EQ(frontend.messages, std::vector<std::string>{"Please select a folder"});
  EXPECT_TRUE(frontend.status.empty());
  EXPECT_TRUE(frontend.controlsEnabled);
  EXPECT_TRUE(frontend.callsStartingWith("bar").empty());
  EXPECT_EQ(frontend.calls, (std::vector<std::string>{"controls off", "clear", "message Please select a folder",
                                                      "controls on"}));
}

TEST_F(EngineTest, CreateWithoutPrefixIsRefusedBeforeAnything) {
  settings.sPrefix = "";
  EXPECT_EQ(run(Operation::Create), CommandResult::Refused);
  EXPECT_EQ(frontend.messages, std::vector<std::string>{"Please enter a thumbnail prefix."});
  EXPECT_TRUE(frontend.callsStartingWith("controls").empty());
}

TEST(PrefixRule, APrefixMustBeAbleToBeginAFileName) {
  EXPECT_TRUE(prefixUsable("t_"));
  EXPECT_TRUE(prefixUsable(""));
  EXPECT_TRUE(prefixUsable("\xc3\xa9_"));
  EXPECT_FALSE(prefixUsable("a/b"));
  EXPECT_FALSE(prefixUsable("/"));
  EXPECT_FALSE(prefixUsable(std::string("a\0b", 3)));
  EXPECT_TRUE(prefixUsable(std::string(util::kLongestProbedPrefix, 'p')));
  EXPECT_FALSE(prefixUsable(std::string(util::kLongestProbedPrefix + 1, 'p')));
}

TEST_F(EngineTest, EveryRunRefusesAPrefixThatCannotBeginAFileName) {
  tree.file("a.jpg", 10);
  tree.file("x/t_a.jpg", 10);
  for (const Operation op : {Operation::Create, Operation::Remove, Operation::Report}) {
    for (const std::string& prefix : {std::string("x/t_"), std::string(util::kLongestProbedPrefix + 1, 'p')}) {
      SCOPED_TRACE(static_cast<int>(op));
      frontend.messages.clear();
      settings.sPrefix = prefix;
      EXPECT_EQ(run(op), CommandResult::Refused);
      EXPECT_EQ(frontend.messages, std::vector<std::string>{kMsgUnusablePrefix});
      EXPECT_TRUE(frontend.callsStartingWith("controls").empty()) << "refused before anything";
    }
  }
  EXPECT_TRUE(tree.exists("x/t_a.jpg"));
  EXPECT_FALSE(tree.exists("index.html"));
}

TEST_F(EngineTest, ARunTakesItsFolderAndTypesFromItsSettings) {
  tree.file("a.gif", 3);
  tree.file("b.jpg", 100);
  tree.file("other/c.jpg", 7);
  // The folder list browses elsewhere and lists another type.
  engine.setFolderPath(tree.path("other"));
  engine.setSourceType("JPG");
  settings.sImageExt = "gif";
  ASSERT_EQ(run(Operation::Report, tree.root()), CommandResult::Ran);
  EXPECT_EQ(lines()[0], tree.root() + ": 1 folders, 1 files (3 [0])");
  EXPECT_EQ(engine.settings().sFolder, tree.root());
  EXPECT_EQ(engine.Dir1().path(), tree.root()) << "the folder list ends on the run's folder";
}

TEST_F(EngineTest, WalkerPictureTestComparesTheFirstTwoCharactersWithTheWholePrefix) {
  tree.file("t_a.jpg", 1);
  tree.file("T_b.jpg", 2);
  tree.file("tx.jpg", 4);
  tree.file("pic.one.two.jpg", 8);
  tree.file("Folder.with.point/z.jpg", 16);

  ASSERT_EQ(run(Operation::Report), CommandResult::Ran);
  EXPECT_EQ(lines()[0], tree.root() + ": 1 folders, 3 files (14 [0])");

  // A prefix of three characters never matches: every listed file counts.
  settings.sPrefix = "t_x";
  ASSERT_EQ(run(Operation::Report), CommandResult::Ran);
  EXPECT_EQ(lines()[0], tree.root() + ": 1 folders, 4 files (15 [0])");
}

TEST_F(EngineTest, GifSourceListsOnlyGifFiles) {
  tree.file("a.gif", 3);
  tree.file("b.GIF", 4);
  tree.file("c.jpg", 100);
  settings.sImageExt = "gif";
  ASSERT_EQ(run(Operation::Report), CommandResult::Ran);
  EXPECT_EQ(lines()[0], tree.root() + ": 0 folders, 2 files (7 [0])");
}

TEST_F(EngineTest, ReportMeasuresTheThumbnailsCreateWouldWrite) {
  tree.file("a.jpg", 100);
  tree.file("t_a.gif", 30);
  tree.file("my.one.jpg", 100);
  tree.file("my.two.jpg", 100);
  tree.file("t_my.gif", 5);  // shared by both my.* pictures, so counted twice
  tree.file("t_z.gif", 1000);  // no picture z: not a thumbnail of this run
  settings.sThumbExt = "gif";
  ASSERT_EQ(run(Operation::Report), CommandResult::Ran);
  EXPECT_EQ(lines()[0], tree.root() + ": 0 folders, 3 files (300 [40])");
}

TEST_F(EngineTest, FolderOrderFoldsCaseAndBreaksTiesByBytes) {
  for (const char* name : {"b", "a", "C", "A", "_x", "Z0"}) tree.folder(name);
  ASSERT_EQ(run(Operation::Report), CommandResult::Ran);
  std::vector<std::string> order;
  for (std::size_t i = 1; i + 2 < lines().size(); ++i) order.push_back(lines()[i].substr(tree.root().size() + 1));
  // "_" (0x5F) comes before the folded letters; "A" and "a" tie when folded.
  EXPECT_EQ(order, (std::vector<std::string>{"_x: 0 folders, 0 files (0 [0])", "A: 0 folders, 0 files (0 [0])",
                                             "a: 0 folders, 0 files (0 [0])", "b: 0 folders, 0 files (0 [0])",
                                             "C: 0 folders, 0 files (0 [0])", "Z0: 0 folders, 0 files (0 [0])"}));
}

TEST_F(EngineTest, HiddenNamesAndLinkedFoldersAreNotWalked) {
  tree.file(".hidden/a.jpg", 1);
  tree.file(".b.jpg", 1);
  tree.file("real/x.jpg", 5);
  tree.symlink("loop", ".");             // a folder link back up: never walked
  tree.symlink("linked", "real");        // a folder link: not listed
  tree.symlink("pic.jpg", "real/x.jpg");  // a file link: listed, target's size
  tree.symlink("gone.jpg", "nowhere.jpg");
  ASSERT_EQ(run(Operation::Report), CommandResult::Ran);
  const std::string r = tree.root();
  EXPECT_EQ(lines(), (std::vector<std::string>{r + ": 1 folders, 1 files (5 [0])",
                                               r + "/real: 0 folders, 1 files (5 [0])", kSeparator,
                                               r + ": 1 folders, 2 files (10 [0]) - -9.09%"}));
}

TEST_F(EngineTest, ByteCountsBeyondTwoGigabytesAreSummedIn64Bits) {
  for (const char* name : {"big1.jpg", "sub/big2.jpg"}) {
    const std::string p = tree.file(name, 0);
    ASSERT_EQ(::truncate(p.c_str(), 1610612736), 0);  // 1.5 GiB, sparse
  }
  ASSERT_EQ(run(Operation::Report), CommandResult::Ran);
  EXPECT_EQ(lines()[0], tree.root() + ": 1 folders, 1 files (1.50G [0])");
  EXPECT_EQ(lines()[3], tree.root() + ": 1 folders, 2 files (3.00G [0]) - -0.0%");
}

// --- progress and title -------------------------------------------------

TEST_F(EngineTest, ProgressBarsAndTitleFollowTheRun) {
  tree.folder("B");
  tree.folder("C");
  ASSERT_EQ(run(Operation::Report), CommandResult::Ran);
  const std::string r = tree.root();
  // Bar 1 moves as each sub-folder's walk returns: 0 of 2, then 1 of 2.
  EXPECT_EQ(frontend.callsStartingWith("bar 1"), (std::vector<std::string>{"bar 1 0 0", "bar 1 50 50", "bar 1 0 0"}));
  EXPECT_EQ(frontend.callsStartingWith("bar 0"),
            (std::vector<std::string>{"bar 0 0 0", "bar 0 33.33333333 33", "bar 0 66.66666667 66", "bar 0 100 100",
                                      "bar 0 0 0"}));
  EXPECT_EQ(frontend.callsStartingWith("bar 2"), std::vector<std::string>{"bar 2 0 0"});
  const auto titles = frontend.callsStartingWith("title");
  EXPECT_NE(std::find(titles.begin(), titles.end(), "title Pixelmote - 33.3333333333333% " + r), titles.end());
  EXPECT_NE(std::find(titles.begin(), titles.end(), "title Pixelmote - 66.6666666666667% " + r + "/B"), titles.end());
  EXPECT_NE(std::find(titles.begin(), titles.end(), "title Pixelmote - 100% " + r + "/C"), titles.end());
  EXPECT_EQ(frontend.title, "Pixelmote - " + r);  // idle form once the bars are emptied
  // Every progress update lets the host handle its events first.
  for (std::size_t i = 0; i < frontend.calls.size(); ++i) {
    if (frontend.calls[i].rfind("bar", 0) == 0) {
      EXPECT_EQ(frontend.calls[i - 1], "events") << i;
    }
  }
}

TEST_F(EngineTest, PerSetsLabelsAndTitleAsDocumented) {
  engine.setFolderPath(tree.root());
  engine.Per(12.5, 2);
  EXPECT_EQ(frontend.calls.back(), "bar 2 12.5 12");
  EXPECT_EQ(frontend.title, "");  // bar 2 leaves the title alone
  engine.Per(100, 0);
  EXPECT_EQ(frontend.title, "Pixelmote - 100% " + tree.root());
  engine.Per(99.9, 1);
  EXPECT_EQ(frontend.calls.back(), "bar 1 99.9 99");
  engine.Per(0, 1);
  EXPECT_EQ(frontend.title, "Pixelmote - " + tree.root());
}

// --- Stop -----------------------------------------------------------------

TEST_F(EngineTest, StopAtTheFirstProgressUpdateRecordsNoFolder) {
  tree.file("a.jpg", 10);
  tree.folder("B");
  frontend.stopAtEventPass = 1;
  ASSERT_EQ(run(Operation::Report), CommandResult::Ran);
  const std::string r = tree.root();
  EXPECT_EQ(lines(), (std::vector<std::string>{kSeparator, r + ": 0 folders, 0 files (0 [0]) - -100.0%"}));
  EXPECT_EQ(engine.state().iFolderCount, 0u);
  EXPECT_FALSE(engine.state().bStop);  // cleared when the run ends
}

TEST_F(EngineTest, StopDuringTheWalkKeepsTheFoldersRecordedSoFar) {
  tree.folder("a/a1");
  tree.folder("b");
  tree.folder("c");
  // The second event pass is the walk's first progress update, after a's walk.
  frontend.stopAtEventPass = 2;
  ASSERT_EQ(run(Operation::Report), CommandResult::Ran);
  const std::string r = tree.root();
  EXPECT_EQ(engine.state().iFolderCount, 3u);  // the start folder, a and a1
  EXPECT_EQ(lines(), (std::vector<std::string>{r + ": 3 folders, 0 files (0 [0])", kSeparator,
                                               r + ": 3 folders, 0 files (0 [0]) - -100.0%"}));
  // The unwalked sub-folders still cost their bar updates; the last is the
  // run's closing reset.
  EXPECT_EQ(frontend.callsStartingWith("bar 1"),
            (std::vector<std::string>{"bar 1 0 0", "bar 1 0 0", "bar 1 33.33333333 33", "bar 1 66.66666667 66",
                                      "bar 1 0 0"}));
}

TEST_F(EngineTest, SecondCommandDuringARunIsIgnored) {
  tree.folder("B");
  std::vector<CommandResult> nested;
  frontend.onEvents = [&] {
    if (nested.empty()) nested.push_back(engine.runCommand(Operation::Remove, settings));
  };
  ASSERT_EQ(run(Operation::Report), CommandResult::Ran);
  EXPECT_EQ(nested, std::vector<CommandResult>{CommandResult::Ignored});
  EXPECT_EQ(lines().size(), 4u);
  EXPECT_FALSE(engine.running());
}

TEST_F(EngineTest, FolderThatVanishesDuringTheWalkIsRecordedEmpty) {
  tree.file("a/x.jpg", 1);
  tree.file("b/y.jpg", 2);
  tree.file("b/sub/z.jpg", 3);
  bool removed = false;
  frontend.onEvents = [&] {
    // After a's walk returns, b disappears before the walk reaches it.
    if (!removed && frontend.callsStartingWith("folder").size() >= 3) {
      testing::removeTree(tree.path("b"));
      removed = true;
    }
  };
  ASSERT_EQ(run(Operation::Report), CommandResult::Ran);
  ASSERT_TRUE(removed);
  const std::string r = tree.root();
  EXPECT_EQ(lines(), (std::vector<std::string>{r + ": 2 folders, 0 files (0 [0])", r + "/a: 0 folders, 1 files (1 [0])",
                                               r + "/b: 0 folders, 0 files (0 [0])", kSeparator,
                                               r + ": 2 folders, 1 files (1 [0]) - -50.0%"}));
}

// --- Remove ---------------------------------------------------------------

TEST_F(EngineTest, RemoveDeletesThumbnailsOfTheSourceTypeAndOurPages) {
  tree.file("a.jpg", 10);
  tree.file("b.jpg", 10);
  tree.file("t_a.jpg", 3);   // named as a.jpg's thumbnail
  tree.file("T_b.jpg", 3);   // not b.jpg's thumbnail name, and a picture to the walker: stays
  tree.file("t_a.gif", 3);   // the other type is not listed: stays
  tree.fileWith("index.html", ourPage());
  tree.thumbnail("sub/t_c.jpg");  // ours by its stamp
  tree.fileWith("sub/index.html", "<html><body>my own page</body></html>\r\n");  // hand-written: stays

  ASSERT_EQ(run(Operation::Remove), CommandResult::Ran);
  EXPECT_TRUE(tree.exists("a.jpg"));
  EXPECT_TRUE(tree.exists("b.jpg"));
  EXPECT_FALSE(tree.exists("t_a.jpg"));
  EXPECT_TRUE(tree.exists("T_b.jpg"));
  EXPECT_TRUE(tree.exists("t_a.gif"));
  EXPECT_FALSE(tree.exists("index.html"));
  EXPECT_FALSE(tree.exists("sub/t_c.jpg"));
  EXPECT_TRUE(tree.exists("sub/index.html"));
  const std::string r = tree.root();
  // Counts are those of the walk, before the deletions (T_b.jpg is a picture
  // to the walker, t_c.jpg is not); thumbnail bytes are 0.
  EXPECT_EQ(lines(), (std::vector<std::string>{r + ": 1 folders, 3 files (23 [0])", r + "/sub: 0 folders, 0 files (0 [0])",
                                               kSeparator, r + ": 1 folders, 3 files (23 [0]) - -4.17%"}));
  // The file list no longer shows the deleted files.
  EXPECT_EQ(engine.File1().listCount(), 3u);
}

TEST_F(EngineTest, RemoveMovesBarOneOnlyOnDeletions) {
  tree.file("a.jpg");
  tree.file("b.jpg");
  tree.file("t_a.jpg");
  tree.file("t_b.jpg");
  ASSERT_EQ(run(Operation::Remove), CommandResult::Ran);
  // Per(0) at the start, then 3/4 and 4/4: t_b.jpg is the last name listed.
  EXPECT_EQ(frontend.callsStartingWith("bar 1"),
            (std::vector<std::string>{"bar 1 0 0", "bar 1 75 75", "bar 1 100 100", "bar 1 0 0"}));
}

TEST_F(EngineTest, RemoveWithAPrefixThatCannotMatchDeletesNothing) {
  tree.file("t_a.jpg");
  tree.file("T_b.jpg");
  tree.file("t_xc.jpg");
  for (const char* prefix : {"T_", "", "t", "t_x"}) {
    settings.sPrefix = prefix;
    ASSERT_EQ(run(Operation::Remove), CommandResult::Ran);
    EXPECT_TRUE(tree.exists("t_a.jpg")) << prefix;
    EXPECT_TRUE(tree.exists("T_b.jpg")) << prefix;
    EXPECT_TRUE(tree.exists("t_xc.jpg")) << prefix;
  }
}

TEST_F(EngineTest, StopInsideRemoveEndsAfterTheNextDeletion) {
  tree.thumbnail("t_a.jpg");
  tree.thumbnail("t_b.jpg");
  tree.thumbnail("t_c.jpg");
  tree.fileWith("index.html", ourPage());
  tree.thumbnail("sub/t_d.jpg");
  // The Remove run's event passes: 1 (start), 2 (walk: sub returned),
  // 3 (Remove's Per 0), 4 (after the first deletion).
  frontend.stopAtEventPass = 4;
  ASSERT_EQ(run(Operation::Remove), CommandResult::Ran);
  EXPECT_FALSE(tree.exists("t_a.jpg"));
  EXPECT_TRUE(tree.exists("t_b.jpg"));  // the stop test follows the first deletion
  EXPECT_TRUE(tree.exists("t_c.jpg"));
  EXPECT_FALSE(tree.exists("index.html"));  // the folder is still completed
  EXPECT_TRUE(tree.exists("sub/t_d.jpg"));  // later folders are not visited
  const std::string r = tree.root();
  EXPECT_EQ(lines(), (std::vector<std::string>{r + ": 1 folders, 0 files (0 [0])", kSeparator,
                                               r + ": 1 folders, 0 files (0 [0]) - -100.0%"}));
}

TEST_F(EngineTest, RemoveOfAPageThatCannotBeReadLeavesIt) {
  tree.folder("index.html");  // a folder of that name is not a page
  ASSERT_EQ(run(Operation::Remove), CommandResult::Ran);
  EXPECT_TRUE(tree.exists("index.html"));
}

// --- page assembly ----------------------------------------------------------

TEST_F(EngineTest, PageTextOfTheLastFolderHasLinksAndHomeLink) {
  tree.folder("deep/Night");
  tree.folder("deep/It's & more");
  settings.iBorder = 3;
  ASSERT_EQ(run(Operation::Report, tree.path("deep")), CommandResult::Ran);
  // The last folder processed is "Night" (depth 2): no sub-folders, a Home link.
  EXPECT_EQ(engine.state().sHTML,
            "<html><body><center><a href='..\\index.html'>Home</a><br><table border=3><tr></tr></table>"
            "</center></body></html>");
  ASSERT_EQ(run(Operation::Report, tree.path("deep/Night")), CommandResult::Ran);
  EXPECT_EQ(engine.state().sHTML,
            "<html><body><center><table border=3><tr></tr></table></center></body></html>");
}

TEST_F(EngineTest, LinksLineNamesEverySubFolderEscaped) {
  tree.folder("It's & more");
  tree.folder("Night");
  // Stop in the first folder's progress update (event pass 4: the run's
  // start, two walk updates, then folder 1), so its page is the last one.
  frontend.stopAtEventPass = 4;
  ASSERT_EQ(run(Operation::Report), CommandResult::Ran);
  EXPECT_EQ(engine.state().sHTML,
            "<html><body><center><a href='It&#39;s &amp; more/index.html'>It&#39;s &amp; more</a> | "
            "<a href='Night/index.html'>Night</a> | <table border=1><tr></tr></table></center></body></html>");
  EXPECT_EQ(lines().size(), 3u);
}

// --- size of trees ----------------------------------------------------------

// Makes `depth` nested folders named "d" below `root`, relative to each
// other, so the chain may go deeper than a full path can name.
void makeChain(const std::string& root, int depth) {
  int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  for (int i = 0; i < depth; ++i) {
    ASSERT_EQ(::mkdirat(fd, "d", 0755), 0) << i;
    const int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY);
    ::close(fd);
    ASSERT_GE(next, 0);
    fd = next;
  }
  const int pic = ::openat(fd, "p.jpg", O_WRONLY | O_CREAT, 0644);
  ASSERT_EQ(::write(pic, "0123456789", 10), 10);
  ::close(pic);
  ::close(fd);
}

TEST_F(EngineTest, DeepTreeIsWalkedWithoutRecursionLimits) {
  constexpr int kDepth = 1500;
  makeChain(tree.root(), kDepth);
  ASSERT_EQ(run(Operation::Report), CommandResult::Ran);
  ASSERT_EQ(engine.state().iFolderCount, static_cast<std::size_t>(kDepth + 1));
  EXPECT_EQ(engine.state().FolderTable.back().iDepth, kDepth + 1);
  EXPECT_EQ(lines().back(), tree.root() + ": " + std::to_string(kDepth) + " folders, 1 files (10 [0]) - -9.09%");
}

TEST_F(EngineTest, FoldersBeyondTheLongestPathAreRecordedEmpty) {
  // 2,100 levels of "/d" pass the 4,096-byte path limit: the folders that
  // cannot be named are recorded with nothing in them, and the run ends.
  constexpr int kDepth = 2100;
  makeChain(tree.root(), kDepth);
  ASSERT_EQ(run(Operation::Report), CommandResult::Ran);
  // A path names a folder while it fits in 4,096 bytes with its terminating
  // NUL: the start folder and the levels up to (4095 - its length) / 2 are
  // read; the first level beyond is recorded empty and the walk ends there.
  const std::size_t named = (4095 - tree.root().size()) / 2;
  EXPECT_EQ(engine.state().iFolderCount, 1 + named + 1);
  EXPECT_EQ(lines().back().find(" files (0 [0]) - -100.0%") != std::string::npos, true) << lines().back();
}

TEST_F(EngineTest, TwentyThousandFoldersRun) {
  for (int i = 0; i < 20; ++i) {
    const std::string group = tree.folder("g" + std::to_string(i));
    for (int j = 0; j < 1000; ++j) ASSERT_EQ(::mkdir((group + "/f" + std::to_string(j)).c_str(), 0755), 0);
  }
  ASSERT_EQ(run(Operation::Report), CommandResult::Ran);
  EXPECT_EQ(engine.state().iFolderCount, 20021u);
  EXPECT_EQ(lines().size(), 20023u);
  EXPECT_EQ(lines().back(), tree.root() + ": 20020 folders, 0 files (0 [0]) - -100.0%");
}

}  // namespace
}  // namespace pixelmote::batch
