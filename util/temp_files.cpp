#include "util/temp_files.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <memory>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <utility>
#include <vector>

#include "util/file_io.h"
#include "util/path.h"
#include "util/unique_fd.h"

namespace pixelmote::util {

namespace {

constexpr std::string_view kWritePrefix = ".pm";
constexpr std::string_view kTempWord = "temp";
constexpr std::string_view kTmpExt = ".tmp";
constexpr std::string_view kBmpExt = ".bmp";

// Reads a small file whole; false when it cannot be opened or read.
bool readSmallFile(const char* path, std::string& out) {
  const UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd) return false;
  out.resize(65536);
  const ssize_t n = readFully(fd.get(), out.data(), out.size());
  out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return n >= 0;
}

// Field 22 of a /proc/PID/stat file. The command name (field 2) is in
// parentheses and may hold spaces and parentheses itself, so the count
// starts after the last ")".
std::optional<std::uint64_t> startTimeFrom(const char* statPath) {
  std::string text;
  if (!readSmallFile(statPath, text)) return std::nullopt;
  std::size_t at = text.rfind(')');
  if (at == std::string::npos) return std::nullopt;
  ++at;
  for (int field = 3; field <= 22; ++field) {
    while (at < text.size() && text[at] == ' ') ++at;
    const std::size_t end = std::min(text.find(' ', at), text.size());
    if (at == end) return std::nullopt;
    if (field == 22) {
      std::uint64_t value = 0;
      const auto [ptr, ec] = std::from_chars(text.data() + at, text.data() + end, value);
      if (ec != std::errc() || ptr != text.data() + end) return std::nullopt;
      return value;
    }
    at = end;
  }
  return std::nullopt;
}

std::uint32_t fnv1a(std::string_view text, std::uint32_t hash = 2166136261u) {
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 16777619u;
  }
  return hash;
}

// The machine (its id, and its host name, as cloned machines share an id)
// and the PID namespace. Stays the same across reboots, so the files of a
// run cut short by a power loss are judged by the next boot's runs.
std::uint32_t computeSpace() {
  std::string identity;
  std::string machineId;
  if (readSmallFile("/etc/machine-id", machineId) || readSmallFile("/var/lib/dbus/machine-id", machineId)) {
    identity += machineId.substr(0, machineId.find('\n'));
  }
  identity += '\n';
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) == 0) identity += host;
  identity += '\n';
  char ns[128] = {};
  if (const ssize_t n = ::readlink("/proc/self/ns/pid", ns, sizeof ns - 1); n > 0) {
    identity.append(ns, static_cast<std::size_t>(n));
  }
  return fnv1a(identity);
}

std::uint32_t processSpace() {
  static const std::uint32_t space = computeSpace();
  return space;
}

// The start time of the process whose PID is in g_tagPid. A forked child sees
// its parent's PID there and reads its own; a read that fails is tried again
// by the next caller. Two threads of one process store the same values.
std::atomic<pid_t> g_tagPid{0};
std::atomic<std::uint64_t> g_tagStart{0};

void appendTag(std::string& out, const ProcessTag& owner, std::uint32_t number) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += std::to_string(owner.pid);
  out += '-';
  out += std::to_string(owner.startTime);
  out += '-';
  for (int shift = 28; shift >= 0; shift -= 4) out += kHex[(owner.space >> shift) & 0xF];
  out += '-';
  out += std::to_string(number);
}

// A decimal field as the makers write it: digits only, no leading zero,
// within `limit`.
std::optional<std::uint64_t> parseDecimal(std::string_view text, std::uint64_t limit) {
  if (text.empty() || (text.size() > 1 && text[0] == '0')) return std::nullopt;
  std::uint64_t value = 0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || ptr != text.data() + text.size() || value > limit) return std::nullopt;
  return value;
}

std::optional<std::uint32_t> parseSpace(std::string_view text) {
  if (text.size() != 8) return std::nullopt;
  std::uint32_t value = 0;
  for (const char c : text) {
    int digit = 0;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else {
      return std::nullopt;
    }
    value = value << 4 | static_cast<std::uint32_t>(digit);
  }
  return value;
}

// Splits "<pid>-<start>-<space>-<number>".
std::optional<TemporaryName> parseTag(std::string_view tag, TemporaryKind kind) {
  std::string_view parts[4];
  for (int i = 0; i < 3; ++i) {
    const std::size_t dash = tag.find('-');
    if (dash == std::string_view::npos) return std::nullopt;
    parts[i] = tag.substr(0, dash);
    tag.remove_prefix(dash + 1);
  }
  parts[3] = tag;
  const auto pid = parseDecimal(parts[0], static_cast<std::uint64_t>(std::numeric_limits<pid_t>::max()));
  const auto start = parseDecimal(parts[1], std::numeric_limits<std::uint64_t>::max());
  const auto space = parseSpace(parts[2]);
  const auto number = parseDecimal(parts[3], std::numeric_limits<std::uint32_t>::max());
  if (!pid || *pid == 0 || !start || !space || !number) return std::nullopt;
  TemporaryName name;
  name.kind = kind;
  name.owner = ProcessTag{*space, static_cast<pid_t>(*pid), *start};
  name.number = static_cast<std::uint32_t>(*number);
  return name;
}

bool hasEnds(std::string_view name, std::string_view head, std::string_view tail) {
  return name.size() >= head.size() + tail.size() && name.substr(0, head.size()) == head &&
         name.substr(name.size() - tail.size()) == tail;
}

}  // namespace

ProcessTag currentProcessTag() {
  const pid_t pid = ::getpid();
  if (g_tagPid.load(std::memory_order_acquire) != pid) {
    if (const auto start = startTimeFrom("/proc/self/stat")) {
      g_tagStart.store(*start, std::memory_order_relaxed);
      g_tagPid.store(pid, std::memory_order_release);
    } else {
      return ProcessTag{processSpace(), pid, 0};
    }
  }
  return ProcessTag{processSpace(), pid, g_tagStart.load(std::memory_order_relaxed)};
}

std::uint32_t nextTemporaryNumber() {
  static std::atomic<std::uint32_t> counter{0};
  return counter.fetch_add(1, std::memory_order_relaxed);
}

std::string temporaryFileName(TemporaryKind kind, const ProcessTag& owner, std::uint32_t number,
                              std::string_view prefix) {
  std::string name;
  switch (kind) {
    case TemporaryKind::AtomicWrite:
      name += kWritePrefix;
      appendTag(name, owner, number);
      name += kTmpExt;
      break;
    case TemporaryKind::Bitmap:
      name += kTempWord;
      appendTag(name, owner, number);
      name += kBmpExt;
      break;
    case TemporaryKind::PrefixProbe:
      name += prefix;
      name += kTempWord;
      appendTag(name, owner, number);
      name += kTmpExt;
      break;
  }
  return name;
}

std::string temporaryFileName(TemporaryKind kind, std::string_view prefix) {
  return temporaryFileName(kind, currentProcessTag(), nextTemporaryNumber(), prefix);
}

std::optional<TemporaryName> parseTemporaryName(std::string_view name) {
  if (hasEnds(name, kWritePrefix, kTmpExt)) {
    const std::string_view tag = name.substr(kWritePrefix.size(), name.size() - kWritePrefix.size() - kTmpExt.size());
    if (auto parsed = parseTag(tag, TemporaryKind::AtomicWrite)) return parsed;
  }
  if (hasEnds(name, kTempWord, kBmpExt)) {
    const std::string_view tag = name.substr(kTempWord.size(), name.size() - kTempWord.size() - kBmpExt.size());
    return parseTag(tag, TemporaryKind::Bitmap);
  }
  if (hasEnds(name, {}, kTmpExt)) {
    // A tag holds no "t", so the word before it is the last "temp".
    const std::string_view body = name.substr(0, name.size() - kTmpExt.size());
    const std::size_t word = body.rfind(kTempWord);
    if (word == std::string_view::npos) return std::nullopt;
    const std::string_view prefix = body.substr(0, word);
    if (prefix.find('/') != std::string_view::npos || prefix.find('\0') != std::string_view::npos) return std::nullopt;
    return parseTag(body.substr(word + kTempWord.size()), TemporaryKind::PrefixProbe);
  }
  return std::nullopt;
}

bool prefixProbePasses(const std::string& folder, const std::string& prefix) {
  // A prefix must be a plain start of a name: a "/" would put thumbnails in
  // other folders, whatever the probe says.
  if (prefix.find('/') != std::string::npos || prefix.find('\0') != std::string::npos ||
      prefix.size() > kLongestProbedPrefix) {
    return false;
  }
  const FileSystemOps& ops = fileSystemOps();
  const ProcessTag self = currentProcessTag();
  for (std::uint32_t attempt = 0; attempt < 100; ++attempt) {
    const std::string probe =
        joinPath(folder, temporaryFileName(TemporaryKind::PrefixProbe, self, attempt, prefix));
    const int fd = ops.open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return false;
    }
    ops.close(fd);
    return ops.unlink(probe.c_str()) == 0;
  }
  return false;
}

bool processEnded(const ProcessTag& owner) {
  if (owner.space != processSpace() || owner.pid <= 0) return false;
  if (owner.startTime != 0) {
    const std::string statPath = "/proc/" + std::to_string(owner.pid) + "/stat";
    if (const auto start = startTimeFrom(statPath.c_str())) return *start != owner.startTime;
  }
  // No start time to compare (none in the name, or /proc hides the
  // process): only a PID that is free tells that the process has ended.
  if (::kill(owner.pid, 0) == 0) return false;
  return errno == ESRCH;
}

std::size_t removeDeadLeftovers(const std::string& folder) {
  UniqueFd opened(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!opened) return 0;
  const int folderFd = opened.get();
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(folderFd), ::closedir);
  if (!dir) return 0;
  opened.release();  // the directory stream owns it now
  // The names are gathered first: whether readdir still returns the entries
  // after one is deleted is left open by POSIX.
  std::vector<std::pair<std::string, ProcessTag>> candidates;
  while (const dirent* entry = ::readdir(dir.get())) {
    if (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN) continue;
    if (auto parsed = parseTemporaryName(entry->d_name)) candidates.emplace_back(entry->d_name, parsed->owner);
  }
  std::map<std::tuple<std::uint32_t, pid_t, std::uint64_t>, bool> ended;  // one look-up per process
  std::size_t removed = 0;
  for (const auto& [name, owner] : candidates) {
    const auto key = std::make_tuple(owner.space, owner.pid, owner.startTime);
    auto known = ended.find(key);
    if (known == ended.end()) known = ended.emplace(key, processEnded(owner)).first;
    if (!known->second) continue;
    // Regular files only, not followed: unlinkat takes away a name, never a
    // link's target, and refuses a folder that took the name meanwhile.
    struct stat st {};
    if (::fstatat(folderFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
    if (::unlinkat(folderFd, name.c_str(), 0) == 0) ++removed;
  }
  return removed;
}

}  // namespace pixelmote::util
