#include "ui/settings_file.h"

#include <cerrno>
#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

#include "testsupport/temp_tree.h"
#include "util/file_io.h"

namespace pixelmote::ui {
namespace {

using namespace std::string_literals;

TEST(SettingsDocumentTest, LooksUpTheFirstEntryOfTheFirstSectionIgnoringCaseBlanksAndComments) {
  // Before any section; a heading with blanks; blanks around key and value;
  // comments; lines that are no entries; "[broken" is no heading; a second [Image].
  const auto doc = SettingsDocument::parse(
      "Type=BMP\n[Folder]\nPath=/home/ann/Pictures\n  [ image ]  \n\tTYPE  =  GIF \t\ntype=PCX\n; Thumb=PCX\n"
      "# Column=1\njust words\n=no key\n[broken\nPrefix=\nBorder=   \n[Image]\nColumn=3\n");
  const struct {
    const char* section;
    const char* key;
    std::optional<std::string> value;
  } cases[] = {
      {"folder", "PATH", "/home/ann/Pictures"}, {"Image", "Type", "GIF"},         {"IMAGE", "Thumb", std::nullopt},
      {"Image", "Column", std::nullopt},        {"Image", "Prefix", ""},          {"Image", "Border", ""},
      {"Image", "Path", std::nullopt},          {"Folder", "Type", std::nullopt}, {"broken", "Prefix", std::nullopt},
      {"", "Type", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(doc.value(c.section, c.key), c.value) << c.section << "/" << c.key;
  // Parsing and writing back give any text exactly.
  for (const std::string& text : {""s, "\n\n"s, "[Image]\r\nType=JPG\r\n"s, "mixed\r\nends\nhere\r\n"s, "lone\rCR\n"s,
                                  "bytes \x00\xff\x80 and more\n"s, "[Image]\nType=JPG"s}) {
    EXPECT_EQ(SettingsDocument::parse(text).text(), text);
  }
  // The byte order mark stays in front of the first section.
  auto bom = SettingsDocument::parse("\xEF\xBB\xBF[Folder]\nPath=/p\n");
  ASSERT_TRUE(bom.set("Folder", "Path", "/q"));
  EXPECT_EQ(bom.text(), "\xEF\xBB\xBF[Folder]\nPath=/q\n");
}

TEST(SettingsDocumentTest, SetChangesOnlyTheEntrysLineOrAddsItWhereItBelongs) {
  const struct {
    const char* what;
    std::string before;
    const char* section;
    const char* key;
    std::string after;
  } cases[] = {
      {"replaced in place, key spelling kept", "; c\n[Other]\nPath = keep\n[folder]\n  PATH =  /old  \nX=1\n", "Folder",
       "Path", "; c\n[Other]\nPath = keep\n[folder]\nPATH=/v\nX=1\n"},
      {"the first of two keys and sections", "[Image]\nType=JPG\ntype=GIF\n[image]\nType=PCX\n", "IMAGE", "TYPE",
       "[Image]\nType=/v\ntype=GIF\n[image]\nType=PCX\n"},
      {"added after the section's last entry", "[Image]\nType=JPG\n\n; end\n\n[Later]\nX=1\n", "Image", "Thumb",
       "[Image]\nType=JPG\nThumb=/v\n\n; end\n\n[Later]\nX=1\n"},
      {"added to the first of two sections", "[Image]\nType=JPG\n[image]\nColumn=3\n", "Image", "Column",
       "[Image]\nType=JPG\nColumn=/v\n[image]\nColumn=3\n"},
      {"added below a heading without entries", "[Image]\n\n[Folder]\nPath=/p\n", "image", "Type",
       "[Image]\nType=/v\n\n[Folder]\nPath=/p\n"},
      {"a missing section at the end", "[Folder]\nPath=/p\n\n", "Image", "Type", "[Folder]\nPath=/p\n\n[Image]\nType=/v\n"},
      {"a line end for an unterminated last line", "[Folder]\nPath=/p", "Image", "Type",
       "[Folder]\nPath=/p\n[Image]\nType=/v\n"},
      {"an unterminated entry of the same section", "[Image]\nType=JPG", "Image", "Thumb", "[Image]\nType=JPG\nThumb=/v\n"},
      {"new lines follow CRLF files", "[Folder]\r\nPath=/p\r\n", "Folder", "More", "[Folder]\r\nPath=/p\r\nMore=/v\r\n"},
      {"a new section follows CRLF files", "[Folder]\r\nPath=/p\r\n", "Image", "Type",
       "[Folder]\r\nPath=/p\r\n[Image]\r\nType=/v\r\n"},
      {"an empty file", "", "Image", "Type", "[Image]\nType=/v\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto doc = SettingsDocument::parse(c.before);
    ASSERT_TRUE(doc.set(c.section, c.key, "/v"));
    EXPECT_EQ(doc.text(), c.after);
    EXPECT_EQ(doc.value(c.section, c.key), "/v") << "writing goes where reading looks";
  }
  // Entries that would not read back are refused and change nothing.
  const std::string before = "[Image]\nType=JPG\n";
  auto doc = SettingsDocument::parse(before);
  const std::vector<std::vector<std::string>> refused = {
      {"Image", "Type", "two\nlines"}, {"Image", "Type", "ends in CR\r"}, {"Ima]ge", "Type", "x"},
      {"Im\nage", "Type", "x"},        {"Image", "", "x"},                {"Image", "   ", "x"},
      {"Image", "a=b", "x"},           {"Image", ";Type", "x"},           {"Image", "#Type", "x"},
      {"Image", "[Type", "x"}};
  for (const auto& r : refused) EXPECT_FALSE(doc.set(r[0], r[1], r[2])) << r[0] << "/" << r[1];
  EXPECT_EQ(doc.text(), before);
  ASSERT_TRUE(doc.set("Image", "Prefix", "a=b")) << "the key ends at the first equals sign";
  EXPECT_EQ(doc.value("Image", "Prefix"), "a=b");
}

class SettingsFileTest : public ::testing::Test {
 protected:
  testing::TempTree m_tree;
  std::string m_path = m_tree.path("pixelmote.ini");
};

TEST_F(SettingsFileTest, WritesReadBackKeepEveryOtherByteAndFailWithoutHarm) {
  bool ok = true;
  EXPECT_EQ(ReadSetting(m_path, "Folder", "Path"), "");
  EXPECT_EQ(loadSettings(m_path, &ok).text(), "");
  EXPECT_FALSE(ok) << "a missing file";

  // From scratch: the entries in writing order; written again, nothing changes.
  const std::string longPath(600, 'p');
  const std::vector<std::vector<std::string>> entries = {
      {"Folder", "Path", longPath}, {"Image", "Prefix", ""}, {"Stra\xdf" "e", "K\xe4y", "M\xfcnchen \x80\xff"}};
  for (int pass = 0; pass < 2; ++pass) {
    for (const auto& e : entries) ASSERT_TRUE(WriteSetting(m_path, e[0], e[1], e[2]));
  }
  EXPECT_EQ(m_tree.read("pixelmote.ini"),
            "[Folder]\nPath=" + longPath + "\n[Image]\nPrefix=\n[Stra\xdf" "e]\nK\xe4y=M\xfcnchen \x80\xff\n");
  for (const auto& e : entries) EXPECT_EQ(ReadSetting(m_path, e[0], e[1]), e[2]);

  // Another program's file: its lines, line ends and bytes are kept.
  m_tree.fileWith("pixelmote.ini", "; mine\r\n[Image]\r\nType=JPG\r\nCustom=\xe9t\xe9\r\n\r\n[Tail]\r\nZ=9");
  ASSERT_TRUE(WriteSetting(m_path, "Image", "Type", "GIF"));
  ASSERT_TRUE(WriteSetting(m_path, "Folder", "Path", "/pics"));
  EXPECT_EQ(m_tree.read("pixelmote.ini"),
            "; mine\r\n[Image]\r\nType=GIF\r\nCustom=\xe9t\xe9\r\n\r\n[Tail]\r\nZ=9\r\n[Folder]\r\nPath=/pics\r\n");
  loadSettings(m_path, &ok);
  EXPECT_TRUE(ok);

  // Failures (injected where folder rights would not stop root) leave the old file.
  const auto failingSync = [](int) -> int {
    errno = EIO;
    return -1;
  };
  const struct {
    std::string path;
    const char* value;
    int error;
  } failures[] = {{m_tree.path("gone/pixelmote.ini"), "GIF", ENOENT}, {m_path, "a\nb", EINVAL}, {m_path, "GIF", EIO}};
  for (const auto& f : failures) {
    m_tree.fileWith("pixelmote.ini", "[Image]\nType=JPG\n");
    util::FileSystemOps ops = util::posixFileSystemOps();
    ops.fsync = failingSync;  // the settings file is flushed before it replaces the old one
    util::ScopedFileSystemOps guard(f.error == EIO ? ops : util::posixFileSystemOps());
    const util::IoResult result = WriteSetting(f.path, "Image", "Type", f.value);
    EXPECT_EQ(result.error, f.error) << f.value;
    EXPECT_EQ(m_tree.read("pixelmote.ini"), "[Image]\nType=JPG\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_tree.root()), {}), 1) << "no temporary file left";
  }
  // A folder where the file should be: unreadable, and not replaced.
  std::filesystem::remove(m_path);
  m_tree.folder("pixelmote.ini");
  loadSettings(m_path, &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(WriteSetting(m_path, "Image", "Type", "GIF").error, EISDIR);
}

TEST(StartSettingsTest, CandidatesFollowTheConfigFolderListInOrder) {
  const std::string kSystem = "/etc/xdg/pixelmote/pixelmote.ini";
  const struct {
    const char* dirs;
    std::vector<std::string> expected;
  } cases[] = {
      {nullptr, {kSystem}}, {"", {kSystem}}, {":", {kSystem}}, {"relative/dir", {kSystem}},
      {"/opt/a/:/etc/xdg", {"/opt/a/pixelmote/pixelmote.ini", kSystem}},
      {"::/opt/b:relative:/opt/a:", {"/opt/b/pixelmote/pixelmote.ini", "/opt/a/pixelmote/pixelmote.ini"}},
  };
  for (const auto& c : cases) EXPECT_EQ(startSettingsCandidates(c.dirs), c.expected) << (c.dirs ? c.dirs : "(unset)");
}

}  // namespace
}  // namespace pixelmote::ui
