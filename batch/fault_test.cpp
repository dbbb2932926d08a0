// Create runs with a file operation failing at every point, written down as
// a golden transcript: each run loses at most the file it was writing (the
// old file stays under its name), leaves no temporary file, writes one
// "Cannot write" line per file lost and goes on with the rest.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

#include "batch/engine.h"
#include "imaging/codec.h"
#include "imaging/imglib.h"
#include "testsupport/golden.h"
#include "testsupport/recording_frontend.h"
#include "testsupport/temp_tree.h"
#include "util/file_io.h"
#include "util/program_folder.h"

namespace pixelmote::batch {
namespace {

namespace fs = std::filesystem;
using testing::RecordingFrontend;
using testing::TempTree;
using Files = std::map<std::string, std::string>;

enum Op { kOpen, kWrite, kFsync, kClose, kRename, kUnlink, kOpCount };
const char* const kOpNames[kOpCount] = {"open", "write", "fsync", "close", "rename", "unlink"};

// What fails: calls first..last (counted from 1) of `op` with `error`, and
// with `cleanupFailsOnce` the delete after each such failure; or the disk
// fills after `diskSpace` bytes; or, for runs whose calls come in no fixed
// order, the write of exactly `failWriteOf` or the rename onto `failRenameOnto`.
struct Plan {
  Op op = kOpCount;
  int first = 0;
  int last = 0;
  int error = 0;
  bool cleanupFailsOnce = false;
  long long diskSpace = -1;            // -1 for no limit
  bool fullDiskWritesNothing = false;  // write returns 0 instead of failing with ENOSPC
  std::size_t largestWrite = 0;        // writes take at most this many bytes; 0 for no limit
  std::string failWriteOf;
  std::string failRenameOnto;
};

Plan failing(Op op, int first, int last, int error, bool cleanupFailsOnce = false) {
  Plan plan;
  plan.op = op;
  plan.first = first;
  plan.last = last;
  plan.error = error;
  plan.cleanupFailsOnce = cleanupFailsOnce;
  return plan;
}

Plan g_plan;
int g_calls[kOpCount];
int g_faults;
bool g_unlinkFailsNext;
std::vector<std::size_t> g_written;  // bytes taken by each write that took any
std::mutex g_mutex;                  // workers call beside the run's thread

const util::FileSystemOps& posix() { return util::posixFileSystemOps(); }

bool fault(int error) {
  ++g_faults;
  g_unlinkFailsNext = g_plan.cleanupFailsOnce;
  errno = error;
  return true;
}

bool failsNow(Op op) {
  const int n = ++g_calls[op];
  if (op == kUnlink && g_unlinkFailsNext) {
    g_unlinkFailsNext = false;
    ++g_faults;
    errno = EBUSY;
    return true;
  }
  return op == g_plan.op && n >= g_plan.first && n <= g_plan.last && fault(g_plan.error);
}

int faultyOpen(const char* path, int flags, mode_t mode) {
  std::lock_guard lock(g_mutex);
  return failsNow(kOpen) ? -1 : posix().open(path, flags, mode);
}

ssize_t faultyWrite(int fd, const void* buf, size_t count) {
  std::lock_guard lock(g_mutex);
  if (failsNow(kWrite) || (std::string_view(static_cast<const char*>(buf), count) == g_plan.failWriteOf && fault(ENOSPC)))
    return -1;
  if (g_plan.largestWrite > 0) count = std::min(count, g_plan.largestWrite);
  if (g_plan.diskSpace == 0) {
    fault(ENOSPC);
    return g_plan.fullDiskWritesNothing ? 0 : -1;
  }
  if (g_plan.diskSpace > 0) count = std::min(count, static_cast<std::size_t>(g_plan.diskSpace));
  const ssize_t n = posix().write(fd, buf, count);
  if (n > 0) {
    if (g_plan.diskSpace > 0) g_plan.diskSpace -= n;
    g_written.push_back(static_cast<std::size_t>(n));
  }
  return n;
}

int faultyFsync(int fd) {
  std::lock_guard lock(g_mutex);
  return failsNow(kFsync) ? -1 : posix().fsync(fd);
}

int faultyClose(int fd) {  // a failing close still releases the descriptor, as Linux does
  std::lock_guard lock(g_mutex);
  if (!failsNow(kClose)) return posix().close(fd);
  const int error = errno;
  posix().close(fd);
  errno = error;
  return -1;
}

int faultyRename(const char* from, const char* to) {
  std::lock_guard lock(g_mutex);
  return failsNow(kRename) || (g_plan.failRenameOnto == to && fault(ENOSPC)) ? -1 : posix().rename(from, to);
}

int faultyUnlink(const char* path) {
  std::lock_guard lock(g_mutex);
  return failsNow(kUnlink) ? -1 : posix().unlink(path);
}

const std::string kPid = std::to_string(::getpid());

// This process's temporary files in the program's folder.
std::vector<std::string> programFolderLeftovers() {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(util::writableProgramFolder().value())) {
    const std::string name = e.path().filename().string();
    if (name.starts_with(".pm" + kPid + "-") || name.starts_with("temp" + kPid + "-")) out.push_back(e.path());
  }
  return out;
}

// Five pictures in two folders, an unreadable one, and the stale thumbnail of
// that one an earlier run left.
const char* const kPictures[] = {"a.jpg", "b.jpg", "c.jpg", "Trip/d.jpg", "Trip/e.jpg"};
const char* const kStaleThumb = "Trip/t_bad.jpg";

struct Scenario {
  std::string name;
  bool overEarlierRun;  // else a tree without thumbnails and pages
  Plan plan;
};

class FaultTest : public ::testing::Test {
 protected:
  FaultTest() : engine(frontend, NumberFormat::english()) { imaging::startImaging(); }

  void SetUp() override {
    for (int i = 0; i < 5; ++i) {
      const imaging::Raster picture({20 + 4 * i, 36 - 4 * i}, {static_cast<std::uint8_t>(50 * i), 90, 160});
      tree.fileWith(kPictures[i], imaging::encodeJpeg(picture, 85, 0).value());
    }
    tree.fileWith("Trip/bad.jpg", "not a picture");
    originals = filesBelow();
    // What an earlier run with other settings left, then the same run without faults.
    settings.iQuality = 40;
    settings.iBorder = 0;
    run(Scenario{"", false, {}});
    earlier = productsOf(filesBelow());
    settings = BatchSettings{};
    run(Scenario{"", false, {}});
    clean = frontend.status;
    reference = productsOf(filesBelow());
    ASSERT_EQ(reference.size(), 7u);
    for (const auto& [name, bytes] : reference) ASSERT_NE(bytes, earlier[name]) << name;
    ASSERT_TRUE(programFolderLeftovers().empty());
  }

  void TearDown() override {
    for (const std::string& p : programFolderLeftovers()) ::unlink(p.c_str());
  }

  Files filesBelow() const {
    Files out;
    for (const auto& e : fs::recursive_directory_iterator(tree.root())) {
      const std::string rel = e.path().string().substr(tree.root().size() + 1);
      if (!e.is_directory()) out[rel] = tree.read(rel);
    }
    return out;
  }

  Files productsOf(Files files) const {
    std::erase_if(files, [&](const auto& f) { return originals.count(f.first) != 0; });
    return files;
  }

  // Runs the scenario over its starting tree with the faulty operations in force.
  void run(const Scenario& s) {
    for (const auto& [name, bytes] : reference) fs::remove(tree.path(name));
    if (s.overEarlierRun) {
      for (const auto& [name, bytes] : earlier) tree.fileWith(name, bytes);
    }
    tree.fileWith(kStaleThumb, "a thumbnail of what bad.jpg once was");
    g_plan = s.plan;
    std::fill(std::begin(g_calls), std::end(g_calls), 0);
    g_faults = 0;
    g_unlinkFailsNext = false;
    g_written.clear();
    const util::ScopedFileSystemOps faulty(
        util::FileSystemOps{faultyOpen, faultyWrite, faultyFsync, faultyClose, faultyRename, faultyUnlink});
    settings.sFolder = tree.root();
    EXPECT_EQ(engine.runCommand(Operation::Create, settings, options), CommandResult::Ran) << s.name;
    EXPECT_FALSE(engine.running());
    g_plan = {};
  }

  // What each scenario left, beside what the run without faults left: its
  // status lines when they differ, each product that is missing ("absent"),
  // the earlier run's ("old") or other than without faults (a page by its
  // links), every other file the tree gained or lost, and this process's
  // temporary files left in the program's folder (then deleted).
  void expectGoldenRuns(const std::vector<Scenario>& scenarios, const std::string& golden) {
    std::string text;
    for (const Scenario& s : scenarios) {
      run(s);
      text += "== " + s.name + ": " + std::to_string(g_faults) + " faults\n";
      for (std::string line : frontend.status == clean ? std::vector<std::string>{} : frontend.status) {
        if (const auto at = line.find(tree.root()); at != std::string::npos) line.replace(at, tree.root().size(), "ROOT");
        text += "  " + line + "\n";
      }
      Files files = filesBelow();
      for (const auto& [name, bytes] : reference) {
        const auto found = files.find(name);
        if (found == files.end()) {
          text += "absent " + name + "\n";
        } else if (earlier.count(name) && found->second == earlier.at(name)) {
          text += "old " + name + "\n";
        } else if (found->second != bytes) {
          text += "other " + name + ":";
          for (auto at = found->second.find("='"); at != std::string::npos; at = found->second.find("='", at + 1))
            text += " " + found->second.substr(at + 2, found->second.find('\'', at + 2) - at - 2);
          text += "\n";
        }
        if (found != files.end()) files.erase(found);
      }
      for (const auto& [name, bytes] : originals) {
        if (files.count(name) == 0 || files.at(name) != bytes) text += "changed " + name + "\n";
        files.erase(name);
      }
      for (const auto& [name, bytes] : files) text += "extra " + name + "\n";
      for (const std::string& path : programFolderLeftovers()) {
        const bool bitmap = fs::path(path).filename().string().starts_with("temp");
        text += std::string("left ") + (bitmap ? "a temporary bitmap" : "an atomic write's temporary file") + "\n";
        ::unlink(path.c_str());
      }
    }
    testing::expectGolden("batch/testdata/" + golden, text);
  }

  Files originals;  // the pictures as they are before every run
  Files earlier;    // what a run with other settings wrote
  Files reference;  // what the run writes without faults
  std::vector<std::string> clean;  // its status lines
  TempTree tree;
  RecordingFrontend frontend;
  Engine engine;
  BatchSettings settings;
  RunOptions options;
};

TEST_F(FaultTest, EachFailingCallLosesAtMostTheFileItWasWriting) {
  int cleanCalls[kOpCount];
  std::copy(std::begin(g_calls), std::end(g_calls), cleanCalls);
  const std::vector<std::size_t> written = g_written;
  struct Row {
    Op op;
    int error;
    bool loses;  // false: worth a retry (a name taken meanwhile, an interrupted write, a busy file)
  };
  const Row rows[] = {{kOpen, EACCES, true},  {kWrite, EIO, true},     {kFsync, EIO, true},
                      {kClose, EIO, true},    {kRename, EXDEV, true},  {kOpen, EEXIST, false},
                      {kWrite, EINTR, false}, {kUnlink, EBUSY, false}};
  std::vector<Scenario> scenarios;
  for (const Row& r : rows) {
    for (int n = 1; n <= cleanCalls[r.op]; ++n) {  // the Nth call of each step belongs to the Nth file
      const std::string name = std::string(kOpNames[r.op]) + " #" + std::to_string(n) + " errno " + std::to_string(r.error);
      scenarios.push_back({name, false, failing(r.op, n, n, r.error)});
      if (!r.loses) continue;
      scenarios.push_back({name + " over an earlier run", true, failing(r.op, n, n, r.error)});
      // After a failed write, close or rename the temporary file must go,
      // also when a delete fails once on the way.
      if (r.op != kOpen) scenarios.push_back({name + ", cleanup failing once", false, failing(r.op, n, n, r.error, true)});
    }
  }
  // A delete that keeps failing leaves a temporary bitmap (its thumbnail was
  // written) or the stale thumbnail, and the run goes on.
  for (int n = 1; n <= cleanCalls[kUnlink]; ++n)
    scenarios.push_back({"every unlink from #" + std::to_string(n), false, failing(kUnlink, n, 1000000, EACCES)});
  Plan pieces;  // writes that take a few bytes at a time are continued to the end
  pieces.largestWrite = 7;
  scenarios.push_back({"writes of 7 bytes at most", false, pieces});
  // A full disk loses every file from where it filled: at a file's first
  // byte or half-way through it; room for exactly everything loses none.
  long long before = 0;
  for (std::size_t size : written) {
    for (long long space : {before, before + static_cast<long long>(size) / 2}) {
      for (const bool writesNothing : {false, true}) {
        for (const bool over : {false, true}) {
          Plan plan;
          plan.diskSpace = space;
          plan.fullDiskWritesNothing = writesNothing;
          scenarios.push_back({"disk full after " + std::to_string(space) + " bytes" +
                                   (writesNothing ? ", write returning 0" : "") + (over ? ", over an earlier run" : ""),
                               over, plan});
        }
      }
    }
    before += static_cast<long long>(size);
  }
  Plan exact;
  exact.diskSpace = before;
  scenarios.push_back({"room for exactly everything", false, exact});
  expectGoldenRuns(scenarios, "fault_runs.txt");
}

TEST_F(FaultTest, RunsThatMakeThumbnailsAheadLoseTheSameFiles) {
  // Workers write beside the run's thread, so calls come in no fixed order:
  // the write of a file is told by its bytes, its rename by where it goes.
  options.jobs = 3;
  std::vector<Scenario> scenarios;
  for (const auto& [name, bytes] : reference) {
    Plan write;
    write.failWriteOf = bytes;
    Plan rename;
    rename.failRenameOnto = tree.path(name);
    scenarios.push_back({name + ": its write failing", false, write});
    scenarios.push_back({name + ": the rename onto it failing", false, rename});
  }
  expectGoldenRuns(scenarios, "fault_jobs.txt");
}

}  // namespace
}  // namespace pixelmote::batch
