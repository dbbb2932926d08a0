// The folder list and the file lists: what a folder holds, in name order,
// read from the disk when told to.
#include "batch/lists.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <sys/stat.h>
#include <vector>

#include "testsupport/temp_tree.h"

namespace pixelmote::batch {
namespace {

template <typename List>
std::vector<std::string> listed(const List& list) {
  std::vector<std::string> names;
  for (std::size_t i = 0; i < list.listCount(); ++i) names.push_back(list.list(i));
  EXPECT_EQ(list.list(list.listCount()), "");  // past the end
  return names;
}

using Names = std::vector<std::string>;

// The folder list reads afresh each time its path is set and tells its
// handler, which hands the reading to a file list.
TEST(Lists, TheFolderListReadsAfreshOnEachPathAndFileListsFollowIt) {
  testing::TempTree tree;
  tree.file("pics/b.jpg", 1);
  tree.folder("pics/Day");
  FolderList folders;
  FileList files;
  files.setPattern("*.JPG");
  std::vector<std::size_t> countsSeen;
  folders.setChangeHandler([&] {
    countsSeen.push_back(folders.listCount());
    files.follow(folders.snapshot());
  });
  folders.setPath(tree.path("pics"));
  tree.folder("pics/Night");
  tree.file("pics/a.jpg", 1);
  EXPECT_EQ(folders.listCount(), 1u);  // not noticed until the path is set again
  EXPECT_EQ(files.folder(), tree.path("pics"));
  EXPECT_EQ(listed(files), Names{"b.jpg"});
  folders.setPath(tree.path("pics"));
  EXPECT_EQ(listed(folders), (Names{tree.path("pics/Day"), tree.path("pics/Night")}));
  folders.setPath(tree.path("pics/Night"));
  EXPECT_EQ(files.folder(), tree.path("pics/Night"));
  EXPECT_EQ(files.listCount(), 0u);
  folders.setPath(tree.path("missing"));
  EXPECT_EQ(countsSeen, (std::vector<std::size_t>{1, 2, 0, 0}));  // after each new reading

  // A folder left for a sibling is read afresh on coming back, though its
  // own times stand still: a link in it may now lead to a folder.
  tree.file("target", 1);
  tree.symlink("pics/Day/now.jpg", tree.path("target"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // past the file-system time tick
  folders.setPath(tree.path("pics/Day"));
  EXPECT_EQ(folders.snapshot()->files(), Names{"now.jpg"});
  folders.setPath(tree.path("pics/Night"));
  ASSERT_EQ(std::remove(tree.path("target").c_str()), 0);
  tree.folder("target");
  folders.setPath(tree.path("pics/Day"));
  EXPECT_TRUE(folders.snapshot()->files().empty());
}

// A reading sorts folders (case folded, ties by bytes) and leaves out hidden
// names, linked folders and special files; a file list lists the files that
// match in name order, and notices changes only when told.
TEST(Lists, AReadingSortsFoldersAndFileListsListMatchingFilesInNameOrder) {
  testing::TempTree tree;
  for (const char* name : {"b", "C", "a", "A", "_x", ".hidden"}) tree.folder(name);
  for (const char* name : {".hidden.jpg", "b.jpg", "C.JPG", "a.jpg", "A.jpg", "x.y.jpg", "a.jpeg", "readme"}) {
    tree.file(name, 1);
  }
  tree.file("target.jpg", 1234);
  tree.symlink("linked-folder", tree.path("b"));
  tree.symlink("linked.jpg", tree.path("target.jpg"));
  tree.symlink("dangling.jpg", tree.path("gone.jpg"));
  ASSERT_EQ(::mkfifo(tree.path("pipe.jpg").c_str(), 0644), 0);
  const auto snap = DirectorySnapshot::read(tree.root());
  EXPECT_EQ(snap->folders(), (Names{"_x", "A", "a", "b", "C"}));
  EXPECT_EQ(snap->fileSize("linked.jpg"), 1234);  // the size of what it points to
  EXPECT_FALSE(DirectorySnapshot::read(tree.path("target.jpg"))->readable());

  FileList files;
  EXPECT_EQ(files.pattern(), "*.*");
  files.setFolder(tree.root());
  EXPECT_EQ(listed(files),
            (Names{"a.jpeg", "A.jpg", "a.jpg", "b.jpg", "C.JPG", "linked.jpg", "readme", "target.jpg", "x.y.jpg"}));
  files.setPattern("*.JPG");
  EXPECT_EQ(listed(files), (Names{"A.jpg", "a.jpg", "b.jpg", "C.JPG", "linked.jpg", "target.jpg", "x.y.jpg"}));
  EXPECT_TRUE(files.contains("A.jpg") && !files.contains("A.JPG"));
  tree.file("d.jpg", 1);
  ASSERT_EQ(std::remove(tree.path("target.jpg").c_str()), 0);
  EXPECT_TRUE(files.contains("target.jpg") && !files.contains("d.jpg"));  // until the next reading
  EXPECT_EQ(files.fileSize("target.jpg"), 0);  // sizes are looked up now
  files.refresh();
  EXPECT_EQ(listed(files), (Names{"A.jpg", "a.jpg", "b.jpg", "C.JPG", "d.jpg", "x.y.jpg"}));
  tree.file("e.jpg", 1);
  files.setPattern("*.JPG");
  EXPECT_EQ(files.listCount(), 7u);
}

}  // namespace
}  // namespace pixelmote::batch
