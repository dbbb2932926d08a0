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
// file, the prefix probe): ownFilesFolder() of the running program and the
// folder the build installs programs into.
Result<std::string> writableProgramFolder();

// Whether `folder` is `installedBinDir` (the same folder however spelled:
// through a symbolic link, with a trailing "/"). False when either is missing.
bool isInstalledFolder(const std::string& folder, const std::string& installedBinDir);

// The program's folder when it can be written and is not `installedBinDir`
// (a program run from its build folder keeps its files beside it); else
// $XDG_CONFIG_HOME/pixelmote (~/.config/pixelmote, with the account's home
// folder when HOME is unset), created when missing. An installed program thus never writes into a system folder such as
// /usr/bin, even when run as root.
Result<std::string> ownFilesFolder(const std::string& programFolder, const std::string& installedBinDir);

}  // namespace pixelmote::util
