// Where the program lives and where it may write its own files.
#pragma once

#include <string>

#include "util/result.h"

namespace pixelmote::util {

// The folder holding the running executable (no trailing "/").
std::string programFolder();
// The executable's file name without its folder and without an extension.
std::string programBaseName();

// The folder for the program's own files (the temporary bitmap, the settings
// file, the prefix probe): the program's folder when it can be written, else
// $XDG_CONFIG_HOME/pixelmote (~/.config/pixelmote), created when missing.
Result<std::string> writableProgramFolder();

}  // namespace pixelmote::util
