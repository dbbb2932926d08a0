#include "util/path.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "testsupport/temp_tree.h"

namespace pixelmote::util {
namespace {

using namespace std::string_literals;

// --- string routines ---------------------------------------------------------

TEST(InStrBackTest, FindsTheLastOccurrence) {
  EXPECT_EQ(InStrBack(0, "/pics/", "/"), 6u);  // a trailing separator is found
  EXPECT_EQ(InStrBack(0, "/pics/a.jpg", "/"), 6u);
  EXPECT_EQ(InStrBack(0, "/a.jpg", "/"), 1u);
  EXPECT_EQ(InStrBack(0, "a/b/c", "/"), 4u);
  EXPECT_EQ(InStrBack(0, "abcabc", "abc"), 4u);
  EXPECT_EQ(InStrBack(0, "abc", "abc"), 1u);
  EXPECT_EQ(InStrBack(0, "aaaa", "aa"), 3u);  // overlapping: the last place it fits
}

TEST(InStrBackTest, ReportsNoOccurrenceAsZero) {
  EXPECT_EQ(InStrBack(0, "abc", "x"), 0u);
  EXPECT_EQ(InStrBack(0, "ab", "abc"), 0u);  // longer than the text
  EXPECT_EQ(InStrBack(0, "", "/"), 0u);
  EXPECT_EQ(InStrBack(0, "a.jpg", "/"), 0u);
}

TEST(InStrBackTest, IgnoresAsciiCaseOnly) {
  EXPECT_EQ(InStrBack(0, "PHOTO.JPG.bak", ".jpg"), 6u);
  EXPECT_EQ(InStrBack(0, "photo.jpg", ".JPG"), 6u);
  EXPECT_EQ(InStrBack(0, "x\xC3\xA9y", "\xC3\x89"), 0u);  // "é" does not match "É"
  EXPECT_EQ(InStrBack(0, "a@b", "`"), 0u);               // '@' and '`' differ by 0x20 but are no letters
}

TEST(InStrBackTest, SearchesBackFromAGivenStart) {
  // "/" stands at 2, 4 and 6 of "a/b/c/".
  EXPECT_EQ(InStrBack(6, "a/b/c/", "/"), 6u);
  EXPECT_EQ(InStrBack(5, "a/b/c/", "/"), 4u);
  EXPECT_EQ(InStrBack(4, "a/b/c/", "/"), 4u);
  EXPECT_EQ(InStrBack(3, "a/b/c/", "/"), 2u);
  EXPECT_EQ(InStrBack(1, "a/b/c/", "/"), 0u);
  // A start beyond the last place the substring fits finds the last occurrence.
  EXPECT_EQ(InStrBack(100, "a/b/c/", "/"), 6u);
  EXPECT_EQ(InStrBack(6, "abcabc", "abc"), 4u);
  EXPECT_EQ(InStrBack(3, "abcabc", "abc"), 1u);
}

TEST(DropRightTest, DropsTheLastBytes) {
  EXPECT_EQ(DropRight("abc", 1), "ab");
  EXPECT_EQ(DropRight("abc", 0), "abc");
  EXPECT_EQ(DropRight("abc", 2), "a");
  EXPECT_EQ(DropRight("abc", 3), "");
  EXPECT_EQ(DropRight("abc", 4), "");
  EXPECT_EQ(DropRight("a", 1), "");
  EXPECT_EQ(DropRight("", 1), "");
  EXPECT_EQ(DropRight("/pics/", 1), "/pics");
}

TEST(StripExtTest, CutsAtTheFirstPoint) {
  EXPECT_EQ(StripExt("photo.jpg"), "photo");
  EXPECT_EQ(StripExt("photo"), "photo");
  EXPECT_EQ(StripExt(".jpg"), "");
  EXPECT_EQ(StripExt("my.photo.jpg"), "my");
  EXPECT_EQ(StripExt("a.b.jpg"), "a");
  EXPECT_EQ(StripExt("photo."), "photo");
  EXPECT_EQ(StripExt(""), "");
  // Two pictures with the same first part share one thumbnail name.
  EXPECT_EQ(StripExt("my.photo.jpg"), StripExt("my.other.jpg"));
}

TEST(FileNamePartTest, TakesThePartAfterTheLastSeparator) {
  EXPECT_EQ(FileNamePart("/pics/a.jpg"), "a.jpg");
  EXPECT_EQ(FileNamePart("/home/ann/pics/Night"), "Night");
  EXPECT_EQ(FileNamePart("a.jpg"), "a.jpg");
  EXPECT_EQ(FileNamePart("/pics/"), "");
  EXPECT_EQ(FileNamePart("/"), "");
  EXPECT_EQ(FileNamePart("/a.jpg"), "a.jpg");
  EXPECT_EQ(FileNamePart(""), "");
  // A backslash is an ordinary character here.
  EXPECT_EQ(FileNamePart("/pics/a\\b.jpg"), "a\\b.jpg");
  EXPECT_EQ(FileNamePart("C:a.jpg"), "C:a.jpg");
}

TEST(EqualsIgnoreCaseTest, FoldsAsciiLettersOnly) {
  EXPECT_TRUE(equalsIgnoreCase("", ""));
  EXPECT_TRUE(equalsIgnoreCase("abc", "ABC"));
  EXPECT_TRUE(equalsIgnoreCase("Photo.JPG", "photo.jpg"));
  EXPECT_TRUE(equalsIgnoreCase("az", "AZ"));
  EXPECT_TRUE(equalsIgnoreCase("\xC3\xA9", "\xC3\xA9"));
  EXPECT_FALSE(equalsIgnoreCase("abc", "abd"));
  EXPECT_FALSE(equalsIgnoreCase("abc", "abcd"));
  EXPECT_FALSE(equalsIgnoreCase("abc", ""));
  EXPECT_FALSE(equalsIgnoreCase("\xC3\xA9", "\xC3\x89"));  // é / É
  EXPECT_FALSE(equalsIgnoreCase("@", "`"));
  EXPECT_FALSE(equalsIgnoreCase("[", "{"));
  EXPECT_FALSE(equalsIgnoreCase("a\0b"s, "a\0c"s));
  EXPECT_TRUE(equalsIgnoreCase("a\0B"s, "A\0b"s));
}

TEST(AsciiLowerTest, LowersAsciiLettersOnly) {
  EXPECT_EQ(asciiLower("Photo.JPG"), "photo.jpg");
  EXPECT_EQ(asciiLower("AZaz@[`{09"), "azaz@[`{09");
  EXPECT_EQ(asciiLower("\xC3\x89T\xC3\x89"), "\xC3\x89t\xC3\x89");  // "ÉTÉ": only the T changes
  EXPECT_EQ(asciiLower(""), "");
}

TEST(CompareNamesTest, OrdersNamesByFoldedBytesThenByRawBytes) {
  // Each name sorts before every name after it. Letters fold to lower case,
  // so "[" and "_" come before all letters; bytes of 0x80 and above are
  // unsigned and come after all of ASCII.
  const std::vector<std::string> names = {
      "",  "1.jpg", "[",     "_x", "A",      "a",  "a.jpg", "AB",     "Ab",   "aB",
      "ab", "b",    "C",     "Night", "z",   "{",  "\x7F", "\x80",  "\xC3\xA9t\xC3\xA9", "\xFF",
  };
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(compareNames(names[i], names[i]), 0) << i;
    for (std::size_t j = i + 1; j < names.size(); ++j) {
      EXPECT_LT(compareNames(names[i], names[j]), 0) << "[" << i << "] before [" << j << "]";
      EXPECT_GT(compareNames(names[j], names[i]), 0) << "[" << j << "] after [" << i << "]";
    }
  }
}

TEST(JoinPathTest, PutsOneSeparatorBetweenFolderAndName) {
  EXPECT_EQ(joinPath("/pics", "a.jpg"), "/pics/a.jpg");
  EXPECT_EQ(joinPath("/pics/", "a.jpg"), "/pics/a.jpg");
  EXPECT_EQ(joinPath("/", "pics"), "/pics");
  EXPECT_EQ(joinPath("/home/ann", "Night"), "/home/ann/Night");
}

// --- routines that look at the disk -----------------------------------------

class PathOnDiskTest : public ::testing::Test {
 protected:
  testing::TempTree m_tree;
};

TEST_F(PathOnDiskTest, FolderPartOfFilesAndFolders) {
  const std::string root = m_tree.root();
  const std::string pics = m_tree.folder("pics");
  m_tree.file("pics/a.jpg", 10);
  m_tree.file("pics/b.gif", 10);

  EXPECT_EQ(FolderPart(pics + "/a.jpg"), pics);      // an existing file
  EXPECT_EQ(FolderPart(pics), pics);                 // an existing folder is itself
  EXPECT_EQ(FolderPart(pics + "/"), pics);           // ... also with a trailing separator
  EXPECT_EQ(FolderPart(pics + "/*.jpg"), pics);      // a folder and a matching pattern
  EXPECT_EQ(FolderPart(pics + "/*.png"), pics);      // a pattern that matches nothing
  EXPECT_EQ(FolderPart(pics + "/gone.jpg"), pics);   // a missing file
  EXPECT_EQ(FolderPart(root + "/nodir/"), root + "/nodir");  // a missing folder
  EXPECT_EQ(FolderPart(root + "/nodir/x.jpg"), root + "/nodir");
}

TEST_F(PathOnDiskTest, FolderPartBelowTheRootAndWithoutSeparator) {
  EXPECT_EQ(FolderPart("/"), "/");
  EXPECT_EQ(FolderPart("/pixelmote-no-such-file.jpg"), "/");  // directly below the root
  // An existing folder directly below the root stays itself.
  const std::string top = m_tree.root().substr(0, m_tree.root().find('/', 1));
  EXPECT_EQ(FolderPart(top), top);
  EXPECT_EQ(FolderPart("pics"), "");
  EXPECT_EQ(FolderPart("a.jpg"), "");
  EXPECT_EQ(FolderPart(""), "");
}

TEST_F(PathOnDiskTest, FileExistsOnlyForFiles) {
  const std::string file = m_tree.file("a.jpg", 3);
  const std::string empty = m_tree.file("empty.jpg");
  const std::string folder = m_tree.folder("pics");
  m_tree.symlink("link.jpg", file);
  m_tree.symlink("dangling.jpg", m_tree.path("gone.jpg"));

  EXPECT_TRUE(FileExists(file));
  EXPECT_TRUE(FileExists(empty));
  EXPECT_TRUE(FileExists(m_tree.path("link.jpg")));  // a link to a file
  EXPECT_FALSE(FileExists(folder));
  EXPECT_FALSE(FileExists(folder + "/"));
  EXPECT_FALSE(FileExists(m_tree.path("gone.jpg")));
  EXPECT_FALSE(FileExists(m_tree.path("dangling.jpg")));
  EXPECT_FALSE(FileExists(m_tree.path("*.jpg")));  // a pattern is no file
  EXPECT_FALSE(FileExists(""));
  EXPECT_FALSE(FileExists(file + "\0"s));  // no name on disk holds a NUL
}

TEST_F(PathOnDiskTest, PathExistsForFilesFoldersAndMatchingPatterns) {
  const std::string file = m_tree.file("pics/a.jpg", 3);
  const std::string folder = m_tree.path("pics");
  m_tree.folder("pics/Night");

  EXPECT_TRUE(PathExists(file));
  EXPECT_TRUE(PathExists(folder));
  EXPECT_TRUE(PathExists(folder + "/"));
  EXPECT_TRUE(PathExists(folder + "/*.jpg"));
  EXPECT_TRUE(PathExists(folder + "/?.jpg"));
  EXPECT_TRUE(PathExists(folder + "/*"));
  EXPECT_TRUE(PathExists(folder + "/Ni*"));  // patterns find folders too
  EXPECT_FALSE(PathExists(folder + "/*.gif"));
  EXPECT_FALSE(PathExists(folder + "/??.jpg"));
  EXPECT_FALSE(PathExists(m_tree.path("gone")));
  EXPECT_FALSE(PathExists(m_tree.path("gone/")));
  EXPECT_FALSE(PathExists(""));
  // The same folder: a path but no file.
  EXPECT_FALSE(FileExists(folder));
}

TEST_F(PathOnDiskTest, FileReadableForFilesThatOpen) {
  const std::string file = m_tree.file("a.jpg", 3);
  const std::string empty = m_tree.file("empty.html");
  const std::string folder = m_tree.folder("pics");
  m_tree.symlink("link.jpg", file);
  m_tree.symlink("dangling.jpg", m_tree.path("gone.jpg"));

  EXPECT_TRUE(FileReadable(file));
  EXPECT_TRUE(FileReadable(empty));
  EXPECT_TRUE(FileReadable(m_tree.path("link.jpg")));
  EXPECT_FALSE(FileReadable(folder));
  EXPECT_FALSE(FileReadable(m_tree.path("gone.jpg")));
  EXPECT_FALSE(FileReadable(m_tree.path("dangling.jpg")));
  EXPECT_FALSE(FileReadable(m_tree.path("*.jpg")));
  EXPECT_FALSE(FileReadable(""));
}

}  // namespace
}  // namespace pixelmote::util
