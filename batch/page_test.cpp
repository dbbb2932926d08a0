// The pieces of a folder's page, names made safe for it, and the test that
// tells our pages from hand-written ones.
#include "batch/page.h"

#include <gtest/gtest.h>
#include <string>

#include "testsupport/temp_tree.h"

namespace pixelmote::batch::page {
namespace {

using namespace std::string_literals;

const std::string kEmptyPage = std::string(kHead) + tableOpen(1) + std::string(kTableEnd) + std::string(kTail);

TEST(PageText, PiecesEscapeNamesAsTextAndAsUrls) {
  const std::pair<std::string, std::string> rows[] = {
      {escapeText("Tom's & <b>\"x\""), "Tom&#39;s &amp; &lt;b&gt;&quot;x&quot;"},
      {escapeText("50% #1? a\\b caf\xC3\xA9\xFF"), "50% #1? a\\b caf\xC3\xA9\xFF"},
      {escapeText("a\x01z two\nlines\tand\x7F"), "a&#1;z two&#10;lines&#9;and&#127;"},
      {escapeUrl("my photo-1_(2).jpg"), "my photo-1_(2).jpg"},
      {escapeUrl("100%#1?a\\b.jpg"), "100%25%231%3Fa%5Cb.jpg"},
      {escapeUrl("caf\xC3\xA9\xFF\x80.jpg"), "caf%C3%A9%FF%80.jpg"},  // upper-case hex
      {escapeUrl("nul\0.jpg"s), "nul%00.jpg"},
      {escapeUrl(" a b "), "%20a b%20"},  // a space at either end
      {escapeUrl("Tom's R&B <\"q\">"), "Tom&#39;s R&amp;B &lt;&quot;q&quot;&gt;"},
      {escapeUrl("&#%"), "&amp;%23%25"},  // the entity's "&" and "#" are not encoded again
      {folderLink("Tom's & 100% #1"), "<a href='Tom&#39;s &amp; 100%25 %231/index.html'>Tom&#39;s &amp; 100% #1</a> | "},
      {homeLink(1), "<a href='index.html'>Home</a><br>"},
      {homeLink(4), "<a href='..\\..\\..\\index.html'>Home</a><br>"},
      {tableOpen(10), "<table border=10><tr>"},
      {cell("it's 100%.jpg", "t_a.jpg"), "<td align=center><a href='it&#39;s 100%25.jpg'><img src='t_a.jpg' border=0></a></td>"},
      {pageFile(kEmptyPage), kEmptyPage + "\r\n"},
      {pageFile(std::string(kHead) + "\x7F"), std::string(kHead) + "\x7F\r\n"},  // below 0x80: plain head
      {pageFile(std::string(kHead) + "\x80" + std::string(kTail)), std::string(kHeadUtf8) + "\x80" + std::string(kTail) + "\r\n"},
      {pageFile("<p>\xC3\xA9</p>"), "<p>\xC3\xA9</p>\r\n"},  // text without our head stays as it is
  };
  for (const auto& [got, want] : rows) EXPECT_EQ(got, want);
}

TEST(PageText, OurPagesAreToldFromOthersInMemoryAndOnDisk) {
  testing::TempTree tree;
  std::string big = std::string(kHead) + tableOpen(1);
  for (int i = 0; i < 200; ++i) big += cell("p" + std::to_string(i) + ".jpg", "t_p.jpg");
  big += std::string(kTableEnd) + std::string(kTail);
  const std::string small = std::string(kHead) + std::string(kTail);
  const std::string utf8 = pageFile(std::string(kHead) + folderLink("\xC3\xA9") + std::string(kTail));
  const std::pair<std::string, bool> files[] = {
      {pageFile(big), true},
      {small + "\r\n", true},
      {utf8, true},
      {small, false},  // no line end
      {std::string(kHead) + tableOpen(1) + "\r\n", false},
      {"<html><head><title>Trip</title></head><body><center></center></body></html>\r\n", false},
      {std::string(kHead) + tableOpen(1) + cell("a.jpg", "t_a.jpg") + std::string(kTableEnd), false},
      {small + "\r\n<!-- added by hand -->\r\n", false},
      {"", false},
  };
  int i = 0;
  for (const auto& [text, ours] : files) {
    EXPECT_EQ(looksGenerated(text, text), ours) << text;
    EXPECT_EQ(isGeneratedPage(tree.fileWith("p" + std::to_string(i++) + ".html", text)), ours) << text;
  }
  EXPECT_FALSE(looksGenerated(std::string(kHead), ""));
  EXPECT_FALSE(looksGenerated("", small + "\r\n"));
  EXPECT_TRUE(isGeneratedPage(tree.symlink("link.html", tree.path("p1.html"))));
  EXPECT_FALSE(isGeneratedPage(tree.folder("folder.html")));
  EXPECT_FALSE(isGeneratedPage(tree.path("missing.html")));
}

}  // namespace
}  // namespace pixelmote::batch::page
