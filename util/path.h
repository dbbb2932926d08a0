// Path and file-name routines on byte strings, with "/" as the separator.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace pixelmote::util {

// Positions are 1-based; 0 means "not found".

// Last position at which `sub` occurs in `text`, ASCII case ignored. A start of
// 0 searches from the end; otherwise the search begins at `start` and steps back.
std::size_t InStrBack(std::size_t start, std::string_view text, std::string_view sub);

// `text` less its last `n` bytes (empty when n >= its length).
std::string DropRight(std::string_view text, std::size_t n);

// The name up to (not including) its first ".", or the whole name without one.
std::string StripExt(std::string_view name);

// The part after the last "/" ("" for a path ending in "/").
std::string FileNamePart(std::string_view path);

// The folder a path names or lies in: an existing folder gives itself (without
// a trailing "/"), a file or a missing name the text before its last "/", a
// folder followed by a wildcard pattern the folder. A path directly below the
// root gives "/"; a name without "/" gives "".
std::string FolderPart(std::string_view path);

// True when a non-folder file exists at `path` (symbolic links followed).
bool FileExists(std::string_view path);

// True when a file or folder exists at `path`, or when `path` holds a wildcard
// ("*" or "?") and at least one entry matches it.
bool PathExists(std::string_view path);

// True when `path` is a file (not a folder) that can be opened for reading.
bool FileReadable(std::string_view path);

// ASCII lower-casing of a byte string; bytes of 0x80 and above stay as they are.
std::string asciiLower(std::string_view text);

// True when the two byte strings are equal with ASCII case ignored.
bool equalsIgnoreCase(std::string_view a, std::string_view b);

// Name order of the folder and file lists: ASCII letters folded to lower case,
// names equal under folding ordered by their bytes. Returns <0, 0 or >0.
int compareNames(std::string_view a, std::string_view b);

// Joins a folder path and a name with one "/" ("/" + name below the root).
std::string joinPath(std::string_view folder, std::string_view name);

}  // namespace pixelmote::util
