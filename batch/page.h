// The text of a folder's index page: its fixed pieces, names made safe for
// the page, and the test that tells a page of ours from a hand-written one.
#pragma once

#include <string>
#include <string_view>

namespace pixelmote::batch::page {

// The name of every folder's page.
inline constexpr const char* kPageName = "index.html";

inline constexpr std::string_view kHead = "<html><body><center>";
// The head of a page that holds bytes of 0x80 and above (UTF-8 names).
inline constexpr std::string_view kHeadUtf8 = "<html><meta charset=\"utf-8\"><body><center>";
inline constexpr std::string_view kTableEnd = "</tr></table>";
inline constexpr std::string_view kTail = "</center></body></html>";
inline constexpr std::string_view kRowBreak = "</tr><tr>";
inline constexpr std::string_view kLineEnd = "\r\n";

// A name as page text: & < > ' " become entities, control bytes (below 0x20
// and 0x7F) numeric references; all other bytes stay.
std::string escapeText(std::string_view name);

// A name as an href or src value: "%", "#", "?", "\", control bytes, bytes
// of 0x80 and above and a space at either end percent-encoded (upper-case
// hex), then escaped as text.
std::string escapeUrl(std::string_view name);

// One entry of the links line for a sub-folder named `name`.
std::string folderLink(std::string_view name);

// The Home link of a folder at `depth` (the start folder is depth 1).
std::string homeLink(int depth);

// "<table border=" + border + "><tr>".
std::string tableOpen(int border);

// One table cell linking a picture to its thumbnail.
std::string cell(std::string_view picture, std::string_view thumbnail);

// The bytes of the page file for page text `html`: the head switched to the
// UTF-8 form when the text holds a byte of 0x80 or above, then CR LF.
std::string pageFile(std::string html);

// True when `head` (the file's first bytes) and `tail` (its last bytes) are
// those of a page this program writes.
bool looksGenerated(std::string_view head, std::string_view tail);

// Reads the start and end of the file at `path` and applies looksGenerated.
bool isGeneratedPage(const std::string& path);

}  // namespace pixelmote::batch::page
