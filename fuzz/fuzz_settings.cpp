// Settings file: any text parses and comes back byte for byte; lookups,
// the knob numbers read from values, and a set that must read back.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "ui/knob.h"
#include "ui/settings_file.h"

using namespace pixelmote;
using ui::SettingsDocument;

namespace {

std::string_view trim(std::string_view s) {
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

bool sameName(std::string_view a, std::string_view b) {
  a = trim(a);
  b = trim(b);
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

bool hasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

void addOnce(std::vector<std::string>& list, std::string_view item) {
  if (list.size() >= 10) return;
  for (const auto& have : list) {
    if (have == item) return;
  }
  list.emplace_back(item);
}

// A knob offset read from a value is on no account something its own text
// would not give back.
void checkKnobText(const std::string& text) {
  for (const char point : {'.', ','}) {
    const std::optional<float> offset = ui::parseKnobOffset(text, point);
    if (!offset) continue;
    fuzzing::check(std::isfinite(*offset), "a knob offset that is not finite");
    const std::string written = ui::formatKnobOffset(*offset, point);
    const std::optional<float> again = ui::parseKnobOffset(written, point);
    fuzzing::check(again.has_value() && *again == *offset, "a knob offset that does not read back");
    const int value = ui::knobValue(*offset);
    fuzzing::check(value >= 0 && value <= 100, "a slider value outside 0-100");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const SettingsDocument doc = SettingsDocument::parse(text);
  fuzzing::check(doc.text() == text, "an unchanged document does not give back its text");

  // Names to look up: the program's own and those the text seems to hold.
  std::vector<std::string> sections{"Image", "Folder"};
  std::vector<std::string> keys{"Path", "Size", "Prefix"};
  std::vector<std::string> values{"C:\\x", " 12.5 "};
  std::size_t at = 0;
  for (int line = 0; line < 64 && at < text.size(); ++line) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    const std::string_view content = text.substr(at, end - at);
    at = end + 1;
    if (const auto open = content.find('['); open != std::string_view::npos) {
      const auto close = content.find(']', open);
      addOnce(sections, content.substr(open + 1, close == std::string_view::npos ? close : close - open - 1));
    }
    if (const auto equals = content.find('='); equals != std::string_view::npos) {
      addOnce(keys, content.substr(0, equals));
      addOnce(values, content.substr(equals + 1));
    }
  }

  std::map<std::pair<std::string, std::string>, std::optional<std::string>> before;
  for (const auto& section : sections) {
    for (const auto& key : keys) {
      const auto value = doc.value(section, key);
      if (value) {
        fuzzing::check(*value == trim(*value), "a value with blanks around it");
        checkKnobText(*value);
      }
      before[{section, key}] = value;
    }
  }

  // One entry set; it reads back, also after a save and load, and no other
  // entry changes.
  const std::string& section = sections[fuzzing::pick(data, size, sections.size())];
  const std::string& key = keys[fuzzing::pick(data, size / 2, keys.size())];
  const std::string& value = values[fuzzing::pick(data, size / 3, values.size())];
  const std::string_view trimmedKey = trim(key);
  const bool storable = !hasLineBreak(section) && trim(section).find(']') == std::string_view::npos &&
                        !trimmedKey.empty() && !hasLineBreak(key) && key.find('=') == std::string::npos &&
                        trimmedKey.front() != ';' && trimmedKey.front() != '#' && trimmedKey.front() != '[' &&
                        !hasLineBreak(value);
  SettingsDocument changed = doc;
  const bool stored = changed.set(section, key, value);
  fuzzing::check(stored == storable, "set accepts or refuses against its contract");
  if (!stored) {
    fuzzing::check(changed.text() == text, "a refused set changed the document");
    return 0;
  }
  fuzzing::check(changed.value(section, key) == std::optional<std::string>(trim(value)),
                 "a stored entry does not read back");
  const SettingsDocument reloaded = SettingsDocument::parse(changed.text());
  fuzzing::check(reloaded.text() == changed.text(), "a changed document does not give back its text");
  fuzzing::check(reloaded.value(section, key) == std::optional<std::string>(trim(value)),
                 "a saved entry does not read back");
  for (const auto& [names, old] : before) {
    if (sameName(names.first, section) && sameName(names.second, key)) continue;
    fuzzing::check(reloaded.value(names.first, names.second) == old, "setting one entry changed another");
  }
  return 0;
}
