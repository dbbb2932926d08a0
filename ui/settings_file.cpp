#include "ui/settings_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "util/path.h"
#include "util/unique_fd.h"

namespace pixelmote::ui {

namespace {

enum class LineKind { Other, Section, Entry };

struct ParsedLine {
  LineKind kind = LineKind::Other;
  std::string_view name;   // section or key name, trimmed
  std::string_view value;  // entry value, trimmed
};

constexpr std::string_view kBlanks = " \t";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

std::string_view trim(std::string_view text) {
  const auto first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

ParsedLine parseLine(std::string_view content) {
  const std::string_view line = trim(content);
  if (line.empty() || line.front() == ';' || line.front() == '#') return {};
  if (line.front() == '[') {
    const auto close = line.find(']');
    if (close == std::string_view::npos) return {};
    return {LineKind::Section, trim(line.substr(1, close - 1)), {}};
  }
  const auto equals = line.find('=');
  if (equals == std::string_view::npos) return {};
  const std::string_view key = trim(line.substr(0, equals));
  if (key.empty()) return {};
  return {LineKind::Entry, key, trim(line.substr(equals + 1))};
}

// Parses line `index` of a file, looking past a byte order mark at its start.
ParsedLine parseLineAt(std::string_view content, std::size_t index) {
  if (index == 0 && content.starts_with(kByteOrderMark)) content.remove_prefix(kByteOrderMark.size());
  return parseLine(content);
}

bool hasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

// Reads the whole file into `out`; returns 0 or the errno of the failing step.
int readWholeFile(const std::string& path, std::string& out) {
  out.clear();
  const util::UniqueFd fd = util::openForReading(path);
  if (!fd) return errno;
  char buffer[8192];
  for (;;) {
    const ssize_t n = util::readFully(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      const int err = errno;
      out.clear();
      return err;
    }
    out.append(buffer, static_cast<std::size_t>(n));
    if (static_cast<std::size_t>(n) < sizeof buffer) return 0;
  }
}

}  // namespace

SettingsDocument SettingsDocument::parse(std::string_view text) {
  SettingsDocument doc;
  bool lineEndSeen = false;
  while (!text.empty()) {
    const auto lf = text.find('\n');
    Line line;
    if (lf == std::string_view::npos) {
      // A CR that ends the text ends its last line (a CR LF cut short), so
      // that the line reads the same once a line is added after it.
      const bool cr = text.back() == '\r';
      line.content = std::string(text.substr(0, cr ? text.size() - 1 : text.size()));
      if (cr) {
        line.end = "\r";
        if (!lineEndSeen) doc.m_lineEnd = "\r\n";
      }
      text = {};
    } else {
      const bool crlf = lf > 0 && text[lf - 1] == '\r';
      line.content = std::string(text.substr(0, crlf ? lf - 1 : lf));
      line.end = crlf ? "\r\n" : "\n";
      text.remove_prefix(lf + 1);
      if (!lineEndSeen) {
        doc.m_lineEnd = line.end;
        lineEndSeen = true;
      }
    }
    doc.m_lines.push_back(std::move(line));
  }
  return doc;
}

std::optional<std::string> SettingsDocument::value(std::string_view section, std::string_view key) const {
  section = trim(section);
  key = trim(key);
  bool inSection = false;
  for (std::size_t i = 0; i < m_lines.size(); ++i) {
    const ParsedLine line = parseLineAt(m_lines[i].content, i);
    if (line.kind == LineKind::Section) {
      if (inSection) return std::nullopt;  // only the first section of a name counts
      inSection = util::equalsIgnoreCase(line.name, section);
    } else if (inSection && line.kind == LineKind::Entry && util::equalsIgnoreCase(line.name, key)) {
      return std::string(line.value);
    }
  }
  return std::nullopt;
}

bool SettingsDocument::set(std::string_view section, std::string_view key, std::string_view value) {
  section = trim(section);
  key = trim(key);
  if (hasLineBreak(section) || section.find(']') != std::string_view::npos) return false;
  if (key.empty() || hasLineBreak(key) || key.find('=') != std::string_view::npos ||
      key.front() == ';' || key.front() == '#' || key.front() == '[')
    return false;
  if (hasLineBreak(value)) return false;

  // Find the section's heading and, inside it, the key or the last entry.
  std::optional<std::size_t> heading;
  std::size_t lastEntry = 0;
  for (std::size_t i = 0; i < m_lines.size(); ++i) {
    const ParsedLine line = parseLineAt(m_lines[i].content, i);
    if (line.kind == LineKind::Section) {
      if (heading) break;
      if (util::equalsIgnoreCase(line.name, section)) heading = lastEntry = i;
    } else if (heading && line.kind == LineKind::Entry) {
      if (util::equalsIgnoreCase(line.name, key)) {
        // The key keeps its spelling in the file; only the value changes.
        m_lines[i].content = std::string(line.name) + "=" + std::string(value);
        return true;
      }
      lastEntry = i;
    }
  }

  Line entry{std::string(key) + "=" + std::string(value), m_lineEnd};
  if (heading) {
    // After the section's last entry, so blank lines and comments that
    // separate it from the next section stay below the new entry.
    endLine(m_lines[lastEntry]);
    m_lines.insert(m_lines.begin() + static_cast<std::ptrdiff_t>(lastEntry + 1), std::move(entry));
    return true;
  }
  if (!m_lines.empty()) endLine(m_lines.back());
  m_lines.push_back({"[" + std::string(section) + "]", m_lineEnd});
  m_lines.push_back(std::move(entry));
  return true;
}

void SettingsDocument::endLine(Line& line) const {
  if (line.end.empty()) line.end = m_lineEnd;
  if (line.end == "\r") line.end = "\r\n";
}

std::string SettingsDocument::text() const {
  std::string out;
  for (const Line& line : m_lines) {
    out += line.content;
    out += line.end;
  }
  return out;
}

SettingsDocument loadSettings(const std::string& path, bool* ok) {
  std::string text;
  const int err = readWholeFile(path, text);
  if (ok) *ok = err == 0;
  return SettingsDocument::parse(text);
}

util::IoResult saveSettings(const std::string& path, const SettingsDocument& doc) {
  return util::writeFileAtomically(path, doc.text(), util::Durability::Synced);
}

std::string ReadSetting(const std::string& path, std::string_view section, std::string_view key) {
  return loadSettings(path).value(section, key).value_or(std::string());
}

util::IoResult WriteSetting(const std::string& path, std::string_view section, std::string_view key,
                            std::string_view value) {
  std::string text;
  // A missing file is started afresh; one that exists but cannot be read is
  // left alone rather than replaced by a file holding this one entry.
  if (const int err = readWholeFile(path, text); err != 0 && err != ENOENT)
    return util::IoResult::failure(err, "cannot read " + path + ": " + std::strerror(err));
  SettingsDocument doc = SettingsDocument::parse(text);
  if (!doc.set(section, key, value))
    return util::IoResult::failure(EINVAL, "cannot store entry '" + std::string(key) + "' of section '" +
                                               std::string(section) + "' in " + path);
  return saveSettings(path, doc);
}

std::vector<std::string> startSettingsCandidates(const char* xdgConfigDirs) {
  std::vector<std::string> out;
  std::string_view dirs = xdgConfigDirs != nullptr ? xdgConfigDirs : "";
  while (!dirs.empty()) {
    const auto colon = dirs.find(':');
    std::string_view dir = dirs.substr(0, colon);
    dirs = colon == std::string_view::npos ? std::string_view() : dirs.substr(colon + 1);
    if (dir.empty() || dir.front() != '/') continue;
    out.push_back(util::joinPath(std::string(dir), "pixelmote/pixelmote.ini"));
  }
  if (out.empty()) out.push_back("/etc/xdg/pixelmote/pixelmote.ini");
  return out;
}

std::string findStartSettings(const char* xdgConfigDirs) {
  for (const std::string& path : startSettingsCandidates(xdgConfigDirs)) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return path;
  }
  return {};
}

}  // namespace pixelmote::ui
