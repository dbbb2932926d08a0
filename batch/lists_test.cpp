#include "batch/lists.h"

#include <algorithm>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "testsupport/temp_tree.h"

namespace pixelmote::batch {
namespace {

std::vector<std::string> listed(const FileList& files) {
  std::vector<std::string> names;
  for (std::size_t i = 0; i < files.listCount(); ++i) names.push_back(files.list(i));
  return names;
}

std::vector<std::string> listed(const FolderList& folders) {
  std::vector<std::string> paths;
  for (std::size_t i = 0; i < folders.listCount(); ++i) paths.push_back(folders.list(i));
  return paths;
}

std::vector<std::string> sorted(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  return names;
}

class ListsTest : public ::testing::Test {
 protected:
  testing::TempTree m_tree;
};

// --- one reading of a folder -------------------------------------------------

TEST_F(ListsTest, SnapshotSortsFoldersByNameAndKeepsFiles) {
  for (const char* name : {"b", "C", "a", "A", "Night", "_x"}) m_tree.folder(name);
  for (const char* name : {"z.jpg", "a.jpg", "noext"}) m_tree.file(name, 1);

  const auto snap = DirectorySnapshot::read(m_tree.root());
  ASSERT_NE(snap, nullptr);
  EXPECT_TRUE(snap->readable());
  EXPECT_EQ(snap->path(), m_tree.root());
  EXPECT_EQ(snap->folders(), (std::vector<std::string>{"_x", "A", "a", "b", "C", "Night"}));
  EXPECT_EQ(sorted(snap->files()), (std::vector<std::string>{"a.jpg", "noext", "z.jpg"}));
}

TEST_F(ListsTest, SnapshotLeavesOutHiddenNamesLinkedFoldersAndPipes) {
  m_tree.folder("pics");
  m_tree.folder(".hidden");
  m_tree.file(".hidden.jpg", 1);
  m_tree.file(".hidden/inside.jpg", 1);
  m_tree.file("a.jpg", 1);
  m_tree.folder("elsewhere");
  m_tree.file("target.jpg", 1234);
  m_tree.symlink("linked-folder", m_tree.path("elsewhere"));
  m_tree.symlink("linked.jpg", m_tree.path("target.jpg"));
  m_tree.symlink("dangling.jpg", m_tree.path("gone.jpg"));
  ASSERT_EQ(::mkfifo(m_tree.path("pipe.jpg").c_str(), 0644), 0);

  const auto snap = DirectorySnapshot::read(m_tree.root());
  EXPECT_EQ(snap->folders(), (std::vector<std::string>{"elsewhere", "pics"}));
  EXPECT_EQ(sorted(snap->files()), (std::vector<std::string>{"a.jpg", "linked.jpg", "target.jpg"}));
  // A linked file has the size of the file it points to.
  EXPECT_EQ(snap->fileSize("linked.jpg"), 1234);
  EXPECT_EQ(snap->fileSize("a.jpg"), 1);
  EXPECT_EQ(snap->fileSize("gone.jpg"), std::nullopt);
}

TEST_F(ListsTest, SnapshotOfAFolderThatCannotBeReadIsEmpty) {
  const std::string file = m_tree.file("a.jpg", 1);
  for (const std::string& path : {m_tree.path("missing"), file, std::string()}) {
    SCOPED_TRACE(path);
    const auto snap = DirectorySnapshot::read(path);
    ASSERT_NE(snap, nullptr);
    EXPECT_FALSE(snap->readable());
    EXPECT_TRUE(snap->folders().empty());
    EXPECT_TRUE(snap->files().empty());
  }
  EXPECT_EQ(DirectorySnapshot::read(m_tree.path("missing"))->fileSize("a.jpg"), std::nullopt);
}

TEST_F(ListsTest, SnapshotLooksUpSizesNow) {
  m_tree.file("a.jpg", 10);
  const auto snap = DirectorySnapshot::read(m_tree.root());
  m_tree.file("a.jpg", 25);  // rewritten after the reading
  EXPECT_EQ(snap->fileSize("a.jpg"), 25);
  ASSERT_EQ(std::remove(m_tree.path("a.jpg").c_str()), 0);
  EXPECT_EQ(snap->fileSize("a.jpg"), std::nullopt);
  EXPECT_EQ(snap->files(), std::vector<std::string>{"a.jpg"});  // the reading itself stays
}

// --- the folder list ----------------------------------------------------------

TEST_F(ListsTest, FolderListGivesFullPathsInNameOrder) {
  for (const char* name : {"b", "C", "A", "a"}) m_tree.folder(std::string("pics/") + name);
  m_tree.folder("pics/.git");
  m_tree.file("pics/a.jpg", 1);
  const std::string pics = m_tree.path("pics");

  FolderList folders;
  folders.setPath(pics);
  EXPECT_EQ(folders.path(), pics);
  EXPECT_EQ(listed(folders), (std::vector<std::string>{pics + "/A", pics + "/a", pics + "/b", pics + "/C"}));
  EXPECT_EQ(folders.list(4), "");  // past the end
  ASSERT_NE(folders.snapshot(), nullptr);
  EXPECT_EQ(folders.snapshot()->path(), pics);
}

TEST_F(ListsTest, FolderListReadsAfreshAndTellsItsHandler) {
  m_tree.folder("pics/Day");
  const std::string pics = m_tree.path("pics");
  FolderList folders;
  std::vector<std::size_t> countsSeen;
  folders.setChangeHandler([&] { countsSeen.push_back(folders.listCount()); });

  folders.setPath(pics);
  m_tree.folder("pics/Night");
  EXPECT_EQ(folders.listCount(), 1u);  // not noticed until the path is set again
  folders.setPath(pics);
  EXPECT_EQ(folders.listCount(), 2u);
  folders.setPath(m_tree.path("pics/Day"));
  EXPECT_EQ(folders.listCount(), 0u);
  // The handler runs after the new reading is in place.
  EXPECT_EQ(countsSeen, (std::vector<std::size_t>{1, 2, 0}));
}

TEST_F(ListsTest, FolderListOfAMissingFolderIsEmpty) {
  FolderList folders;
  EXPECT_EQ(folders.listCount(), 0u);
  EXPECT_EQ(folders.list(0), "");
  folders.setPath(m_tree.path("missing"));
  EXPECT_EQ(folders.listCount(), 0u);
  EXPECT_EQ(folders.list(0), "");
}

// --- the file lists ---------------------------------------------------------

TEST(FileListPatternTest, MatchesTheTextAfterTheLastPoint) {
  struct Case {
    const char* pattern;
    const char* name;
    bool matches;
  };
  const Case cases[] = {
      {"*.JPG", "a.jpg", true},     {"*.JPG", "B.JpG", true},    {"*.JPG", "x.y.jpg", true},
      {"*.JPG", "A.JPG", true},     {"*.jpg", "A.JPG", true},    {"*.JPG", "a.jpg.bak", false},
      {"*.JPG", "jpg", false},      {"*.JPG", "a.jpeg", false},  {"*.JPG", "a.gif", false},
      {"*.JPG", "a.jp", false},     {"*.JPG", "ajpg", false},    {"*.JPG", "a.jpg.", false},
      {"*.GIF", "a.gif", true},     {"*.GIF", "a.jpg", false},   {"*.*", "a.jpg", true},
      {"*.*", "noext", true},       {"*.*", "a.b.c", true},      {"*", "noext", true},
      {"*", "a.gif", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FileList::matches(c.pattern, c.name), c.matches) << c.pattern << " / " << c.name;
  }
}

TEST_F(ListsTest, FileListTakesMatchingFilesInNameOrder) {
  for (const char* name : {"b.jpg", "C.JPG", "a.jpg", "A.jpg", "B.JpG", "x.y.jpg", "a.jpg.bak", "jpg", "a.jpeg",
                           "a.gif", ".hidden.jpg"}) {
    m_tree.file(name, 1);
  }
  m_tree.folder("folder.jpg");

  FileList files;
  files.setFolder(m_tree.root());
  files.setPattern("*.JPG");
  EXPECT_EQ(files.folder(), m_tree.root());
  EXPECT_EQ(files.pattern(), "*.JPG");
  EXPECT_EQ(listed(files), (std::vector<std::string>{"A.jpg", "a.jpg", "B.JpG", "b.jpg", "C.JPG", "x.y.jpg"}));
  EXPECT_EQ(files.list(6), "");

  files.setPattern("*.GIF");
  EXPECT_EQ(listed(files), std::vector<std::string>{"a.gif"});

  files.setPattern("*.*");
  EXPECT_EQ(listed(files), (std::vector<std::string>{"a.gif", "a.jpeg", "A.jpg", "a.jpg", "a.jpg.bak", "B.JpG",
                                                     "b.jpg", "C.JPG", "jpg", "x.y.jpg"}));
}

TEST_F(ListsTest, FileListTakesEveryFileByDefault) {
  m_tree.file("a.jpg", 1);
  m_tree.file("readme", 1);
  FileList files;
  EXPECT_EQ(files.pattern(), "*.*");
  EXPECT_EQ(files.listCount(), 0u);  // no folder yet
  files.setFolder(m_tree.root());
  EXPECT_EQ(listed(files), (std::vector<std::string>{"a.jpg", "readme"}));
}

TEST_F(ListsTest, FileListListsLinkedFilesButNoPipesOrDanglingLinks) {
  m_tree.file("target.jpg", 4321);
  m_tree.folder("sub.jpg");
  m_tree.symlink("linked.jpg", m_tree.path("target.jpg"));
  m_tree.symlink("linked-folder.jpg", m_tree.path("sub.jpg"));
  m_tree.symlink("dangling.jpg", m_tree.path("gone.jpg"));
  ASSERT_EQ(::mkfifo(m_tree.path("pipe.jpg").c_str(), 0644), 0);

  FileList files;
  files.setPattern("*.JPG");
  files.setFolder(m_tree.root());
  EXPECT_EQ(listed(files), (std::vector<std::string>{"linked.jpg", "target.jpg"}));
  EXPECT_EQ(files.fileSize("linked.jpg"), 4321);
}

TEST_F(ListsTest, FileListNoticesChangesOnlyWhenToldTo) {
  m_tree.file("a.jpg", 1);
  FileList files;
  files.setFolder(m_tree.root());
  files.setPattern("*.JPG");
  ASSERT_EQ(files.listCount(), 1u);

  m_tree.file("b.jpg", 1);
  EXPECT_EQ(files.listCount(), 1u);
  EXPECT_FALSE(files.contains("b.jpg"));
  files.refresh();
  EXPECT_EQ(listed(files), (std::vector<std::string>{"a.jpg", "b.jpg"}));

  m_tree.file("c.jpg", 1);
  EXPECT_EQ(files.listCount(), 2u);
  files.setFolder(m_tree.root());
  EXPECT_EQ(files.listCount(), 3u);

  m_tree.file("d.jpg", 1);
  EXPECT_EQ(files.listCount(), 3u);
  files.setPattern("*.JPG");
  EXPECT_EQ(files.listCount(), 4u);

  ASSERT_EQ(std::remove(m_tree.path("a.jpg").c_str()), 0);
  EXPECT_TRUE(files.contains("a.jpg"));  // still listed until the next reading
  files.refresh();
  EXPECT_FALSE(files.contains("a.jpg"));
  EXPECT_EQ(listed(files), (std::vector<std::string>{"b.jpg", "c.jpg", "d.jpg"}));
}

TEST_F(ListsTest, FileListFollowsTheFolderListsReading) {
  m_tree.file("pics/b.jpg", 1);
  m_tree.file("pics/a.gif", 1);
  m_tree.folder("pics/Night");
  const std::string pics = m_tree.path("pics");

  FolderList folders;
  FileList files;
  files.setPattern("*.JPG");
  folders.setChangeHandler([&] { files.follow(folders.snapshot()); });
  folders.setPath(pics);
  // Created after the folder list read the folder: the shared reading does not have it.
  m_tree.file("pics/a.jpg", 1);

  EXPECT_EQ(files.folder(), pics);
  EXPECT_EQ(files.pattern(), "*.JPG");
  EXPECT_EQ(listed(files), std::vector<std::string>{"b.jpg"});
  files.refresh();
  EXPECT_EQ(listed(files), (std::vector<std::string>{"a.jpg", "b.jpg"}));

  folders.setPath(m_tree.path("pics/Night"));
  EXPECT_EQ(files.folder(), m_tree.path("pics/Night"));
  EXPECT_EQ(files.listCount(), 0u);
}

TEST_F(ListsTest, FileListContainsIsExact) {
  m_tree.file("a.jpg", 1);
  m_tree.file("B.jpg", 1);
  m_tree.file("b.jpg", 1);
  FileList files;
  files.setFolder(m_tree.root());
  EXPECT_TRUE(files.contains("a.jpg"));
  EXPECT_TRUE(files.contains("B.jpg"));
  EXPECT_TRUE(files.contains("b.jpg"));
  EXPECT_FALSE(files.contains("A.jpg"));
  EXPECT_FALSE(files.contains("A.JPG"));
  EXPECT_FALSE(files.contains("a.jp"));
  EXPECT_FALSE(files.contains("a.jpg "));
  EXPECT_FALSE(files.contains(""));
  files.setPattern("*.GIF");
  EXPECT_FALSE(files.contains("a.jpg"));  // on disk, but not of the pattern
}

TEST_F(ListsTest, FileListSizes) {
  m_tree.file("a.jpg", 1500);
  m_tree.file("empty.jpg", 0);
  FileList files;
  files.setFolder(m_tree.root());
  EXPECT_EQ(files.fileSize("a.jpg"), 1500);
  EXPECT_EQ(files.fileSize("empty.jpg"), 0);
  EXPECT_EQ(files.fileSize("never.jpg"), 0);
  ASSERT_EQ(std::remove(m_tree.path("a.jpg").c_str()), 0);
  EXPECT_TRUE(files.contains("a.jpg"));
  EXPECT_EQ(files.fileSize("a.jpg"), 0);  // deleted after the reading
}

TEST_F(ListsTest, FileListOfAFolderThatCannotBeReadIsEmpty) {
  const std::string file = m_tree.file("a.jpg", 1);
  FileList files;
  for (const std::string& folder : {m_tree.path("missing"), file}) {
    SCOPED_TRACE(folder);
    files.setFolder(folder);
    EXPECT_EQ(files.listCount(), 0u);
    EXPECT_EQ(files.list(0), "");
    EXPECT_FALSE(files.contains("a.jpg"));
  }
  // A folder that appears later is read on the next refresh.
  m_tree.file("missing/x.jpg", 1);
  files.setFolder(m_tree.path("missing"));
  EXPECT_EQ(listed(files), std::vector<std::string>{"x.jpg"});
}

}  // namespace
}  // namespace pixelmote::batch
