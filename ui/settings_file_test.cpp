#include "ui/settings_file.h"

#include <cerrno>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "testsupport/temp_tree.h"
#include "ui/knob.h"
#include "util/file_io.h"

namespace pixelmote::ui {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

// --- the document in memory -------------------------------------------------

TEST(SettingsDocumentTest, ParseAndTextGiveBackAnyTextExactly) {
  const std::vector<std::string> texts = {
      "",
      "\n\n",
      "[Image]\nType=JPG",  // no line end at the end
      "[Image]\r\nType=JPG\r\n",
      "mixed\r\nends\nhere\r\n",
      "lone\rCR\n",
      "bytes \x00\xff\x80 and more\n"s,
      "\xEF\xBB\xBF[Folder]\nPath=/x\n",
  };
  for (const std::string& text : texts) {
    EXPECT_EQ(SettingsDocument::parse(text).text(), text);
  }
}

TEST(SettingsDocumentTest, LooksUpSectionsAndKeysIgnoringCaseAndBlanks) {
  const auto doc = SettingsDocument::parse(
      "[Folder]\n"
      "Path=/home/ann/Pictures\n"
      "  [ image ]  \n"
      "\tTYPE  =  GIF \t\n"
      "thumb=jpg\n");
  EXPECT_EQ(doc.value("folder", "PATH"), "/home/ann/Pictures");
  EXPECT_EQ(doc.value("Image", "Type"), "GIF");
  EXPECT_EQ(doc.value("IMAGE", "Thumb"), "jpg");
  // A key belongs only to its own section.
  EXPECT_EQ(doc.value("Folder", "Type"), std::nullopt);
  EXPECT_EQ(doc.value("Image", "Path"), std::nullopt);
  EXPECT_EQ(doc.value("Missing", "Path"), std::nullopt);
}

TEST(SettingsDocumentTest, TellsAnEmptyValueFromAMissingKey) {
  const auto doc = SettingsDocument::parse("[Image]\nPrefix=\nBorder=   \n");
  EXPECT_EQ(doc.value("Image", "Prefix"), "");
  EXPECT_EQ(doc.value("Image", "Border"), "");
  EXPECT_EQ(doc.value("Image", "Column"), std::nullopt);
}

TEST(SettingsDocumentTest, SkipsCommentsAndLinesThatAreNoEntries) {
  const auto doc = SettingsDocument::parse(
      "Type=BMP\n"  // before any section
      "[Image]\n"
      "; Type=PCX\n"
      "# Thumb=PCX\n"
      "just words\n"
      "=no key\n"
      "[broken\n"
      "Column=7\n"
      "Thumb=GIF\n");
  EXPECT_EQ(doc.value("Image", "Type"), std::nullopt);
  EXPECT_EQ(doc.value("Image", "Thumb"), "GIF");
  // "[broken" is no heading, so the entry below it still belongs to [Image].
  EXPECT_EQ(doc.value("Image", "Column"), "7");
  EXPECT_EQ(doc.value("broken", "Column"), std::nullopt);
  EXPECT_EQ(doc.value("", "Type"), std::nullopt);
}

TEST(SettingsDocumentTest, FirstOccurrenceOfASectionOrKeyWins) {
  auto doc = SettingsDocument::parse(
      "[Image]\n"
      "Type=JPG\n"
      "type=GIF\n"
      "[image]\n"
      "Type=PCX\n"
      "Column=3\n");
  EXPECT_EQ(doc.value("Image", "Type"), "JPG");
  EXPECT_EQ(doc.value("Image", "Column"), std::nullopt);

  // Writing goes to the same places that reading looks at.
  ASSERT_TRUE(doc.set("IMAGE", "TYPE", "BMP"));
  ASSERT_TRUE(doc.set("Image", "Column", "4"));
  EXPECT_EQ(doc.text(),
            "[Image]\n"
            "Type=BMP\n"
            "type=GIF\n"
            "Column=4\n"
            "[image]\n"
            "Type=PCX\n"
            "Column=3\n");
  EXPECT_EQ(doc.value("Image", "Column"), "4");
}

TEST(SettingsDocumentTest, ReplacesAnEntryInPlaceKeepingEveryOtherLine) {
  const std::string before =
      "; written by hand\n"
      "[Other]\n"
      "Path = keep me  \n"
      "\n"
      "[folder]\n"
      "  # old choice\n"
      "  PATH =  /old/place  \n"
      "Unknown=1\n"
      "\n"
      "[Image]\n"
      "Type=JPG\n";
  auto doc = SettingsDocument::parse(before);
  ASSERT_TRUE(doc.set("Folder", "Path", "/new/place"));
  // Only the entry's own line changes; the key keeps its spelling.
  std::string expected = before;
  expected.replace(expected.find("  PATH =  /old/place  "), 22, "PATH=/new/place");
  EXPECT_EQ(doc.text(), expected);
  EXPECT_EQ(doc.value("Folder", "Path"), "/new/place");
  EXPECT_EQ(doc.value("Other", "Path"), "keep me");
}

TEST(SettingsDocumentTest, AddsAnEntryAfterTheLastEntryOfItsSection) {
  auto doc = SettingsDocument::parse(
      "[Folder]\n"
      "Path=/p\n"
      "; about images\n"
      "[Image]\n"
      "Type=JPG\n"
      "\n"
      "; end of images\n"
      "\n"
      "[Later]\n"
      "X=1\n");
  ASSERT_TRUE(doc.set("Image", "Thumb", "GIF"));
  ASSERT_TRUE(doc.set("Folder", "Extra", "e"));
  EXPECT_EQ(doc.text(),
            "[Folder]\n"
            "Path=/p\n"
            "Extra=e\n"
            "; about images\n"
            "[Image]\n"
            "Type=JPG\n"
            "Thumb=GIF\n"
            "\n"
            "; end of images\n"
            "\n"
            "[Later]\n"
            "X=1\n");
}

TEST(SettingsDocumentTest, AddsAnEntryToASectionWithoutEntriesBelowItsHeading) {
  auto doc = SettingsDocument::parse("[Image]\n\n[Folder]\nPath=/p\n");
  ASSERT_TRUE(doc.set("image", "Type", "GIF"));
  EXPECT_EQ(doc.text(), "[Image]\nType=GIF\n\n[Folder]\nPath=/p\n");
}

TEST(SettingsDocumentTest, AddsAMissingSectionAtTheEnd) {
  auto doc = SettingsDocument::parse("[Folder]\nPath=/p\n\n");
  ASSERT_TRUE(doc.set("Image", "Type", "JPG"));
  EXPECT_EQ(doc.text(), "[Folder]\nPath=/p\n\n[Image]\nType=JPG\n");

  // A last line without a line end gets one before anything is added after it.
  auto unterminated = SettingsDocument::parse("[Folder]\nPath=/p");
  ASSERT_TRUE(unterminated.set("Image", "Type", "JPG"));
  EXPECT_EQ(unterminated.text(), "[Folder]\nPath=/p\n[Image]\nType=JPG\n");

  auto sameSection = SettingsDocument::parse("[Image]\nType=JPG");
  ASSERT_TRUE(sameSection.set("Image", "Thumb", "GIF"));
  EXPECT_EQ(sameSection.text(), "[Image]\nType=JPG\nThumb=GIF\n");
}

TEST(SettingsDocumentTest, NewLinesFollowTheLineEndsOfTheFile) {
  auto crlf = SettingsDocument::parse("[Folder]\r\nPath=/p\r\n");
  ASSERT_TRUE(crlf.set("Folder", "Path", "/q"));
  ASSERT_TRUE(crlf.set("Folder", "More", "m"));
  ASSERT_TRUE(crlf.set("Image", "Type", "GIF"));
  EXPECT_EQ(crlf.text(), "[Folder]\r\nPath=/q\r\nMore=m\r\n[Image]\r\nType=GIF\r\n");
  EXPECT_EQ(crlf.value("Folder", "Path"), "/q");

  auto fresh = SettingsDocument::parse("");
  ASSERT_TRUE(fresh.set("Image", "Type", "GIF"));
  EXPECT_EQ(fresh.text(), "[Image]\nType=GIF\n");
}

TEST(SettingsDocumentTest, FindsTheFirstSectionBehindAByteOrderMark) {
  auto doc = SettingsDocument::parse("\xEF\xBB\xBF[Folder]\nPath=/p\n");
  EXPECT_EQ(doc.value("Folder", "Path"), "/p");
  ASSERT_TRUE(doc.set("Folder", "Path", "/q"));
  EXPECT_EQ(doc.text(), "\xEF\xBB\xBF[Folder]\nPath=/q\n");
}

TEST(SettingsDocumentTest, RefusesEntriesThatWouldNotReadBack) {
  const std::string before = "[Image]\nType=JPG\n";
  auto doc = SettingsDocument::parse(before);
  EXPECT_FALSE(doc.set("Image", "Type", "two\nlines"));
  EXPECT_FALSE(doc.set("Image", "Type", "ends in CR\r"));
  EXPECT_FALSE(doc.set("Ima]ge", "Type", "x"));
  EXPECT_FALSE(doc.set("Im\nage", "Type", "x"));
  EXPECT_FALSE(doc.set("Image", "", "x"));
  EXPECT_FALSE(doc.set("Image", "   ", "x"));
  EXPECT_FALSE(doc.set("Image", "a=b", "x"));
  EXPECT_FALSE(doc.set("Image", ";Type", "x"));
  EXPECT_FALSE(doc.set("Image", "#Type", "x"));
  EXPECT_FALSE(doc.set("Image", "[Type", "x"));
  EXPECT_EQ(doc.text(), before);
  // An equals sign in the value is fine: the key ends at the first one.
  ASSERT_TRUE(doc.set("Image", "Prefix", "a=b"));
  EXPECT_EQ(doc.value("Image", "Prefix"), "a=b");
}

// --- the file on disk ---------------------------------------------------------

class SettingsFileTest : public ::testing::Test {
 protected:
  testing::TempTree m_tree;
  std::string m_path = m_tree.path("pixelmote.ini");

  // The names of the settings folder's entries.
  std::vector<std::string> folderEntries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(m_tree.root())) names.push_back(entry.path().filename());
    return names;
  }
};

TEST_F(SettingsFileTest, MissingFileSectionOrKeyReadsAsEmpty) {
  EXPECT_EQ(ReadSetting(m_path, "Folder", "Path"), "");
  bool ok = true;
  EXPECT_EQ(loadSettings(m_path, &ok).text(), "");
  EXPECT_FALSE(ok);

  m_tree.fileWith("pixelmote.ini", "[Image]\nType=GIF\n");
  EXPECT_EQ(ReadSetting(m_path, "Folder", "Path"), "");
  EXPECT_EQ(ReadSetting(m_path, "Image", "Thumb"), "");
  EXPECT_EQ(ReadSetting(m_path, "image", "TYPE"), "GIF");
  loadSettings(m_path, &ok);
  EXPECT_TRUE(ok);
}

TEST_F(SettingsFileTest, FileWrittenFromScratchHoldsTheEntriesInWritingOrder) {
  const std::vector<std::pair<std::string, std::string>> imageEntries = {
      {"Type", "GIF"}, {"Thumb", "JPG"}, {"Column", "5"},   {"Border", "1"},
      {"Prefix", "tn"}, {"Size", "76"},  {"Quality", "152"}, {"Smooth", "0"}};
  ASSERT_TRUE(WriteSetting(m_path, "Folder", "Path", "/home/ann/Pictures"));
  for (const auto& [key, value] : imageEntries) ASSERT_TRUE(WriteSetting(m_path, "Image", key, value));

  const std::string written = m_tree.read("pixelmote.ini");
  EXPECT_EQ(written,
            "[Folder]\n"
            "Path=/home/ann/Pictures\n"
            "[Image]\n"
            "Type=GIF\n"
            "Thumb=JPG\n"
            "Column=5\n"
            "Border=1\n"
            "Prefix=tn\n"
            "Size=76\n"
            "Quality=152\n"
            "Smooth=0\n");

  // Writing the same entries again changes nothing.
  ASSERT_TRUE(WriteSetting(m_path, "folder", "path", "/home/ann/Pictures"));
  for (const auto& [key, value] : imageEntries) ASSERT_TRUE(WriteSetting(m_path, "Image", key, value));
  EXPECT_EQ(m_tree.read("pixelmote.ini"), written);
}

TEST_F(SettingsFileTest, RewriteKeepsOtherSectionsAndLinesByteForByte) {
  const std::string before =
      "; my settings\r\n"
      "[Window]\r\n"
      "Left = 10\r\n"
      "\r\n"
      "[Image]\r\n"
      "Type=JPG\r\n"
      "Custom=\xe9t\xe9\r\n"
      "\r\n"
      "[Tail]\r\n"
      "Z=9";
  m_tree.fileWith("pixelmote.ini", before);
  ASSERT_TRUE(WriteSetting(m_path, "Image", "Type", "GIF"));
  ASSERT_TRUE(WriteSetting(m_path, "Image", "Prefix", "tn"));
  ASSERT_TRUE(WriteSetting(m_path, "Folder", "Path", "/pics"));
  EXPECT_EQ(m_tree.read("pixelmote.ini"),
            "; my settings\r\n"
            "[Window]\r\n"
            "Left = 10\r\n"
            "\r\n"
            "[Image]\r\n"
            "Type=GIF\r\n"
            "Custom=\xe9t\xe9\r\n"
            "Prefix=tn\r\n"
            "\r\n"
            "[Tail]\r\n"
            "Z=9\r\n"
            "[Folder]\r\n"
            "Path=/pics\r\n");
}

TEST_F(SettingsFileTest, EmptyValueIsWrittenAsKeyAndEqualsSign) {
  ASSERT_TRUE(WriteSetting(m_path, "Image", "Prefix", "tn"));
  ASSERT_TRUE(WriteSetting(m_path, "Image", "Prefix", ""));
  EXPECT_EQ(m_tree.read("pixelmote.ini"), "[Image]\nPrefix=\n");
  EXPECT_EQ(ReadSetting(m_path, "Image", "Prefix"), "");
  EXPECT_EQ(loadSettings(m_path).value("Image", "Prefix"), "");
}

TEST_F(SettingsFileTest, LongAndNonUtf8ValuesComeBackWhole) {
  std::string longPath;
  while (longPath.size() < 600) longPath += "/a-folder-name";
  longPath.resize(600);
  const std::string latin1Path = "/home/ann/Bilder/M\xfcnchen \xe9t\xe9 \x80\xff";
  ASSERT_TRUE(WriteSetting(m_path, "Folder", "Path", longPath));
  ASSERT_TRUE(WriteSetting(m_path, "Folder", "Other", latin1Path));
  ASSERT_TRUE(WriteSetting(m_path, "Stra\xdf" "e", "K\xe4y", "v"));
  EXPECT_EQ(ReadSetting(m_path, "Folder", "Path"), longPath);
  EXPECT_EQ(ReadSetting(m_path, "Folder", "Other"), latin1Path);
  EXPECT_EQ(ReadSetting(m_path, "Stra\xdf" "e", "K\xe4y"), "v");
}

TEST_F(SettingsFileTest, KnobOffsetsComeBackFromTheFile) {
  for (const float offset : {0.0f, 1.0f, 76.0f, 12.5f, 152.0f}) {
    ASSERT_TRUE(WriteSetting(m_path, "Image", "Size", formatKnobOffset(offset, ',')));
    const auto read = parseKnobOffset(ReadSetting(m_path, "Image", "Size"), ',');
    ASSERT_TRUE(read.has_value()) << offset;
    EXPECT_EQ(*read, offset);
  }
  EXPECT_EQ(ReadSetting(m_path, "Image", "Size"), "152");
}

TEST_F(SettingsFileTest, WritingIntoAMissingFolderFails) {
  const std::string path = m_tree.path("gone/pixelmote.ini");
  const util::IoResult result = WriteSetting(path, "Image", "Type", "GIF");
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, ENOENT);
  EXPECT_FALSE(m_tree.exists("gone"));
}

TEST_F(SettingsFileTest, AFileThatCannotBeReadIsNotReplaced) {
  m_tree.folder("pixelmote.ini");  // a folder where the file should be
  bool ok = true;
  loadSettings(m_path, &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(ReadSetting(m_path, "Image", "Type"), "");
  const util::IoResult result = WriteSetting(m_path, "Image", "Type", "GIF");
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, EISDIR);
  EXPECT_TRUE(fs::is_directory(m_path));
}

TEST_F(SettingsFileTest, RefusedEntryLeavesTheFileAlone) {
  m_tree.fileWith("pixelmote.ini", "[Image]\nType=JPG\n");
  const util::IoResult result = WriteSetting(m_path, "Image", "Prefix", "a\nb");
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, EINVAL);
  EXPECT_EQ(m_tree.read("pixelmote.ini"), "[Image]\nType=JPG\n");
}

// Save failures are injected: the tests may run as root, for whom folder
// rights do not stop a write.
TEST_F(SettingsFileTest, SaveIntoAnUnwritableFolderFailsAndKeepsTheOldFile) {
  const std::string before = "[Image]\nType=JPG\n";
  m_tree.fileWith("pixelmote.ini", before);
  util::FileSystemOps ops = util::posixFileSystemOps();
  ops.open = [](const char*, int, mode_t) -> int {
    errno = EACCES;
    return -1;
  };
  util::IoResult result;
  {
    util::ScopedFileSystemOps guard(ops);
    result = WriteSetting(m_path, "Image", "Type", "GIF");
  }
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, EACCES);
  EXPECT_EQ(m_tree.read("pixelmote.ini"), before);
  EXPECT_EQ(ReadSetting(m_path, "Image", "Type"), "JPG");
}

TEST_F(SettingsFileTest, SaveWaitsForTheDiskAndFailsWithIt) {
  const std::string before = "[Image]\nType=JPG\n";
  m_tree.fileWith("pixelmote.ini", before);
  util::FileSystemOps ops = util::posixFileSystemOps();
  ops.fsync = [](int) -> int {
    errno = EIO;
    return -1;
  };
  util::IoResult result;
  {
    util::ScopedFileSystemOps guard(ops);
    result = saveSettings(m_path, SettingsDocument::parse("[Image]\nType=GIF\n"));
  }
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, EIO);
  EXPECT_EQ(m_tree.read("pixelmote.ini"), before);
  EXPECT_EQ(folderEntries(), std::vector<std::string>{"pixelmote.ini"});  // no temporary file left
}

// --- start values installed for all users ------------------------------------

TEST(StartSettingsTest, CandidatesFollowTheConfigFolderListInOrder) {
  const std::string kSystem = "/etc/xdg/pixelmote/pixelmote.ini";
  struct Case {
    const char* dirs;
    std::vector<std::string> expected;
  } const cases[] = {
      {nullptr, {kSystem}},
      {"", {kSystem}},
      {":", {kSystem}},
      {"relative/dir", {kSystem}},
      {"/opt/a", {"/opt/a/pixelmote/pixelmote.ini"}},
      {"/opt/a/:/etc/xdg", {"/opt/a/pixelmote/pixelmote.ini", kSystem}},
      {"::/opt/b:relative:/opt/a:", {"/opt/b/pixelmote/pixelmote.ini", "/opt/a/pixelmote/pixelmote.ini"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(startSettingsCandidates(c.dirs), c.expected) << (c.dirs ? c.dirs : "(unset)");
  }
}

TEST_F(SettingsFileTest, TheFirstConfigFolderHoldingTheFileWins) {
  const std::string a = m_tree.folder("a");
  const std::string b = m_tree.folder("b");
  const std::string c = m_tree.folder("c");
  m_tree.folder("a/pixelmote/pixelmote.ini");  // a folder of that name is no settings file
  const std::string inB = m_tree.fileWith("b/pixelmote/pixelmote.ini", "[Image]\nSize=1\n");
  const std::string inC = m_tree.fileWith("c/pixelmote/pixelmote.ini", "[Image]\nSize=2\n");
  EXPECT_EQ(findStartSettings((a + ":" + b + ":" + c).c_str()), inB);
  EXPECT_EQ(findStartSettings((c + ":" + b).c_str()), inC);
  EXPECT_EQ(findStartSettings((m_tree.path("missing") + ":" + a).c_str()), "");
}

}  // namespace
}  // namespace pixelmote::ui
