// The settings file's entries set in place, and the knob offsets it keeps.
#include "ui/settings_file.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "ui/knob.h"

namespace pixelmote::ui {
namespace {

using namespace std::string_literals;

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
      {"added after the section's last entry", "[Image]\nType=JPG\n\n; Thumb=old\n\n[Later]\nX=1\n", "Image", "Thumb",
       "[Image]\nType=JPG\nThumb=/v\n\n; Thumb=old\n\n[Later]\nX=1\n"},
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
      {"Im\nage", "Type", "x"}, {"Image", "   ", "x"}, {"Image", "a=b", "x"}, {"Image", ";Type", "x"},
      {"Image", "#Type", "x"}, {"Image", "[Type", "x"}};
  for (const auto& r : refused) EXPECT_FALSE(doc.set(r[0], r[1], r[2])) << r[0] << "/" << r[1];
  EXPECT_EQ(doc.text(), before);
  ASSERT_TRUE(doc.set("Image", "Prefix", "a=b")) << "the key ends at the first equals sign";
  EXPECT_EQ(doc.value("Image", "Prefix"), "a=b");
}

// The knob offsets the settings file keeps: read as plain signed decimals,
// written as the shortest text that reads back exactly, kept to the track.
TEST(KnobOffsetTest, ParseFormatClampAndValue) {
  const struct {
    std::string text;
    char mark;
    std::optional<float> offset;
  } parsed[] = {
      {"76", '.', 76.0f}, {"  -50\t", '.', -50.0f}, {"+12.5", '.', 12.5f}, {"12,5", ',', 12.5f}, {".5", '.', 0.5f},
      {"5.", '.', 5.0f},  {"-0", '.', 0.0f},        {"0.1", '.', 0.1f},    {"12.5", ',', std::nullopt},
      {std::string(50, '9'), '.', std::nullopt},  // beyond the float range
  };
  for (const auto& c : parsed) EXPECT_EQ(parseKnobOffset(c.text, c.mark), c.offset) << '"' << c.text << '"';
  for (const char* text : {"abc", "", "   ", "1.2.3", "12,5", "1e3", "inf", "nan", "-", ".", "+-1", "12abc", "0x10",
                           "1 2", "--1"}) {
    EXPECT_EQ(parseKnobOffset(text, '.'), std::nullopt) << '"' << text << '"';
  }

  for (const auto& [offset, mark, text] : {std::tuple{12.5f, ',', "12,5"}, {-0.0f, '.', "0"}, {1e-7f, '.', "0.0000001"}}) {
    EXPECT_EQ(formatKnobOffset(offset, mark), text);
  }
  for (float offset : {0.1f, 1.0f / 3.0f, 151.99999f, 1e-7f, 123456.78f, -3.75f}) {
    for (char mark : {'.', ','}) EXPECT_EQ(parseKnobOffset(formatKnobOffset(offset, mark), mark), offset);
  }

  const struct {
    float offset, clamped;
    int value;
  } clamped[] = {
      {500.0f, 152.0f, 100}, {152.5f, 152.0f, 100}, {-50.0f, 0.0f, 0}, {76.0f, 76.0f, 50}, {151.0f, 151.0f, 99},
      {1.0f, 1.0f, 1},       {0.75f, 0.75f, 0},     // 0.66 shows as 1, 0.49 as 0
      {0.76f, 0.76f, 1},     {2.28f, 2.28f, 2},     {3.8f, 3.8f, 3},  // exactly .5 in single precision: halves go up
      {std::numeric_limits<float>::quiet_NaN(), 0.0f, 0},
  };
  for (const auto& c : clamped) {
    EXPECT_EQ(clampKnobOffset(c.offset), c.clamped) << c.offset;
    EXPECT_EQ(knobValue(c.offset), c.value) << c.offset;
  }
  EXPECT_FALSE(std::signbit(clampKnobOffset(-0.0f)));
}

}  // namespace
}  // namespace pixelmote::ui
