#include "batch/page.h"

#include <gtest/gtest.h>
#include <string>

#include "testsupport/temp_tree.h"

namespace pixelmote::batch::page {
namespace {

using namespace std::string_literals;

TEST(PageEscapeTest, EscapeTextReplacesTheFiveMarkupCharacters) {
  EXPECT_EQ(escapeText("Night"), "Night");
  EXPECT_EQ(escapeText(""), "");
  EXPECT_EQ(escapeText("Tom's"), "Tom&#39;s");
  EXPECT_EQ(escapeText("Rock & Roll"), "Rock &amp; Roll");
  EXPECT_EQ(escapeText("<script>"), "&lt;script&gt;");
  EXPECT_EQ(escapeText("\"quoted\""), "&quot;quoted&quot;");
  EXPECT_EQ(escapeText("&amp;"), "&amp;amp;");  // an entity in a name is text, not markup
  // Control bytes become numeric references; everything else stays.
  EXPECT_EQ(escapeText("50% #1? a\\b"), "50% #1? a\\b");
  EXPECT_EQ(escapeText("caf\xC3\xA9"), "caf\xC3\xA9");
  EXPECT_EQ(escapeText("a\x01z\xFF"), "a&#1;z\xFF");
  EXPECT_EQ(escapeText("two\nlines\tand\x7F"), "two&#10;lines&#9;and&#127;");
}

TEST(PageEscapeTest, EscapeUrlPercentEncodesThenEscapesAsText) {
  EXPECT_EQ(escapeUrl("a.jpg"), "a.jpg");
  EXPECT_EQ(escapeUrl("my photo-1_(2).jpg"), "my photo-1_(2).jpg");
  EXPECT_EQ(escapeUrl("100%.jpg"), "100%25.jpg");
  EXPECT_EQ(escapeUrl("#1.jpg"), "%231.jpg");
  EXPECT_EQ(escapeUrl("why?.jpg"), "why%3F.jpg");
  EXPECT_EQ(escapeUrl("a\\b.jpg"), "a%5Cb.jpg");
  EXPECT_EQ(escapeUrl("a\x01.jpg"), "a%01.jpg");
  EXPECT_EQ(escapeUrl("a\x1F\x7F.jpg"), "a%1F%7F.jpg");
  EXPECT_EQ(escapeUrl("caf\xC3\xA9.jpg"), "caf%C3%A9.jpg");  // UTF-8, upper-case hex
  EXPECT_EQ(escapeUrl("bad\xFF\x80.jpg"), "bad%FF%80.jpg");  // bytes that are no UTF-8
  EXPECT_EQ(escapeUrl("nul\0.jpg"s), "nul%00.jpg");
  // The markup characters are escaped after the percent-encoding: neither
  // the "&" nor the "#" of an entity is encoded again.
  EXPECT_EQ(escapeUrl("Tom's.jpg"), "Tom&#39;s.jpg");
  EXPECT_EQ(escapeUrl("R&B.jpg"), "R&amp;B.jpg");
  EXPECT_EQ(escapeUrl("<script>"), "&lt;script&gt;");
  EXPECT_EQ(escapeUrl("\"q\""), "&quot;q&quot;");
  EXPECT_EQ(escapeUrl("&#%"), "&amp;%23%25");
}

TEST(PagePiecesTest, FolderLinkEscapesTheHrefAndTheText) {
  EXPECT_EQ(folderLink("Night"), "<a href='Night/index.html'>Night</a> | ");
  EXPECT_EQ(folderLink("Tom's & Jerry's"),
            "<a href='Tom&#39;s &amp; Jerry&#39;s/index.html'>Tom&#39;s &amp; Jerry&#39;s</a> | ");
  EXPECT_EQ(folderLink("100% #1"), "<a href='100%25 %231/index.html'>100% #1</a> | ");
  EXPECT_EQ(folderLink("\xC3\x89t\xC3\xA9"), "<a href='%C3%89t%C3%A9/index.html'>\xC3\x89t\xC3\xA9</a> | ");
}

TEST(PagePiecesTest, HomeLinkStepsUpOneFolderLessThanTheDepth) {
  EXPECT_EQ(homeLink(1), "<a href='index.html'>Home</a><br>");
  EXPECT_EQ(homeLink(2), "<a href='..\\index.html'>Home</a><br>");
  EXPECT_EQ(homeLink(3), "<a href='..\\..\\index.html'>Home</a><br>");
  EXPECT_EQ(homeLink(5), "<a href='..\\..\\..\\..\\index.html'>Home</a><br>");
}

TEST(PagePiecesTest, TableOpenAndCell) {
  EXPECT_EQ(tableOpen(0), "<table border=0><tr>");
  EXPECT_EQ(tableOpen(1), "<table border=1><tr>");
  EXPECT_EQ(tableOpen(10), "<table border=10><tr>");
  EXPECT_EQ(cell("a.jpg", "t_a.jpg"),
            "<td align=center><a href='a.jpg'><img src='t_a.jpg' border=0></a></td>");
  EXPECT_EQ(cell("it's 100%.jpg", "t_it's 100%.jpg"),
            "<td align=center><a href='it&#39;s 100%25.jpg'><img src='t_it&#39;s 100%25.jpg' border=0></a></td>");
}

TEST(PageTextTest, AssemblesAPageFromItsPieces) {
  std::string html(kHead);
  html += folderLink("Night");
  html += homeLink(2);
  html += tableOpen(1);
  html += cell("a.jpg", "t_a.jpg");
  html += cell("b.jpg", "t_b.jpg");
  html += kRowBreak;  // two columns
  html += cell("c.jpg", "t_c.jpg");
  html += kTableEnd;
  html += kTail;
  EXPECT_EQ(pageFile(html),
            "<html><body><center><a href='Night/index.html'>Night</a> | <a href='..\\index.html'>Home</a><br>"
            "<table border=1><tr><td align=center><a href='a.jpg'><img src='t_a.jpg' border=0></a></td>"
            "<td align=center><a href='b.jpg'><img src='t_b.jpg' border=0></a></td></tr><tr>"
            "<td align=center><a href='c.jpg'><img src='t_c.jpg' border=0></a></td></tr></table>"
            "</center></body></html>\r\n");
}

TEST(PageFileTest, AppendsOneLineEndToAPlainPage) {
  const std::string html = std::string(kHead) + tableOpen(0) + std::string(kTableEnd) + std::string(kTail);
  EXPECT_EQ(pageFile(html), html + "\r\n");
  EXPECT_EQ(pageFile(""), "\r\n");
  // A byte just below 0x80 keeps the plain head.
  const std::string del = std::string(kHead) + "\x7F" + std::string(kTail);
  EXPECT_EQ(pageFile(del), del + "\r\n");
}

TEST(PageFileTest, APageWithHighBytesGetsTheUtf8Head) {
  const std::string rest = folderLink("caf\xC3\xA9") + tableOpen(0) + std::string(kTableEnd) + std::string(kTail);
  EXPECT_EQ(pageFile(std::string(kHead) + rest), std::string(kHeadUtf8) + rest + "\r\n");
  // A single byte of 0x80 is enough.
  EXPECT_EQ(pageFile(std::string(kHead) + "\x80" + std::string(kTail)),
            std::string(kHeadUtf8) + "\x80" + std::string(kTail) + "\r\n");
  // Text without our head is left as it is.
  EXPECT_EQ(pageFile("<p>\xC3\xA9</p>"), "<p>\xC3\xA9</p>\r\n");
}

TEST(LooksGeneratedTest, TellsOurPagesFromOthers) {
  const std::string ours = pageFile(std::string(kHead) + tableOpen(1) + std::string(kTableEnd) + std::string(kTail));
  EXPECT_TRUE(looksGenerated(ours, ours));
  const std::string utf8 = pageFile(std::string(kHead) + folderLink("\xC3\xA9") + std::string(kTail));
  ASSERT_EQ(utf8.rfind(kHeadUtf8, 0), 0u);
  EXPECT_TRUE(looksGenerated(utf8, utf8));
  const std::string lf = std::string(kHead) + std::string(kTail) + "\n";
  EXPECT_TRUE(looksGenerated(lf, lf));

  const std::string noLineEnd = std::string(kHead) + std::string(kTail);
  EXPECT_FALSE(looksGenerated(noLineEnd, noLineEnd));
  const std::string noTail = std::string(kHead) + tableOpen(1) + "\r\n";
  EXPECT_FALSE(looksGenerated(noTail, noTail));
  const std::string handWritten = "<html><head><title>Trip</title></head><body><center></center></body></html>\r\n";
  EXPECT_FALSE(looksGenerated(handWritten, handWritten));
  const std::string upperCase = "<HTML><BODY><CENTER></CENTER></BODY></HTML>\r\n";
  EXPECT_FALSE(looksGenerated(upperCase, upperCase));
  EXPECT_FALSE(looksGenerated("", ""));
  EXPECT_FALSE(looksGenerated(std::string(kHead), ""));
  EXPECT_FALSE(looksGenerated("", ours));
}

class GeneratedPageFileTest : public ::testing::Test {
 protected:
  testing::TempTree m_tree;
};

TEST_F(GeneratedPageFileTest, RecognisesOurPagesOnDisk) {
  std::string big(kHead);
  big += tableOpen(1);
  for (int i = 0; i < 200; ++i) big += cell("p" + std::to_string(i) + ".jpg", "t_p" + std::to_string(i) + ".jpg");
  big += kTableEnd;
  big += kTail;
  EXPECT_TRUE(isGeneratedPage(m_tree.fileWith("big.html", pageFile(big))));

  const std::string small = std::string(kHead) + std::string(kTail);
  EXPECT_TRUE(isGeneratedPage(m_tree.fileWith("crlf.html", small + "\r\n")));
  EXPECT_TRUE(isGeneratedPage(m_tree.fileWith("lf.html", small + "\n")));
  EXPECT_TRUE(isGeneratedPage(m_tree.fileWith("utf8.html", pageFile(std::string(kHead) + folderLink("\xC3\xA9") +
                                                                     std::string(kTail)))));
  EXPECT_TRUE(isGeneratedPage(m_tree.symlink("link.html", m_tree.path("crlf.html"))));
}

TEST_F(GeneratedPageFileTest, LeavesOtherFilesAlone) {
  EXPECT_FALSE(isGeneratedPage(m_tree.fileWith("hand.html", "<html><body><h1>My trip</h1></body></html>\r\n")));
  EXPECT_FALSE(isGeneratedPage(m_tree.fileWith("empty.html", "")));
  EXPECT_FALSE(isGeneratedPage(m_tree.fileWith(
      "cut.html", std::string(kHead) + tableOpen(1) + cell("a.jpg", "t_a.jpg") + std::string(kTableEnd))));
  EXPECT_FALSE(isGeneratedPage(m_tree.fileWith("tail-only.html", std::string(kTail) + "\r\n")));
  // Our page with something added after its end.
  EXPECT_FALSE(isGeneratedPage(m_tree.fileWith(
      "added.html", pageFile(std::string(kHead) + std::string(kTail)) + "<!-- added by hand -->\r\n")));
  EXPECT_FALSE(isGeneratedPage(m_tree.folder("folder.html")));
  EXPECT_FALSE(isGeneratedPage(m_tree.path("missing.html")));
  EXPECT_FALSE(isGeneratedPage(""));
}

}  // namespace
}  // namespace pixelmote::batch::page
