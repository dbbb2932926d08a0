// Create runs and settings saves with a file operation failing at every point:
// nothing half-written under a final name, no temporary file left, one
// "Cannot write" line for every file lost, and the run goes on.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

#include "batch/engine.h"
#include "batch/format.h"
#include "batch/page.h"
#include "imaging/codec.h"
#include "imaging/imglib.h"
#include "testsupport/recording_frontend.h"
#include "testsupport/temp_tree.h"
#include "ui/settings_file.h"
#include "util/file_bytes.h"
#include "util/file_io.h"
#include "util/program_folder.h"

namespace pixelmote::batch {
namespace {

namespace fs = std::filesystem;
using imaging::Raster;
using imaging::Size;
using testing::RecordingFrontend;
using testing::TempTree;

// --- the faulty operations --------------------------------------------------
// The seam takes plain function pointers, so the plan and the record of the
// calls live here.

enum Op { kOpen, kWrite, kFsync, kClose, kRename, kUnlink, kOpCount };
const char* const kOpNames[kOpCount] = {"open", "write", "fsync", "close", "rename", "unlink"};

// Calls first..last (counted from 1) of `op` fail with `error`.
struct Rule {
  Op op;
  int first;
  int last;
  int error;
};

struct Plan {
  std::vector<Rule> rules;
  long long diskSpace = -1;        // bytes that still fit; -1 for no limit
  bool fullDiskWritesNothing = false;  // a full disk makes write return 0, not fail with ENOSPC
  std::size_t largestWrite = 0;    // writes take at most this many bytes; 0 for no limit
  // For runs whose calls come in no fixed order (workers write beside the
  // run's thread): the write of exactly these bytes fails, and the rename
  // onto this path, each with `targetError`.
  std::string failWriteOf;
  std::string failRenameOnto;
  int targetError = ENOSPC;
};

struct Record {
  std::array<int, kOpCount> calls{};
  int faults = 0;                      // calls made to fail (a full disk's included)
  std::vector<Op> sequence;            // every call, in order
  std::vector<std::string> renamedTo;  // targets of the renames that succeeded
  std::vector<std::size_t> written;    // bytes taken by each write that took any
  std::vector<std::string> deleted;    // paths given to unlink
};

Plan g_plan;
Record g_record;
std::mutex g_faultMutex;  // workers call beside the run's thread

const util::FileSystemOps& posix() { return util::posixFileSystemOps(); }

bool failsNow(Op op) {
  g_record.sequence.push_back(op);
  const int n = ++g_record.calls[op];
  for (const Rule& rule : g_plan.rules) {
    if (rule.op == op && n >= rule.first && n <= rule.last) {
      ++g_record.faults;
      errno = rule.error;
      return true;
    }
  }
  return false;
}

int errorOf(Op op) {
  for (const Rule& rule : g_plan.rules)
    if (rule.op == op) return rule.error;
  return EIO;
}

int faultyOpen(const char* path, int flags, mode_t mode) {
  std::lock_guard lock(g_faultMutex);
  if (failsNow(kOpen)) return -1;
  return posix().open(path, flags, mode);
}

ssize_t faultyWrite(int fd, const void* buf, size_t count) {
  std::lock_guard lock(g_faultMutex);
  if (failsNow(kWrite)) return -1;
  if (!g_plan.failWriteOf.empty() && std::string_view(static_cast<const char*>(buf), count) == g_plan.failWriteOf) {
    ++g_record.faults;
    errno = g_plan.targetError;
    return -1;
  }
  if (g_plan.largestWrite > 0) count = std::min(count, g_plan.largestWrite);
  if (g_plan.diskSpace == 0) {
    ++g_record.faults;
    if (g_plan.fullDiskWritesNothing) return 0;
    errno = ENOSPC;
    return -1;
  }
  if (g_plan.diskSpace > 0) count = std::min(count, static_cast<std::size_t>(g_plan.diskSpace));
  const ssize_t n = posix().write(fd, buf, count);
  if (n > 0) {
    if (g_plan.diskSpace > 0) g_plan.diskSpace -= n;
    g_record.written.push_back(static_cast<std::size_t>(n));
  }
  return n;
}

int faultyFsync(int fd) {
  std::lock_guard lock(g_faultMutex);
  if (failsNow(kFsync)) return -1;
  return posix().fsync(fd);
}

// A failing close still releases the descriptor, as Linux does.
int faultyClose(int fd) {
  std::lock_guard lock(g_faultMutex);
  if (failsNow(kClose)) {
    posix().close(fd);
    errno = errorOf(kClose);
    return -1;
  }
  return posix().close(fd);
}

int faultyRename(const char* from, const char* to) {
  std::lock_guard lock(g_faultMutex);
  if (failsNow(kRename)) return -1;
  if (g_plan.failRenameOnto == to) {
    ++g_record.faults;
    errno = g_plan.targetError;
    return -1;
  }
  const int rc = posix().rename(from, to);
  if (rc == 0) g_record.renamedTo.push_back(to);
  return rc;
}

int faultyUnlink(const char* path) {
  std::lock_guard lock(g_faultMutex);
  g_record.deleted.push_back(path);
  if (failsNow(kUnlink)) return -1;
  return posix().unlink(path);
}

// Installs the faulty operations with `plan` in force, and a fresh record.
class Faults {
 public:
  explicit Faults(Plan plan) : m_guard(util::FileSystemOps{faultyOpen, faultyWrite, faultyFsync, faultyClose,
                                                           faultyRename, faultyUnlink}) {
    g_plan = std::move(plan);
    g_record = {};
  }
  ~Faults() { g_plan = {}; }
  Faults(const Faults&) = delete;
  Faults& operator=(const Faults&) = delete;

 private:
  util::ScopedFileSystemOps m_guard;
};

Plan failing(Op op, int first, int last, int error) {
  Plan plan;
  plan.rules.push_back(Rule{op, first, last, error});
  return plan;
}
Plan failingOnce(Op op, int n, int error) { return failing(op, n, n, error); }

// The error a call of each operation fails with: the kinds a disk and a
// network file system give.
int typicalError(Op op) {
  switch (op) {
    case kOpen: return EACCES;
    case kWrite: return EIO;
    case kFsync: return EIO;
    case kClose: return EIO;
    case kRename: return EXDEV;
    case kUnlink: return EBUSY;
    default: return EIO;
  }
}

// --- temporary files ----------------------------------------------------------

bool startsWith(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }
bool endsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string programFolder() { return util::writableProgramFolder().value(); }
const std::string kPid = std::to_string(::getpid());

bool isTemporaryBitmap(const std::string& path) {
  const std::string name = fs::path(path).filename().string();
  return fs::path(path).parent_path() == fs::path(programFolder()) && startsWith(name, "temp" + kPid + "-") &&
         endsWith(name, ".bmp");
}

// This process's temporary files in the program's folder.
std::vector<std::string> programFolderLeftovers() {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(programFolder())) {
    const std::string name = e.path().filename().string();
    if (startsWith(name, ".pm" + kPid + "-") || startsWith(name, "temp" + kPid + "-")) out.push_back(e.path().string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

void removeAll(const std::vector<std::string>& paths) {
  for (const std::string& p : paths) ::unlink(p.c_str());
}

// Every file below `root` (relative paths), folders left out.
std::set<std::string> filesBelow(const std::string& root) {
  std::set<std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (!e.is_directory()) out.insert(e.path().string().substr(root.size() + 1));
  }
  return out;
}

// --- pictures and products ------------------------------------------------------

Raster gradient(Size size) {
  Raster r(size);
  for (int y = 0; y < size.height; ++y) {
    for (int x = 0; x < size.width; ++x) {
      std::uint8_t* p = r.row(y) + x * 3;
      p[0] = static_cast<std::uint8_t>(x * 255 / std::max(1, size.width - 1));
      p[1] = static_cast<std::uint8_t>(y * 255 / std::max(1, size.height - 1));
      p[2] = static_cast<std::uint8_t>((x + y) * 40);
    }
  }
  return r;
}

// The size of the JPEG file at `path` when it decodes completely; {} if not.
Size completeJpegSize(const std::string& path) {
  imaging::RasterSink sink;
  const auto bytes = util::readFileBytes(path);
  if (!bytes || !imaging::decodeJpeg(imaging::Bytes(bytes.value()), {}, sink)) return {};
  return sink.raster.size;
}

bool isCompletePage(const std::string& text) {
  return (startsWith(text, std::string(page::kHead)) || startsWith(text, std::string(page::kHeadUtf8))) &&
         endsWith(text, "</center></body></html>\r\n");
}

struct Picture {
  const char* folder;  // "" for the start folder
  const char* name;
  Size size;
  Size thumbSize;  // a quarter of it
};

// In the order a run meets them: folder by folder, names sorted.
const Picture kPictures[] = {
    {"", "a.jpg", {40, 32}, {10, 8}},     {"", "b.jpg", {24, 36}, {6, 9}},
    {"", "c.jpg", {36, 20}, {9, 5}},      {"Trip", "d.jpg", {32, 24}, {8, 6}},
    {"Trip", "e.jpg", {20, 28}, {5, 7}},
};
const char* const kFolders[] = {"", "Trip"};
// An unreadable picture whose thumbnail from an earlier run must go.
const std::string kBad = "Trip/bad.jpg";
const std::string kStaleThumb = "Trip/t_bad.jpg";
const std::string kStaleText = "a thumbnail of what bad.jpg once was";

std::string relativeIn(const std::string& folder, const std::string& name) {
  return folder.empty() ? name : folder + "/" + name;
}
std::string thumbOf(const Picture& p) { return relativeIn(p.folder, std::string("t_") + p.name); }
std::string pageOf(const std::string& folder) { return relativeIn(folder, "index.html"); }

// Whether each run starts from a tree without thumbnails and pages, or from
// one where an earlier run with other settings left its own.
enum class Start { Fresh, OverEarlierRun };

class FaultTest : public ::testing::Test {
 protected:
  FaultTest() : engine(frontend, NumberFormat::english()) {
    imaging::startImaging();
  }

  void SetUp() override {
    for (const Picture& p : kPictures) {
      tree.fileWith(relativeIn(p.folder, p.name), imaging::encodeJpeg(gradient(p.size), 85, 0).value());
    }
    tree.fileWith(kBad, "not a picture");
    for (const Picture& p : kPictures) products.push_back(thumbOf(p));
    for (const char* f : kFolders) products.push_back(pageOf(f));

    // What an earlier run with other settings left.
    settings.iQuality = 40;
    settings.iBorder = 0;
    startFrom(Start::Fresh);
    ASSERT_EQ(run(), CommandResult::Ran);
    for (const std::string& product : products) earlier[product] = tree.read(product);
    settings.iQuality = 75;
    settings.iBorder = 1;

    // The reference: the same run without faults.
    startFrom(Start::Fresh);
    {
      Faults none{Plan{}};
      ASSERT_EQ(run(), CommandResult::Ran);
      clean = g_record;
    }
    for (const std::string& product : products) reference[product] = tree.read(product);
    ASSERT_TRUE(programFolderLeftovers().empty());
  }

  void TearDown() override { removeAll(programFolderLeftovers()); }

  void startFrom(Start start) {
    for (const std::string& product : products) {
      if (start == Start::Fresh) {
        fs::remove(tree.path(product));
      } else {
        tree.fileWith(product, earlier.at(product));
      }
    }
    tree.fileWith(kStaleThumb, kStaleText);
  }

  CommandResult run() {
    settings.sFolder = tree.root();
    return engine.runCommand(Operation::Create, settings, options);
  }

  // The file a run wrote as its `index`th file (from 0) serves: the
  // thumbnail for a temporary bitmap, else the file itself (relative).
  std::string productOfFile(std::size_t index) const {
    std::string path = clean.renamedTo.at(index);
    if (isTemporaryBitmap(path)) path = clean.renamedTo.at(index + 1);
    return path.substr(tree.root().size() + 1);
  }

  // The products of the files from `index` on.
  std::set<std::string> productsFrom(std::size_t index) const {
    std::set<std::string> out;
    for (std::size_t i = index; i < clean.renamedTo.size(); ++i) out.insert(productOfFile(i));
    return out;
  }

  // How many deletes the reference run made before its `index`th write.
  int deletesBeforeWrite(std::size_t index) const {
    int deletes = 0;
    std::size_t writes = 0;
    for (Op op : clean.sequence) {
      if (op == kWrite && writes++ == index) return deletes;
      if (op == kUnlink) ++deletes;
    }
    return deletes;
  }

  // True when a run from `start` that could not write `lost` goes back to
  // the start folder's page to take out its link to Trip's missing page.
  static bool rewritesStartPage(Start start, const std::set<std::string>& lost) {
    return start == Start::Fresh && lost.count(pageOf("Trip")) && !lost.count(pageOf(""));
  }

  // The status lines of a run that could not write `lost`; with
  // `rewritesFail`, nor the start folder's page again.
  std::vector<std::string> expectedStatus(const std::set<std::string>& lost, Start start = Start::OverEarlierRun,
                                          bool rewritesFail = false) const {
    const NumberFormat numbers = NumberFormat::english();
    std::vector<std::string> lines;
    std::int64_t allPictureBytes = 0;
    std::int64_t allThumbBytes = 0;
    for (const std::string folder : kFolders) {
      std::int64_t pictures = 0;
      std::int64_t pictureBytes = 0;
      std::int64_t thumbBytes = 0;
      if (folder == "Trip") {
        lines.push_back("Skipped unreadable picture " + tree.path(kBad));  // "bad" sorts first
        ++pictures;
        pictureBytes += static_cast<std::int64_t>(tree.read(kBad).size());
      }
      for (const Picture& p : kPictures) {
        if (p.folder != folder) continue;
        ++pictures;
        pictureBytes += static_cast<std::int64_t>(tree.read(relativeIn(p.folder, p.name)).size());
        if (lost.count(thumbOf(p))) {
          lines.push_back("Cannot write " + tree.path(thumbOf(p)));
        } else {
          thumbBytes += static_cast<std::int64_t>(reference.at(thumbOf(p)).size());
        }
      }
      if (lost.count(pageOf(folder))) lines.push_back("Cannot write " + tree.path(pageOf(folder)));
      if (folder == std::string("Trip") && rewritesFail && rewritesStartPage(start, lost)) {
        lines.push_back("Cannot write " + tree.path(pageOf("")));
      }
      lines.push_back(tree.path(folder) + ": " + (folder.empty() ? "1" : "0") + " folders, " +
                      std::to_string(pictures) + " files (" + funBytes(pictureBytes, numbers) + " [" +
                      funBytes(thumbBytes, numbers) + "])");
      allPictureBytes += pictureBytes;
      allThumbBytes += thumbBytes;
    }
    lines.push_back(std::string(40, '-'));
    lines.push_back(tree.root() + ": 1 folders, 6 files (" + funBytes(allPictureBytes, numbers) + " [" +
                    funBytes(allThumbBytes, numbers) + "]) - " + sizeFigure(allThumbBytes, allPictureBytes, numbers) +
                    "%");
    return lines;
  }

  // The page of `folder` without the cells of the pictures in `lost`, and
  // without links to pages that do not exist.
  std::string expectedPage(const std::string& folder, const std::set<std::string>& lost, Start start,
                           bool rewritesFail) const {
    std::string text = reference.at(pageOf(folder));
    const auto erase = [&](const std::string& piece) {
      const auto at = text.find(piece);
      ASSERT_NE(at, std::string::npos) << piece;
      text.erase(at, piece.size());
    };
    if (folder.empty() && rewritesStartPage(start, lost) && !rewritesFail) erase(page::folderLink("Trip"));
    if (folder == "Trip" && start == Start::Fresh && lost.count(pageOf(""))) erase(page::homeLink(2));
    for (const Picture& p : kPictures) {
      if (p.folder != folder || !lost.count(thumbOf(p))) continue;
      const std::string cell = page::cell(p.name, std::string("t_") + p.name);
      const auto at = text.find(cell);
      if (at != std::string::npos) text.erase(at, cell.size());
    }
    return text;
  }

  // Checks everything a run that could not write `lost` must leave: the run
  // ended, one line per lost file, the old file (or none) under each lost
  // name, every other file complete and as the clean run wrote it, and no
  // temporary file except `leftoverBitmaps` temporary bitmaps.
  // With `rewritesFail` a page written again cannot be written either.
  void expectOutcome(Start start, CommandResult result, const std::set<std::string>& lost,
                     bool staleThumbStays = false, std::size_t leftoverBitmaps = 0, bool rewritesFail = false) {
    EXPECT_EQ(result, CommandResult::Ran);
    EXPECT_FALSE(engine.running());
    EXPECT_EQ(frontend.status, expectedStatus(lost, start, rewritesFail));

    std::set<std::string> files;
    for (const Picture& p : kPictures) files.insert(relativeIn(p.folder, p.name));
    files.insert(kBad);
    if (staleThumbStays) files.insert(kStaleThumb);
    for (const std::string& product : products) {
      SCOPED_TRACE(product);
      const bool isPage = endsWith(product, "index.html");
      if (lost.count(product)) {
        if (start == Start::Fresh) {
          EXPECT_FALSE(tree.exists(product));
          continue;
        }
        EXPECT_EQ(tree.read(product), earlier.at(product));  // the old file, untouched
      } else if (isPage) {
        EXPECT_EQ(tree.read(product), expectedPage(product == "index.html" ? "" : "Trip", lost, start, rewritesFail));
      } else {
        EXPECT_EQ(tree.read(product), reference.at(product));
      }
      files.insert(product);
      // Whatever stands under a final name is whole.
      if (isPage) {
        EXPECT_TRUE(isCompletePage(tree.read(product)));
      } else {
        for (const Picture& p : kPictures) {
          if (thumbOf(p) == product) {
            EXPECT_EQ(completeJpegSize(tree.path(product)), p.thumbSize);
          }
        }
      }
    }
    if (staleThumbStays) {
      EXPECT_EQ(tree.read(kStaleThumb), kStaleText);
    }
    // Nothing else in the tree: no temporary file, no stale thumbnail.
    EXPECT_EQ(filesBelow(tree.root()), files);

    const std::vector<std::string> left = programFolderLeftovers();
    EXPECT_EQ(left.size(), leftoverBitmaps) << (left.empty() ? "" : left.front());
    for (const std::string& path : left) EXPECT_TRUE(isTemporaryBitmap(path)) << path;
    removeAll(left);
  }

  std::vector<std::string> products;  // thumbnails, then pages (relative)
  std::map<std::string, std::string> earlier;    // what a run with other settings wrote
  std::map<std::string, std::string> reference;  // what the run writes without faults
  Record clean;                                   // the calls of the run without faults

  TempTree tree;
  RecordingFrontend frontend;
  Engine engine;
  BatchSettings settings;
  RunOptions options;
};

const Start kStarts[] = {Start::Fresh, Start::OverEarlierRun};
const char* startName(Start s) { return s == Start::Fresh ? "fresh tree" : "over an earlier run"; }

TEST_F(FaultTest, TheRunWithoutFaultsWritesEveryFileOnceThroughATemporaryName) {
  // Two files per picture (its temporary bitmap and its thumbnail) and a page
  // per folder, each created, written in one piece, closed and renamed once.
  const int files = 2 * 5 + 2;
  ASSERT_EQ(clean.renamedTo.size(), static_cast<std::size_t>(files));
  for (Op op : {kOpen, kWrite, kClose, kRename}) EXPECT_EQ(clean.calls[op], files) << kOpNames[op];
  EXPECT_EQ(clean.calls[kUnlink], 5 + 1);  // the temporary bitmaps and the stale thumbnail
  EXPECT_EQ(clean.faults, 0);
  for (const Picture& p : kPictures) {
    EXPECT_EQ(completeJpegSize(tree.path(thumbOf(p))), p.thumbSize) << p.name;
    EXPECT_NE(reference.at(thumbOf(p)), earlier.at(thumbOf(p))) << p.name;
  }
  for (const char* f : kFolders) {
    EXPECT_TRUE(isCompletePage(reference.at(pageOf(f)))) << f;
    EXPECT_NE(reference.at(pageOf(f)), earlier.at(pageOf(f))) << f;
  }
  // The model of the status lines matches the run.
  EXPECT_EQ(frontend.status, expectedStatus({}));
}

TEST_F(FaultTest, EachFailingCallLosesExactlyTheFileItWasWriting) {
  for (Op op : {kOpen, kWrite, kFsync, kClose, kRename}) {
    // The Nth call of each step belongs to the Nth file written (pages and
    // thumbnails are not flushed to the disk today: no fsync calls).
    for (int n = 1; n <= clean.calls[op]; ++n) {
      const std::set<std::string> lost{productOfFile(static_cast<std::size_t>(n - 1))};
      for (Start start : kStarts) {
        // After a failed write, close or rename the temporary file must go;
        // a delete that fails once on the way must not leave it either.
        for (bool cleanupFailsOnce : {false, true}) {
          // Nothing to clean up after a failed create; what was there before
          // makes no difference to the cleanup.
          if (cleanupFailsOnce && (op == kOpen || start != Start::Fresh)) continue;
          SCOPED_TRACE(std::string(kOpNames[op]) + " call " + std::to_string(n) + ", " + startName(start) +
                       (cleanupFailsOnce ? ", cleanup delete failing once" : ""));
          startFrom(start);
          Plan plan = failingOnce(op, n, typicalError(op));
          const int cleanupDelete = deletesBeforeWrite(static_cast<std::size_t>(n - 1)) + 1;
          if (cleanupFailsOnce) plan.rules.push_back(Rule{kUnlink, cleanupDelete, cleanupDelete, EBUSY});
          CommandResult result;
          int faults = 0;
          {
            Faults faulty(plan);
            result = run();
            faults = g_record.faults;
          }
          EXPECT_EQ(faults, cleanupFailsOnce ? 2 : 1);
          expectOutcome(start, result, lost);
        }
      }
    }
  }
}

TEST_F(FaultTest, FailuresThatCanBeRetriedLoseNothing) {
  struct Case {
    const char* name;
    Op op;
    int error;
  };
  // A name taken meanwhile is a reason to pick another; an interrupted write
  // is continued; a delete that fails once is tried again.
  const Case cases[] = {{"create finding the name taken", kOpen, EEXIST},
                        {"write interrupted", kWrite, EINTR},
                        {"delete failing once", kUnlink, EBUSY}};
  for (const Case& c : cases) {
    for (int n = 1; n <= clean.calls[c.op]; ++n) {
      SCOPED_TRACE(std::string(c.name) + ", call " + std::to_string(n));
      startFrom(Start::Fresh);
      CommandResult result;
      {
        Faults faulty(failingOnce(c.op, n, c.error));
        result = run();
        EXPECT_EQ(g_record.faults, 1);
      }
      expectOutcome(Start::Fresh, result, {});
    }
  }

  // Writes that take a few bytes at a time are continued to the end.
  startFrom(Start::Fresh);
  Plan pieces;
  pieces.largestWrite = 7;
  CommandResult result;
  {
    Faults faulty(pieces);
    result = run();
    EXPECT_GT(g_record.calls[kWrite], clean.calls[kWrite] * 4);
  }
  expectOutcome(Start::Fresh, result, {});
}

TEST_F(FaultTest, DeletesThatKeepFailingLeaveOnlyTheTemporaryBitmaps) {
  // A temporary bitmap that cannot be deleted however often it is tried has
  // to stay; its thumbnail was written and the run goes on. The stale
  // thumbnail of the unreadable picture stays too when its delete fails.
  const std::vector<std::string>& deletes = clean.deleted;  // the reference run's, in order
  ASSERT_EQ(deletes.size(), 6u);
  EXPECT_EQ(std::count_if(deletes.begin(), deletes.end(), isTemporaryBitmap), 5);
  ASSERT_NE(std::find(deletes.begin(), deletes.end(), tree.path(kStaleThumb)), deletes.end());
  for (int n = 1; n <= clean.calls[kUnlink]; ++n) {
    SCOPED_TRACE("every delete failing from the reference run's delete " + std::to_string(n));
    startFrom(Start::Fresh);
    CommandResult result;
    {
      Faults faulty(failing(kUnlink, n, 1000000, EACCES));
      result = run();
    }
    const auto failed = deletes.begin() + n - 1;
    const auto bitmaps = static_cast<std::size_t>(std::count_if(failed, deletes.end(), isTemporaryBitmap));
    const bool staleStays = std::find(failed, deletes.end(), tree.path(kStaleThumb)) != deletes.end();
    expectOutcome(Start::Fresh, result, {}, staleStays, bitmaps);
  }
}

TEST_F(FaultTest, AFullDiskLosesEveryFileFromWhereItFilled) {
  std::vector<long long> before;  // bytes written before each file
  long long total = 0;
  ASSERT_EQ(clean.written.size(), clean.renamedTo.size());
  for (std::size_t size : clean.written) {
    before.push_back(total);
    total += static_cast<long long>(size);
  }
  for (bool writesNothing : {false, true}) {
    for (Start start : kStarts) {
      for (std::size_t file = 0; file < before.size(); ++file) {
        // The disk fills at the file's first byte, or half-way through it.
        for (long long space : {before[file], before[file] + static_cast<long long>(clean.written[file]) / 2}) {
          SCOPED_TRACE(std::string(writesNothing ? "write returning 0" : "ENOSPC") + " after " +
                       std::to_string(space) + " bytes (file " + std::to_string(file) + "), " + startName(start));
          startFrom(start);
          Plan plan;
          plan.diskSpace = space;
          plan.fullDiskWritesNothing = writesNothing;
          CommandResult result;
          {
            Faults faulty(plan);
            result = run();
            EXPECT_GE(g_record.faults, 1);
          }
          expectOutcome(start, result, productsFrom(file), false, 0, true);
        }
      }
    }
  }

  // Room for exactly everything: nothing is lost.
  startFrom(Start::Fresh);
  Plan exact;
  exact.diskSpace = total;
  CommandResult result;
  {
    Faults faulty(exact);
    result = run();
  }
  expectOutcome(Start::Fresh, result, {});
}

TEST_F(FaultTest, RunsThatMakeThumbnailsAheadLoseTheSameFiles) {
  // Workers write thumbnails beside the run's thread, so calls come in no
  // fixed order: the write of a file is told by its bytes, its rename by
  // where it goes.
  options.jobs = 3;
  for (const std::string& product : products) {
    for (const bool atRename : {false, true}) {
      SCOPED_TRACE(product + (atRename ? ": rename onto it" : ": its write") + " failing, three jobs");
      startFrom(Start::Fresh);
      Plan plan;
      if (atRename) {
        plan.failRenameOnto = tree.path(product);
      } else {
        plan.failWriteOf = reference.at(product);
      }
      CommandResult result;
      int faults = 0;
      {
        Faults faulty(plan);
        result = run();
        faults = g_record.faults;
      }
      EXPECT_EQ(faults, 1);
      expectOutcome(Start::Fresh, result, {product});
    }
  }
}

// --- the settings file ---------------------------------------------------------

class FaultSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ui::saveSettings(path, ui::SettingsDocument::parse(kOld)));
    ASSERT_EQ(tree.read("pixelmote.ini"), kOld);
  }

  // The save that every case tries: two changed entries and a new section.
  util::IoResult saveChanged() {
    ui::SettingsDocument doc = ui::loadSettings(path);
    doc.set("Image", "Type", "GIF");
    doc.set("Thumbnail", "Quality", "40");
    doc.set("Folders", "Last", "/home/someone/Pictures");
    return ui::saveSettings(path, doc);
  }

  void expectOldFileAlone() {
    EXPECT_EQ(tree.read("pixelmote.ini"), kOld);
    EXPECT_EQ(filesBelow(tree.root()), std::set<std::string>{"pixelmote.ini"});
  }

  static constexpr const char* kOld =
      "; kept by hand\r\n[Image]\r\nType=JPG\r\nPrefix=t_\r\n\r\n[Thumbnail]\r\nQuality=75\r\nSize=25\r\n";
  TempTree tree;
  const std::string path = tree.path("pixelmote.ini");
};

TEST_F(FaultSettingsTest, AFailedSaveKeepsTheOldFileByteForByte) {
  Record reference;
  {
    Faults none{Plan{}};
    ASSERT_TRUE(saveChanged());
    reference = g_record;
  }
  const std::string changed = tree.read("pixelmote.ini");
  ASSERT_NE(changed, kOld);
  // The settings are worth a flush to the disk before the rename.
  EXPECT_EQ(reference.sequence, (std::vector<Op>{kOpen, kWrite, kFsync, kClose, kRename}));
  ASSERT_TRUE(ui::saveSettings(path, ui::SettingsDocument::parse(kOld)));

  for (Op op : {kOpen, kWrite, kFsync, kClose, kRename}) {
    for (int n = 1; n <= reference.calls[op]; ++n) {
      // With the cleanup delete failing once on top, the temporary file
      // must still go.
      for (bool cleanupFailsOnce : {false, true}) {
        if (cleanupFailsOnce && op == kOpen) continue;
        SCOPED_TRACE(std::string(kOpNames[op]) + " call " + std::to_string(n) +
                     (cleanupFailsOnce ? ", cleanup delete failing once" : ""));
        Plan plan = failingOnce(op, n, typicalError(op));
        if (cleanupFailsOnce) plan.rules.push_back(Rule{kUnlink, 1, 1, EBUSY});
        util::IoResult saved;
        {
          Faults faulty(plan);
          saved = saveChanged();
          EXPECT_EQ(g_record.faults, cleanupFailsOnce ? 2 : 1);
        }
        EXPECT_FALSE(saved.ok);
        EXPECT_EQ(saved.error, typicalError(op));
        EXPECT_NE(saved.message.find(path), std::string::npos) << saved.message;
        expectOldFileAlone();
      }
    }
  }

  // A disk that fills before, at the start of, inside and at the last byte
  // of the new text.
  for (bool writesNothing : {false, true}) {
    for (long long space : {0LL, 1LL, static_cast<long long>(changed.size() / 2),
                            static_cast<long long>(changed.size()) - 1}) {
      SCOPED_TRACE(std::string(writesNothing ? "write returning 0" : "ENOSPC") + " after " +
                   std::to_string(space) + " bytes");
      Plan plan;
      plan.diskSpace = space;
      plan.fullDiskWritesNothing = writesNothing;
      util::IoResult saved;
      {
        Faults faulty(plan);
        saved = saveChanged();
      }
      EXPECT_FALSE(saved.ok);
      EXPECT_EQ(saved.error, ENOSPC);
      expectOldFileAlone();
    }
  }

  // One entry written the short way fails the same way.
  {
    Faults faulty(failingOnce(kRename, 1, EXDEV));
    EXPECT_FALSE(ui::WriteSetting(path, "Image", "Type", "GIF"));
  }
  expectOldFileAlone();
  EXPECT_EQ(ui::ReadSetting(path, "Image", "Type"), "JPG");

  // Nothing is left in the way of the next save.
  ASSERT_TRUE(saveChanged());
  EXPECT_EQ(tree.read("pixelmote.ini"), changed);
}

TEST_F(FaultSettingsTest, ACleanupDeleteThatKeepsFailingLeavesOnlyItsTemporaryFile) {
  util::IoResult saved;
  {
    Plan plan = failingOnce(kRename, 1, EXDEV);
    plan.rules.push_back(Rule{kUnlink, 1, 1000, EACCES});
    Faults faulty(plan);
    saved = saveChanged();
  }
  EXPECT_FALSE(saved.ok);
  EXPECT_EQ(tree.read("pixelmote.ini"), kOld);
  // The temporary file has to stay; it holds the whole new text, under a name
  // no reader takes for the settings file.
  const std::set<std::string> files = filesBelow(tree.root());
  ASSERT_EQ(files.size(), 2u);
  const std::string temp = *files.begin();
  EXPECT_TRUE(startsWith(temp, ".pm" + kPid + "-") && endsWith(temp, ".tmp")) << temp;
  EXPECT_EQ(ui::ReadSetting(path, "Image", "Type"), "JPG");
}

}  // namespace
}  // namespace pixelmote::batch
