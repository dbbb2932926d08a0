// Command-line options of pixelmote-batch and how they combine with a
// settings file of the desktop program.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "batch/run_state.h"

namespace pixelmote::cli {

struct BatchOptions {
  batch::Operation operation = batch::Operation::Report;
  std::string folder;  // absolute, without a trailing "/" (except the root "/")
  batch::BatchSettings settings;
  unsigned jobs = 1;
  bool update = false;  // create: leave up-to-date thumbnails as they are
};

// The outcome of reading the command line: options to run with, or help to
// print, or an error message naming the bad option and value.
struct ParseResult {
  std::optional<BatchOptions> options;
  bool help = false;
  bool version = false;
  std::string error;
};

// Reads `args` (without the program name). `currentFolder` makes a relative
// FOLDER absolute; `cores` is the default for --jobs; `decimalPoint` is the
// locale's decimal mark for numbers in a settings file.
ParseResult parseArguments(const std::vector<std::string>& args, const std::string& currentFolder,
                           unsigned cores, char decimalPoint = '.');

// The absolute form of `folder` seen from `currentFolder`: "." and ".."
// steps resolved by name, repeated "/" joined, no trailing "/".
std::string absoluteFolder(const std::string& folder, const std::string& currentFolder);

extern const char* const kUsage;

}  // namespace pixelmote::cli
