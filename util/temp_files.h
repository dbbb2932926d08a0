// Names of the program's temporary files that tell which process made them,
// and the clearing of those left behind by a process that no longer runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace pixelmote::util {

// The process a temporary file belongs to.
struct ProcessTag {
  // The machine and PID namespace the PID counts in (a hash). A process of
  // another space (a second machine sharing the folder over the network, a
  // container) cannot be looked up from here, so its files are never judged.
  std::uint32_t space = 0;
  pid_t pid = 0;
  // Clock ticks from boot to the process's start (field 22 of
  // /proc/PID/stat); tells a reused PID from the one that made the file.
  // 0 when it could not be read: such a file is judged by its PID alone.
  std::uint64_t startTime = 0;

  bool operator==(const ProcessTag&) const = default;
};

// This process's tag, read once per process (a forked child reads its own).
ProcessTag currentProcessTag();

// A number for a temporary name that this process has not handed out before.
std::uint32_t nextTemporaryNumber();

// The program's temporary files. Each name holds its tag as
// "<pid>-<start time>-<space as 8 hex digits>-<number>", decimals without
// leading zeros.
enum class TemporaryKind {
  AtomicWrite,  // ".pm<tag>.tmp", beside the file writeFileAtomically writes
  Bitmap,       // "temp<tag>.bmp", the picture on its way to a thumbnail
  PrefixProbe,  // "<prefix>temp<tag>.tmp", the test that a prefix can begin a name
};

struct TemporaryName {
  TemporaryKind kind = TemporaryKind::AtomicWrite;
  ProcessTag owner;
  std::uint32_t number = 0;
};

// The file name (no folder) of a temporary file of `owner`; `prefix` is used
// by PrefixProbe only.
std::string temporaryFileName(TemporaryKind kind, const ProcessTag& owner, std::uint32_t number,
                              std::string_view prefix = {});
// The same for this process with a fresh number.
std::string temporaryFileName(TemporaryKind kind, std::string_view prefix = {});

// What a name made by temporaryFileName says; nothing for any other name,
// however close (a user's "temp.bmp", an older ".pm12-3.tmp").
std::optional<TemporaryName> parseTemporaryName(std::string_view name);

namespace detail {
constexpr std::size_t decimalDigits(std::uint64_t n) { return n < 10 ? 1 : 1 + decimalDigits(n / 10); }
}  // namespace detail

// The most a probe name adds to its prefix, and so the longest prefix whose
// probe name still fits the 255-byte limit of a file name.
inline constexpr std::size_t kProbeNameExtra =
    4 + detail::decimalDigits(std::numeric_limits<pid_t>::max()) + 1 +
    detail::decimalDigits(std::numeric_limits<std::uint64_t>::max()) + 1 + 8 + 1 +
    detail::decimalDigits(std::numeric_limits<std::uint32_t>::max()) + 4;
inline constexpr std::size_t kLongestProbedPrefix = 255 - kProbeNameExtra;

// Whether `prefix` can begin a file name in `folder`: it holds no "/" or NUL,
// is at most kLongestProbedPrefix bytes, and a probe file of that prefix can
// be created there and deleted again. The probe is created exclusively, so a
// file that was there before is never touched; a name that is taken is
// passed over for the next (the probe numbers its attempts from 0). Goes
// through fileSystemOps().
bool prefixProbePasses(const std::string& folder, const std::string& prefix);

// True only when `owner` is known to run no more: it is of this process's
// space, and no process of its PID runs, or the one that does started at
// another time (the PID was reused). A process that exists but whose start
// time cannot be read counts as running.
bool processEnded(const ProcessTag& owner);

// Deletes the program's temporary files in `folder` itself (not below) whose
// process has ended, and returns how many it deleted. Only regular files
// with a name parseTemporaryName accepts are candidates: symbolic links and
// folders of such names, every other file and the files of running
// processes (this one included) stay. A folder that cannot be read deletes
// nothing; nothing is reported.
std::size_t removeDeadLeftovers(const std::string& folder);

}  // namespace pixelmote::util
