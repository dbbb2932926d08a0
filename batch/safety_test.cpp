// Runs over folders people really have: pictures whose names collide with
// thumbnail names, photos that begin with the prefix, prefixes of any
// length, pages that cannot be written, names with control characters.
// None of them may cost the user a file.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "batch/engine.h"
#include "batch/page.h"
#include "imaging/codec.h"
#include "imaging/imglib.h"
#include "imaging/render.h"
#include "testsupport/recording_frontend.h"
#include "testsupport/temp_tree.h"
#include "util/path.h"
#include "util/program_folder.h"
#include "util/temp_files.h"

namespace pixelmote::batch {
namespace {

namespace fs = std::filesystem;
using testing::RecordingFrontend;
using testing::TempTree;

std::string photo(std::uint8_t shade) {
  return imaging::encodeJpeg(imaging::Raster(imaging::Size{48, 32}, imaging::Rgb{shade, 90, 160}), 85, 0).value();
}

// Every file below `root` (relative path) with its bytes.
std::map<std::string, std::string> filesBelow(const TempTree& tree) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(tree.root())) {
    if (!e.is_regular_file()) continue;
    const std::string rel = e.path().string().substr(tree.root().size() + 1);
    out[rel] = tree.read(rel);
  }
  return out;
}

std::set<std::string> namesOf(const std::map<std::string, std::string>& files) {
  std::set<std::string> out;
  for (const auto& [name, bytes] : files) out.insert(name);
  return out;
}

class SafetyTest : public ::testing::Test {
 protected:
  SafetyTest() : engine(frontend, NumberFormat::english()) {
    imaging::startImaging();
  }

  CommandResult run(const TempTree& tree, Operation op, const std::string& prefix = "t_") {
    settings.sPrefix = prefix;
    settings.sFolder = tree.root();
    return engine.runCommand(op, settings, options);
  }
  bool hasStatus(const std::string& line) const {
    return std::find(frontend.status.begin(), frontend.status.end(), line) != frontend.status.end();
  }

  RecordingFrontend frontend;
  Engine engine;
  BatchSettings settings;
  RunOptions options;
};

// --- Create next to files that bear a thumbnail's name ---------------------

TEST_F(SafetyTest, CreateNeverWritesOverNorDeletesAPictureThatIsNotAThumbnail) {
  struct Case {
    const char* name;
    std::string prefix;
    std::string thumbType;
    std::function<void(const TempTree&)> make;
    std::vector<std::string> kept;       // files that must keep their bytes
    std::vector<std::string> cannotWrite;  // the "Cannot write" lines, relative
    std::string cells;                   // the page's cells, as picture names
  };
  const std::vector<Case> cases = {
      {"b's thumbnail would replace the photo ab.jpg", "a", "JPG",
       [](const TempTree& t) {
         t.fileWith("ab.jpg", photo(10));
         t.fileWith("b.jpg", photo(20));
       },
       {"ab.jpg", "b.jpg"}, {"ab.jpg"}, ""},
      {"an unreadable b.jpg would delete the photo xb.jpg as its stale thumbnail", "x", "JPG",
       [](const TempTree& t) {
         t.fileWith("xb.jpg", photo(10));
         t.fileWith("b.jpg", "not a picture");
       },
       {"xb.jpg", "b.jpg"}, {"xb.jpg"}, ""},
      {"a GIF of the user's own under a GIF thumbnail's name", "a", "GIF",
       [](const TempTree& t) {
         t.fileWith("ab.gif", "GIF89a of the user's own");
         t.fileWith("b.jpg", photo(20));
       },
       {"ab.gif"}, {"ab.gif"}, ""},
      {"a three-character prefix: a photo named like a thumbnail", "abc", "JPG",
       [](const TempTree& t) {
         t.fileWith("abcd.jpg", photo(10));
         t.fileWith("d.jpg", photo(20));
         t.fileWith("e.jpg", photo(30));
       },
       {"abcd.jpg", "d.jpg", "e.jpg"}, {"abcd.jpg"}, "e.jpg"},
      {"a thumbnail of ours under that name is replaced", "a", "JPG",
       [](const TempTree& t) {
         t.thumbnail("ab.jpg");
         t.fileWith("b.jpg", photo(20));
       },
       {"b.jpg"}, {}, "b.jpg"},
      {"two-character prefix: an old thumbnail without a stamp is replaced as always", "t_", "JPG",
       [](const TempTree& t) {
         t.fileWith("t_b.jpg", "an old thumbnail");
         t.fileWith("b.jpg", photo(20));
       },
       {"b.jpg"}, {}, "b.jpg"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempTree tree;
    c.make(tree);
    const auto before = filesBelow(tree);
    settings.sThumbExt = util::asciiLower(c.thumbType);
    ASSERT_EQ(run(tree, Operation::Create, c.prefix), CommandResult::Ran);
    for (const std::string& name : c.kept) EXPECT_EQ(tree.read(name), before.at(name)) << name;

    std::vector<std::string> cannot;
    for (const std::string& line : frontend.status) {
      if (line.rfind(kStatusCannotWrite, 0) == 0) cannot.push_back(line.substr(std::string(kStatusCannotWrite).size()));
    }
    std::vector<std::string> expected;
    for (const std::string& name : c.cannotWrite) expected.push_back(tree.path(name));
    EXPECT_EQ(cannot, expected);
    EXPECT_EQ(engine.lastRun().unwrittenFiles, c.cannotWrite.size());
    for (const std::string& name : c.cannotWrite) {
      EXPECT_NE(std::find(frontend.problems.begin(), frontend.problems.end(),
                          tree.path(name) + ": a picture of that name is in the way"),
                frontend.problems.end());
    }

    // The page holds a cell for each thumbnail written, and only for those.
    std::string cells;
    const std::string pageText = tree.read("index.html");
    for (std::size_t at = pageText.find("<a href='"); at != std::string::npos; at = pageText.find("<a href='", at + 1)) {
      const auto end = pageText.find('\'', at + 9);
      cells += (cells.empty() ? "" : " ") + pageText.substr(at + 9, end - at - 9);
    }
    EXPECT_EQ(cells, c.cells);
    settings.sThumbExt = "jpg";
  }
}

// --- Remove ------------------------------------------------------------------

TEST_F(SafetyTest, RemoveDeletesOnlyThumbnails) {
  TempTree tree;
  struct Entry {
    const char* name;
    bool stamped;  // a thumbnail of ours, by its stamp
    bool goes;     // deleted by Remove under the prefix "t_"
  };
  const Entry entries[] = {
      {"dog.jpg", false, false},        // a picture
      {"t_dog.jpg", false, true},       // named exactly as dog.jpg's thumbnail: an older one
      {"t_rex.jpg", false, false},      // a dinosaur: no rex.jpg here, no stamp
      {"T_bone.jpg", false, false},     // a picture to the walker too
      {"t_Dog.jpg", false, false},      // not byte for byte dog.jpg's thumbnail name
      {"t_cat.jpg", true, true},        // ours, its picture gone
      {"T_owl.jpg", true, true},        // ours, whatever the letter case
      {"sea.jpg", false, false},
      {"t_sea.jpg", true, true},        // ours, beside its picture
      {"t_sea.gif", true, false},       // not of the source type: not examined
  };
  for (const Entry& e : entries) {
    if (e.stamped) {
      tree.thumbnail(e.name);
    } else {
      tree.fileWith(e.name, photo(static_cast<std::uint8_t>(std::string(e.name).size())));
    }
  }
  const auto before = filesBelow(tree);
  ASSERT_EQ(run(tree, Operation::Remove), CommandResult::Ran);
  for (const Entry& e : entries) {
    EXPECT_EQ(tree.exists(e.name), !e.goes) << e.name;
    if (!e.goes) {
      EXPECT_EQ(tree.read(e.name), before.at(e.name)) << e.name;
    }
  }
  // Kept files cost no line: Remove says nothing about a user's files.
  EXPECT_EQ(frontend.status.size(), 3u);
}

TEST_F(SafetyTest, RemoveUnderAOneCharacterPrefixKeepsAPhotoNamedLikeAThumbnail) {
  TempTree tree;
  // "ab.jpg" is b.jpg's thumbnail name under "a", but the walker counts it
  // as a picture, so only a stamp makes it ours.
  tree.fileWith("ab.jpg", photo(1));
  tree.fileWith("b.jpg", photo(2));
  tree.thumbnail("ac.jpg");
  tree.fileWith("c.jpg", photo(3));
  ASSERT_EQ(run(tree, Operation::Remove, "a"), CommandResult::Ran);
  EXPECT_TRUE(tree.exists("ab.jpg"));
  EXPECT_FALSE(tree.exists("ac.jpg"));
  EXPECT_TRUE(tree.exists("b.jpg"));
  EXPECT_TRUE(tree.exists("c.jpg"));
}

TEST_F(SafetyTest, RemoveWithoutAPrefixDeletesNothing) {
  TempTree tree;
  tree.thumbnail("t_a.jpg");
  tree.fileWith("a.jpg", photo(3));
  ASSERT_EQ(run(tree, Operation::Remove, ""), CommandResult::Ran);
  EXPECT_TRUE(tree.exists("t_a.jpg"));
  EXPECT_TRUE(tree.exists("a.jpg"));
}

// --- prefixes of any length ---------------------------------------------------

TEST_F(SafetyTest, AnyPrefixMakesNoThumbnailsOfThumbnailsAndRemoveTakesThemAway) {
  for (const std::string prefix : {"a", "abc", "T_", "thumb_", "t_"}) {
    SCOPED_TRACE(prefix);
    TempTree tree;
    tree.fileWith("photo.jpg", photo(40));
    tree.fileWith("sea.JPG", photo(80));
    tree.fileWith("Deep/night.jpg", photo(120));
    const auto pictures = filesBelow(tree);

    ASSERT_EQ(run(tree, Operation::Create, prefix), CommandResult::Ran);
    EXPECT_TRUE(engine.lastRun().complete());
    const auto first = filesBelow(tree);
    const std::set<std::string> expected = {"photo.jpg", "sea.JPG", "Deep/night.jpg", prefix + "photo.jpg",
                                            prefix + "sea.jpg", "Deep/" + prefix + "night.jpg", "index.html",
                                            "Deep/index.html"};
    EXPECT_EQ(namesOf(first), expected);

    // A second run renders the same thumbnails again and no more.
    ASSERT_EQ(run(tree, Operation::Create, prefix), CommandResult::Ran);
    EXPECT_TRUE(engine.lastRun().complete());
    EXPECT_EQ(filesBelow(tree), first);

    ASSERT_EQ(run(tree, Operation::Remove, prefix), CommandResult::Ran);
    EXPECT_EQ(filesBelow(tree), pictures);
  }
}

// --- pages link only to pages that exist ---------------------------------------

TEST_F(SafetyTest, PagesLinkOnlyToPagesThatExist) {
  const std::string handWritten = "<p>my own page</p>\n";
  struct Case {
    const char* name;
    std::function<void(const TempTree&)> make;
    std::string rootLinks;  // the start page's links line
    bool homeLinks;         // the sub-folders' pages link Home
  };
  const std::vector<Case> cases = {
      {"every page written", [](const TempTree&) {},
       page::folderLink("A") + page::folderLink("B"), true},
      {"a sub-folder whose page cannot be written", [](const TempTree& t) { t.folder("A/index.html"); },
       page::folderLink("B"), true},
      {"a sub-folder with a page of its own", [&](const TempTree& t) { t.fileWith("A/index.html", handWritten); },
       page::folderLink("A") + page::folderLink("B"), true},
      {"a start folder whose page cannot be written", [](const TempTree& t) { t.folder("index.html"); }, "",
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempTree tree;
    tree.fileWith("A/a.jpg", photo(1));
    tree.fileWith("B/b.jpg", photo(2));
    c.make(tree);
    ASSERT_EQ(run(tree, Operation::Create), CommandResult::Ran);
    if (fs::is_regular_file(tree.path("index.html"))) {
      EXPECT_EQ(tree.read("index.html"), std::string(page::kHead) + c.rootLinks +
                                             "<table border=1><tr></tr></table></center></body></html>\r\n");
    }
    const std::string home = page::homeLink(2);
    EXPECT_EQ(tree.read("B/index.html").find(home) != std::string::npos, c.homeLinks);
  }
  // The page of its own is left as it was, and said so.
  EXPECT_EQ(engine.lastRun().unwrittenFiles, 1u);
}

TEST_F(SafetyTest, AHandWrittenPageIsKeptAndReported) {
  TempTree tree;
  tree.fileWith("index.html", "<html><body>my album</body></html>\r\n");
  tree.fileWith("a.jpg", photo(5));
  ASSERT_EQ(run(tree, Operation::Create), CommandResult::Ran);
  EXPECT_EQ(tree.read("index.html"), "<html><body>my album</body></html>\r\n");
  EXPECT_TRUE(hasStatus(std::string(kStatusCannotWrite) + tree.path("index.html")));
  EXPECT_EQ(frontend.problems,
            std::vector<std::string>{tree.path("index.html") + ": an index.html not written by Pixelmote is in the way"});
  EXPECT_FALSE(engine.lastRun().complete());
}

// --- temporary files of killed runs -------------------------------------------------

TEST_F(SafetyTest, RunsClearTheTemporaryFilesOfKilledRunsWhereTheyWrite) {
  // A process that has ended, and this one, which is alive.
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ASSERT_GT(child, 0);
  ::waitpid(child, nullptr, 0);
  util::ProcessTag dead = util::currentProcessTag();
  dead.pid = child;
  const util::ProcessTag alive = util::currentProcessTag();
  const auto leftover = [](util::TemporaryKind kind, const util::ProcessTag& owner) {
    return util::temporaryFileName(kind, owner, 7, "t_");
  };

  TempTree tree;
  tree.fileWith("a.jpg", photo(9));
  tree.fileWith("Sub/b.jpg", photo(19));
  const std::string deadHere = leftover(util::TemporaryKind::AtomicWrite, dead);
  const std::string liveHere = leftover(util::TemporaryKind::AtomicWrite, alive);
  tree.file(deadHere, 100);
  tree.file("Sub/" + deadHere, 100);
  tree.file("Sub/" + liveHere, 100);
  const std::string own = util::writableProgramFolder().value();
  const std::string deadBitmap = own + "/" + leftover(util::TemporaryKind::Bitmap, dead);
  const std::string liveBitmap = own + "/" + leftover(util::TemporaryKind::Bitmap, alive);
  for (const std::string& path : {deadBitmap, liveBitmap}) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0) << path;
    ::close(fd);
  }

  // Report writes nothing, so it leaves the tree as it is.
  ASSERT_EQ(run(tree, Operation::Report), CommandResult::Ran);
  EXPECT_TRUE(tree.exists(deadHere));
  EXPECT_FALSE(fs::exists(deadBitmap));

  ASSERT_EQ(run(tree, Operation::Create), CommandResult::Ran);
  EXPECT_FALSE(tree.exists(deadHere));
  EXPECT_FALSE(tree.exists("Sub/" + deadHere));
  EXPECT_TRUE(tree.exists("Sub/" + liveHere));
  EXPECT_TRUE(fs::exists(liveBitmap));
  ::unlink(liveBitmap.c_str());
}

// --- names with control characters ------------------------------------------------

TEST_F(SafetyTest, ControlCharactersInNamesKeepOneLinePerFolderAndOneLinePages) {
  TempTree tree;
  tree.fileWith("two\nlines/a.jpg", photo(7));
  tree.fileWith("tab\there.jpg", photo(8));
  tree.fileWith("bad\rname.jpg", "not a picture");
  ASSERT_EQ(run(tree, Operation::Create), CommandResult::Ran);
  for (const std::string& line : frontend.status) {
    EXPECT_EQ(line.find_first_of("\n\r\t"), std::string::npos) << line;
  }
  EXPECT_TRUE(hasStatus(std::string(kStatusUnreadable) + tree.root() + "/bad?name.jpg"));
  EXPECT_EQ(frontend.problems, std::vector<std::string>{tree.root() + "/bad?name.jpg: not a JPEG file"});
  const std::string sub = tree.root() + "/two?lines: 0 folders, 1 files (";
  EXPECT_TRUE(std::any_of(frontend.status.begin(), frontend.status.end(),
                          [&](const std::string& l) { return l.rfind(sub, 0) == 0; }));
  for (const std::string& pagePath : {std::string("index.html"), std::string("two\nlines/index.html")}) {
    const std::string text = tree.read(pagePath);
    EXPECT_EQ(text.find_first_of("\n\r\t"), text.size() - 2) << text;  // only the final CR LF
  }
  EXPECT_NE(tree.read("index.html").find(">two&#10;lines</a>"), std::string::npos);
  EXPECT_NE(tree.read("index.html").find("href='tab%09here.jpg'"), std::string::npos);
}

}  // namespace
}  // namespace pixelmote::batch
