#include "cli/options.h"

#include <charconv>

#include "batch/engine.h"
#include "ui/knob.h"
#include "ui/settings_file.h"
#include "util/path.h"

namespace pixelmote::cli {

const char* const kUsage =
    "Usage: pixelmote-batch OPERATION FOLDER [OPTIONS]\n"
    "\n"
    "Operations:\n"
    "  create    write a thumbnail beside every picture and an index.html in every folder\n"
    "  remove    delete the thumbnails and index pages again\n"
    "  report    count folders, pictures and bytes\n"
    "\n"
    "Options:\n"
    "  --source jpg|gif     type of the pictures (default jpg)\n"
    "  --thumb jpg|gif      type of the thumbnails (default jpg)\n"
    "  --prefix TEXT        thumbnail name prefix (default t_)\n"
    "  --columns 1..10      table columns of the pages (default 5)\n"
    "  --border 0..10       table border of the pages (default 1)\n"
    "  --size 0..100        thumbnail size in percent (default 25)\n"
    "  --quality 0..100     thumbnail quality (default 75)\n"
    "  --smooth 0..100      thumbnail smoothing (default 0)\n"
    "  --jobs N             pictures worked on at once (default: number of cores)\n"
    "  --settings FILE      take the values stored by the desktop program; options still win\n"
    "  --update             create: render only pictures whose thumbnail is missing or out of\n"
    "                       date (picture or settings changed since it was made)\n"
    "  --help, --version\n"
    "\n"
    "The status lines go to standard output, one per folder; a skipped picture\n"
    "or a file that could not be written also gets its line there, and\n"
    "'pixelmote-batch: PATH: REASON' on standard error. Ctrl-C stops the run\n"
    "after the current step (a second Ctrl-C aborts).\n"
    "\n"
    "Exit status:\n"
    "  0    the run finished and every picture and file was done\n"
    "  1    the run finished but skipped pictures or could not write files\n"
    "  2    refusal or usage error\n"
    "  130  stopped by Ctrl-C (the separator and totals are still printed)\n";

namespace {

std::optional<long> parseWhole(const std::string& text) {
  long value = 0;
  const char* first = text.data();
  const char* last = first + text.size();
  auto [ptr, ec] = std::from_chars(first, last, value);
  if (text.empty() || ec != std::errc{} || ptr != last) return std::nullopt;
  return value;
}

std::optional<std::string> parseType(const std::string& text) {
  const std::string lower = util::asciiLower(text);
  if (lower == "jpg" || lower == "gif") return lower;
  return std::nullopt;
}

// Values from a settings file: those that fit their control replace the
// defaults, all others are passed over, as the desktop program does.
void applySettingsFile(const ui::SettingsDocument& doc, char decimalPoint, batch::BatchSettings& s) {
  if (auto v = doc.value("Image", "Type"); v && parseType(*v)) s.sImageExt = *parseType(*v);
  if (auto v = doc.value("Image", "Thumb"); v && parseType(*v)) s.sThumbExt = *parseType(*v);
  if (auto v = doc.value("Image", "Column"); v) {
    if (auto n = parseWhole(*v); n && *n >= 1 && *n <= 10) s.iColumns = static_cast<int>(*n);
  }
  if (auto v = doc.value("Image", "Border"); v) {
    if (auto n = parseWhole(*v); n && *n >= 0 && *n <= 10) s.iBorder = static_cast<int>(*n);
  }
  if (auto v = doc.value("Image", "Prefix"); v) {
    // The desktop program shortens a prefix until it can begin a file name.
    std::string prefix = *v;
    while (!batch::prefixUsable(prefix)) prefix.pop_back();
    s.sPrefix = prefix;
  }
  const auto knob = [&](const char* key, int& target) {
    if (auto v = doc.value("Image", key); v) {
      if (auto offset = ui::parseKnobOffset(*v, decimalPoint)) target = ui::knobValue(ui::clampKnobOffset(*offset));
    }
  };
  knob("Size", s.iSize);
  knob("Quality", s.iQuality);
  knob("Smooth", s.iSmooth);
}

}  // namespace

std::string absoluteFolder(const std::string& folder, const std::string& currentFolder) {
  const std::string joined = (!folder.empty() && folder.front() == '/') ? folder : currentFolder + "/" + folder;
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= joined.size()) {
    const std::size_t slash = joined.find('/', start);
    const std::size_t end = slash == std::string::npos ? joined.size() : slash;
    const std::string part = joined.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  if (parts.empty()) return "/";
  std::string out;
  for (const auto& p : parts) out += "/" + p;
  return out;
}

ParseResult parseArguments(const std::vector<std::string>& args, const std::string& currentFolder, unsigned cores,
                           char decimalPoint) {
  ParseResult result;
  std::vector<std::string> positional;
  std::optional<std::string> settingsFile;
  // Options are applied after the settings file, so they are kept until then.
  std::vector<std::pair<std::string, std::string>> given;
  bool update = false;

  static const char* const kValued[] = {"--source", "--thumb", "--prefix", "--columns", "--border", "--size",
                                        "--quality", "--smooth", "--jobs", "--settings"};
  // Help and version win wherever they stand.
  for (const std::string& arg : args) {
    if (arg == "--") break;
    if (arg == "--help" || arg == "-h") {
      result.help = true;
      return result;
    }
    if (arg == "--version") {
      result.version = true;
      return result;
    }
  }
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--update") {
      update = true;
      continue;
    }
    if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
      std::string name = arg;
      std::optional<std::string> value;
      if (const auto eq = arg.find('='); eq != std::string::npos) {
        name = arg.substr(0, eq);
        value = arg.substr(eq + 1);
      }
      bool known = false;
      for (const char* v : kValued) known = known || name == v;
      if (!known) {
        result.error = "unknown option " + name;
        return result;
      }
      if (!value) {
        if (i + 1 >= args.size()) {
          result.error = "option " + name + " needs a value";
          return result;
        }
        value = args[++i];
      }
      if (name == "--settings") {
        settingsFile = *value;
      } else {
        given.emplace_back(name, *value);
      }
      continue;
    }
    if (arg == "--") {
      for (++i; i < args.size(); ++i) positional.push_back(args[i]);
      break;
    }
    positional.push_back(arg);
  }

  if (positional.empty()) {
    result.error = "missing OPERATION (create, remove or report)";
    return result;
  }
  BatchOptions options;
  options.update = update;
  const std::string& op = positional[0];
  if (op == "create") {
    options.operation = batch::Operation::Create;
  } else if (op == "remove") {
    options.operation = batch::Operation::Remove;
  } else if (op == "report") {
    options.operation = batch::Operation::Report;
  } else {
    result.error = "unknown OPERATION '" + op + "' (create, remove or report)";
    return result;
  }
  if (positional.size() < 2) {
    result.error = "missing FOLDER";
    return result;
  }
  if (positional.size() > 2) {
    result.error = "unexpected argument '" + positional[2] + "'";
    return result;
  }
  if (positional[1].empty()) {
    result.error = "FOLDER must not be empty";
    return result;
  }
  options.folder = absoluteFolder(positional[1], currentFolder);
  options.jobs = cores > 0 ? cores : 1;

  if (settingsFile) {
    bool loaded = false;
    const ui::SettingsDocument doc = ui::loadSettings(*settingsFile, &loaded);
    if (!loaded) {
      result.error = "cannot read --settings file '" + *settingsFile + "'";
      return result;
    }
    applySettingsFile(doc, decimalPoint, options.settings);
  }

  for (const auto& [name, value] : given) {
    const auto bad = [&](const std::string& expected) {
      result.error = "invalid " + name + " '" + value + "': " + expected;
    };
    const auto ranged = [&](int lo, int hi, int& target) {
      const auto n = parseWhole(value);
      if (!n || *n < lo || *n > hi) {
        bad("expected a whole number from " + std::to_string(lo) + " to " + std::to_string(hi));
        return false;
      }
      target = static_cast<int>(*n);
      return true;
    };
    if (name == "--source" || name == "--thumb") {
      const auto type = parseType(value);
      if (!type) {
        bad("expected jpg or gif");
        return result;
      }
      (name == "--source" ? options.settings.sImageExt : options.settings.sThumbExt) = *type;
    } else if (name == "--prefix") {
      if (!batch::prefixUsable(value)) {
        bad("a thumbnail prefix cannot contain '/' and must leave room for a file name");
        return result;
      }
      options.settings.sPrefix = value;
    } else if (name == "--columns") {
      if (!ranged(1, 10, options.settings.iColumns)) return result;
    } else if (name == "--border") {
      if (!ranged(0, 10, options.settings.iBorder)) return result;
    } else if (name == "--size") {
      if (!ranged(0, 100, options.settings.iSize)) return result;
    } else if (name == "--quality") {
      if (!ranged(0, 100, options.settings.iQuality)) return result;
    } else if (name == "--smooth") {
      if (!ranged(0, 100, options.settings.iSmooth)) return result;
    } else if (name == "--jobs") {
      int jobs = 0;
      if (!ranged(1, 1024, jobs)) return result;
      options.jobs = static_cast<unsigned>(jobs);
    }
  }
  result.options = std::move(options);
  return result;
}

}  // namespace pixelmote::cli
