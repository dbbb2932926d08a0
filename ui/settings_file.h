// The settings file: a sectioned key-and-value text file read and rewritten line by line.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/file_io.h"

namespace pixelmote::ui {

// A settings file held in memory as its lines. Section and key names match
// with ASCII case ignored; blanks around names and values are not part of
// them; lines beginning with ';' or '#' are comments. When a section or key
// occurs more than once, the first occurrence is the one read and written.
// Lines that are not touched by `set` come back from `text` byte for byte.
class SettingsDocument {
 public:
  // Splits `text` into lines at LF (a CR before the LF belongs to the line
  // end, as does a CR that ends the text). Any text parses; lines that are
  // neither sections nor entries are kept and passed over.
  static SettingsDocument parse(std::string_view text);

  // The value of the entry, or nothing when the section or key is missing.
  std::optional<std::string> value(std::string_view section, std::string_view key) const;

  // Replaces the entry's line in place, or adds "key=value" after the last
  // entry of the section, adding "[section]" at the end when it is missing.
  // New lines take the line end of the first line (LF in an empty document).
  // Returns false, changing nothing, for names or values that could not be
  // read back: line breaks anywhere, a section name with "]", an empty key,
  // a key with "=" or one that would read as a comment or section.
  bool set(std::string_view section, std::string_view key, std::string_view value);

  // The document as file text.
  std::string text() const;

 private:
  struct Line {
    std::string content;  // without the line end
    std::string end;      // "\n", "\r\n"; for the last line also "\r" or ""
  };

  // Gives a last line the end it needs before a line is added after it.
  void endLine(Line& line) const;

  std::vector<Line> m_lines;
  std::string m_lineEnd = "\n";
};

// Reads a settings file. A missing or unreadable file gives an empty document;
// `ok`, when given, tells whether the file was read.
SettingsDocument loadSettings(const std::string& path, bool* ok = nullptr);

// Writes the document over `path` atomically: a failed save leaves the file
// that was there before.
util::IoResult saveSettings(const std::string& path, const SettingsDocument& doc);

// The value of one entry of the file at `path`; "" for a missing file,
// section or key, and for an empty value.
std::string ReadSetting(const std::string& path, std::string_view section, std::string_view key);

// Writes one entry into the file at `path`, creating the file when missing and
// keeping all its other lines. Fails, leaving the file as it was, when the file
// exists but cannot be read, when it cannot be saved, or when the entry cannot
// be stored (see SettingsDocument::set).
util::IoResult WriteSetting(const std::string& path, std::string_view section, std::string_view key,
                            std::string_view value);

// Where start values installed for all users may be: pixelmote/pixelmote.ini
// under each folder of `xdgConfigDirs` (":"-separated, as $XDG_CONFIG_DIRS),
// in order; empty and relative entries are passed over. No folders at all
// (nullptr, "", or none usable) means "/etc/xdg".
std::vector<std::string> startSettingsCandidates(const char* xdgConfigDirs);

// The first of startSettingsCandidates() that is a regular file, or "".
std::string findStartSettings(const char* xdgConfigDirs);

}  // namespace pixelmote::ui
