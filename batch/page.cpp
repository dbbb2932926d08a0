#include "batch/page.h"

#include <sys/stat.h>

#include "util/unique_fd.h"

namespace pixelmote::batch::page {

std::string escapeText(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (char c : name) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '\'': out += "&#39;"; break;
      case '"': out += "&quot;"; break;
      default:
        // A control byte (a line feed in a folder name) as a numeric
        // reference keeps the page on one line.
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
          out += "&#" + std::to_string(static_cast<unsigned char>(c)) + ";";
        } else {
          out += c;
        }
    }
  }
  return out;
}

std::string escapeUrl(std::string_view name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  encoded.reserve(name.size());
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char ch = name[i];
    const auto c = static_cast<unsigned char>(ch);
    // Browsers drop spaces at either end of a link: those are encoded.
    const bool endSpace = c == ' ' && (i == 0 || i + 1 == name.size());
    if (c == '%' || c == '#' || c == '?' || c == '\\' || c < 0x20 || c >= 0x7F || endSpace) {
      encoded += '%';
      encoded += kHex[c >> 4];
      encoded += kHex[c & 0x0F];
    } else {
      encoded += ch;
    }
  }
  return escapeText(encoded);
}

std::string folderLink(std::string_view name) {
  std::string out = "<a href='";
  out += escapeUrl(name);
  out += '/';
  out += kPageName;
  out += "'>";
  out += escapeText(name);
  out += "</a> | ";
  return out;
}

std::string homeLink(int depth) {
  std::string out = "<a href='";
  for (int i = 1; i < depth; ++i) out += "..\\";
  out += kPageName;
  out += "'>Home</a><br>";
  return out;
}

std::string tableOpen(int border) { return "<table border=" + std::to_string(border) + "><tr>"; }

std::string cell(std::string_view picture, std::string_view thumbnail) {
  std::string out = "<td align=center><a href='";
  out += escapeUrl(picture);
  out += "'><img src='";
  out += escapeUrl(thumbnail);
  out += "' border=0></a></td>";
  return out;
}

std::string pageFile(std::string html) {
  bool highBytes = false;
  for (char c : html) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      highBytes = true;
      break;
    }
  }
  if (highBytes && html.compare(0, kHead.size(), kHead) == 0) {
    html.replace(0, kHead.size(), kHeadUtf8);
  }
  html += kLineEnd;
  return html;
}

bool looksGenerated(std::string_view head, std::string_view tail) {
  const bool headOk = head.substr(0, kHead.size()) == kHead || head.substr(0, kHeadUtf8.size()) == kHeadUtf8;
  if (!headOk) return false;
  const auto endsWith = [&](std::string_view suffix) {
    return tail.size() >= suffix.size() && tail.substr(tail.size() - suffix.size()) == suffix;
  };
  return endsWith("</center></body></html>\r\n") || endsWith("</center></body></html>\n");
}

bool isGeneratedPage(const std::string& path) {
  const util::UniqueFd fd = util::openForReading(path);
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  char head[64];
  char tail[32];
  const ssize_t h = util::readFully(fd.get(), head, sizeof head, 0);
  const off_t tailAt = st.st_size > static_cast<off_t>(sizeof tail) ? st.st_size - static_cast<off_t>(sizeof tail) : 0;
  const ssize_t t = util::readFully(fd.get(), tail, sizeof tail, tailAt);
  return h > 0 && t > 0 &&
         looksGenerated(std::string_view(head, static_cast<std::size_t>(h)), std::string_view(tail, static_cast<std::size_t>(t)));
}

}  // namespace pixelmote::batch::page
