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
#include "batch/page.h"
#include "imaging/codec.h"
#include "imaging/imglib.h"
#include "testsupport/recording_frontend.h"
#include "testsupport/temp_tree.h"
#include "ui/settings_file.h"
#include "util/file_io.h"
#include "util/program_folder.h"

namespace pixelmote::batch {
namespace {

namespace fs = std::filesystem;
using imaging::Size;
using testing::RecordingFrontend;
using testing::TempTree;

// --- the faulty operations: the seam takes plain function pointers ----------

enum Op { kOpen, kWrite, kFsync, kClose, kRename, kUnlink, kOpCount };
const char* const kOpNames[kOpCount] = {"open", "write", "fsync", "close", "rename", "unlink"};
// The error a call of each operation fails with: kinds a disk and a network file system give.
const int kTypicalError[kOpCount] = {EACCES, EIO, EIO, EIO, EXDEV, EBUSY};

struct Rule {  // calls first..last (counted from 1) of `op` fail with `error`
  Op op;
  int first;
  int last;
  int error;
};

struct Plan {
  std::vector<Rule> rules;
  long long diskSpace = -1;            // bytes that still fit; -1 for no limit
  bool fullDiskWritesNothing = false;  // a full disk makes write return 0, not fail with ENOSPC
  std::size_t largestWrite = 0;        // writes take at most this many bytes; 0 for no limit
  // For runs whose calls come in no fixed order: the write of exactly these
  // bytes fails, and the rename onto this path, each with ENOSPC.
  std::string failWriteOf;
  std::string failRenameOnto;
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
std::mutex g_mutex;  // workers call beside the run's thread

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

bool failsOnTarget(bool matches) {
  if (matches) {
    ++g_record.faults;
    errno = ENOSPC;
  }
  return matches;
}

int faultyOpen(const char* path, int flags, mode_t mode) {
  std::lock_guard lock(g_mutex);
  return failsNow(kOpen) ? -1 : posix().open(path, flags, mode);
}

ssize_t faultyWrite(int fd, const void* buf, size_t count) {
  std::lock_guard lock(g_mutex);
  if (failsNow(kWrite) || failsOnTarget(std::string_view(static_cast<const char*>(buf), count) == g_plan.failWriteOf))
    return -1;
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
  if (failsNow(kRename) || failsOnTarget(g_plan.failRenameOnto == to)) return -1;
  const int rc = posix().rename(from, to);
  if (rc == 0) g_record.renamedTo.push_back(to);
  return rc;
}

int faultyUnlink(const char* path) {
  std::lock_guard lock(g_mutex);
  g_record.deleted.push_back(path);
  return failsNow(kUnlink) ? -1 : posix().unlink(path);
}

// Installs the faulty operations with `plan` in force, and a fresh record.
class Faults {
 public:
  explicit Faults(Plan plan)
      : m_guard(util::FileSystemOps{faultyOpen, faultyWrite, faultyFsync, faultyClose, faultyRename, faultyUnlink}) {
    g_plan = std::move(plan);
    g_record = {};
  }
  ~Faults() { g_plan = {}; }

 private:
  util::ScopedFileSystemOps m_guard;
};

Plan failing(Op op, int first, int last, int error) {
  Plan plan;
  plan.rules.push_back(Rule{op, first, last, error});
  return plan;
}

// --- temporary files and products ---------------------------------------------

const std::string kPid = std::to_string(::getpid());
std::string programFolder() { return util::writableProgramFolder().value(); }

bool isTemporaryBitmap(const std::string& path) {
  const fs::path p(path);
  return p.parent_path() == fs::path(programFolder()) && p.filename().string().starts_with("temp" + kPid + "-") &&
         p.extension() == ".bmp";
}

// This process's temporary files in the program's folder.
std::vector<std::string> programFolderLeftovers() {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(programFolder())) {
    const std::string name = e.path().filename().string();
    if (name.starts_with(".pm" + kPid + "-") || name.starts_with("temp" + kPid + "-")) out.push_back(e.path());
  }
  return out;
}

std::set<std::string> filesBelow(const std::string& root) {  // relative, folders left out
  std::set<std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (!e.is_directory()) out.insert(e.path().string().substr(root.size() + 1));
  }
  return out;
}

struct Picture {
  std::string folder;  // "" for the start folder
  std::string name;
  Size size;
};
// In the order a run meets them: folder by folder, names sorted.
const Picture kPictures[] = {{"", "a.jpg", {40, 32}},     {"", "b.jpg", {24, 36}}, {"", "c.jpg", {36, 20}},
                             {"Trip", "d.jpg", {32, 24}}, {"Trip", "e.jpg", {20, 28}}};
const std::string kFolders[] = {"", "Trip"};
// An unreadable picture whose thumbnail from an earlier run must go.
const std::string kBad = "Trip/bad.jpg";
const std::string kStaleThumb = "Trip/t_bad.jpg";

std::string in(const std::string& folder, const std::string& name) { return folder.empty() ? name : folder + "/" + name; }
std::string thumbOf(const Picture& p) { return in(p.folder, "t_" + p.name); }
std::string pageOf(const std::string& folder) { return in(folder, "index.html"); }

// Each run starts from a tree without thumbnails and pages, or from one where
// an earlier run with other settings left its own.
enum class Start { Fresh, OverEarlierRun };

class FaultTest : public ::testing::Test {
 protected:
  FaultTest() : engine(frontend, NumberFormat::english()) { imaging::startImaging(); }

  void SetUp() override {
    for (const Picture& p : kPictures) {
      imaging::Raster r(p.size);
      for (int y = 0; y < p.size.height; ++y) {
        for (int x = 0; x < p.size.width * 3; ++x) r.row(y)[x] = static_cast<std::uint8_t>(x * 5 + y * 9);
      }
      tree.fileWith(in(p.folder, p.name), imaging::encodeJpeg(r, 85, 0).value());
      products.push_back(thumbOf(p));
    }
    tree.fileWith(kBad, "not a picture");
    for (const std::string& f : kFolders) products.push_back(pageOf(f));
    // What an earlier run with other settings left, then the same run without faults.
    settings.iQuality = 40;
    settings.iBorder = 0;
    startFrom(Start::Fresh);
    ASSERT_EQ(run(), CommandResult::Ran);
    for (const std::string& product : products) earlier[product] = tree.read(product);
    settings = BatchSettings{};
    startFrom(Start::Fresh);
    {
      Faults none{Plan{}};
      ASSERT_EQ(run(), CommandResult::Ran);
      clean = g_record;
    }
    // Two files per picture (its temporary bitmap and its thumbnail) and a page per folder.
    ASSERT_EQ(clean.renamedTo.size(), 2 * std::size(kPictures) + std::size(kFolders));
    for (const std::string& product : products) {
      reference[product] = tree.read(product);
      ASSERT_NE(reference[product], earlier[product]);
    }
    ASSERT_TRUE(programFolderLeftovers().empty());
  }

  void TearDown() override {
    for (const std::string& p : programFolderLeftovers()) ::unlink(p.c_str());
  }

  void startFrom(Start start) {
    for (const std::string& product : products) {
      if (start == Start::Fresh) {
        fs::remove(tree.path(product));
      } else {
        tree.fileWith(product, earlier.at(product));
      }
    }
    tree.fileWith(kStaleThumb, "a thumbnail of what bad.jpg once was");
  }

  CommandResult run() {
    settings.sFolder = tree.root();
    return engine.runCommand(Operation::Create, settings, options);
  }

  // Runs from `start` with `plan` in force; the faults the run met.
  int runWith(Start start, Plan plan) {
    startFrom(start);
    Faults faulty(std::move(plan));
    EXPECT_EQ(run(), CommandResult::Ran);
    return g_record.faults;
  }

  // The product the reference run's `index`th written file serves: the
  // thumbnail for a temporary bitmap, else the file itself.
  std::string productOfFile(std::size_t index) const {
    std::string path = clean.renamedTo.at(index);
    if (isTemporaryBitmap(path)) path = clean.renamedTo.at(index + 1);
    return path.substr(tree.root().size() + 1);
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

  // True when a run that could not write `lost` goes back to the start
  // folder's page to take out its link to Trip's missing page.
  static bool rewritesStartPage(Start start, const std::set<std::string>& lost) {
    return start == Start::Fresh && lost.count(pageOf("Trip")) && !lost.count(pageOf(""));
  }

  // The status lines of a run that could not write `lost`; with
  // `rewritesFail`, nor the start folder's page again.
  std::vector<std::string> expectedStatus(const std::set<std::string>& lost, Start start, bool rewritesFail) const {
    const NumberFormat numbers = NumberFormat::english();
    std::vector<std::string> lines;
    std::int64_t allPictureBytes = 0;
    std::int64_t allThumbBytes = 0;
    for (const std::string& folder : kFolders) {
      std::int64_t pictures = 0;
      std::int64_t pictureBytes = 0;
      std::int64_t thumbBytes = 0;
      if (folder == "Trip") {  // "bad" sorts first
        lines.push_back(kStatusUnreadable + tree.path(kBad));
        ++pictures;
        pictureBytes += static_cast<std::int64_t>(tree.read(kBad).size());
      }
      for (const Picture& p : kPictures) {
        if (p.folder != folder) continue;
        ++pictures;
        pictureBytes += static_cast<std::int64_t>(tree.read(in(p.folder, p.name)).size());
        if (lost.count(thumbOf(p))) {
          lines.push_back(kStatusCannotWrite + tree.path(thumbOf(p)));
        } else {
          thumbBytes += static_cast<std::int64_t>(reference.at(thumbOf(p)).size());
        }
      }
      if (lost.count(pageOf(folder))) lines.push_back(kStatusCannotWrite + tree.path(pageOf(folder)));
      if (folder == "Trip" && rewritesFail && rewritesStartPage(start, lost))
        lines.push_back(kStatusCannotWrite + tree.path(pageOf("")));
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
      if (at != std::string::npos) text.erase(at, piece.size());
    };
    if (folder.empty() && rewritesStartPage(start, lost) && !rewritesFail) erase(page::folderLink("Trip"));
    if (folder == "Trip" && start == Start::Fresh && lost.count(pageOf(""))) erase(page::homeLink(2));
    for (const Picture& p : kPictures) {
      if (p.folder == folder && lost.count(thumbOf(p))) erase(page::cell(p.name, "t_" + p.name));
    }
    return text;
  }

  // Checks what a run that could not write `lost` must leave: one line per
  // lost file, the old file (or none) under each lost name, every other file
  // whole and as the clean run wrote it, and no temporary file except
  // `leftoverBitmaps` temporary bitmaps. With `rewritesFail` a page written
  // again cannot be written either.
  void expectOutcome(Start start, const std::set<std::string>& lost, bool staleThumbStays = false,
                     std::size_t leftoverBitmaps = 0, bool rewritesFail = false) {
    EXPECT_FALSE(engine.running());
    EXPECT_EQ(frontend.status, expectedStatus(lost, start, rewritesFail));
    std::set<std::string> files{kBad};
    for (const Picture& p : kPictures) files.insert(in(p.folder, p.name));
    if (staleThumbStays) files.insert(kStaleThumb);
    for (std::size_t i = 0; i < std::size(products); ++i) {
      const std::string& product = products[i];
      SCOPED_TRACE(product);
      if (lost.count(product) && start == Start::Fresh) {
        EXPECT_FALSE(tree.exists(product));
        continue;
      }
      files.insert(product);
      if (lost.count(product)) {
        EXPECT_EQ(tree.read(product), earlier.at(product));  // the old file, untouched
      } else if (i >= std::size(kPictures)) {
        EXPECT_EQ(tree.read(product), expectedPage(kFolders[i - std::size(kPictures)], lost, start, rewritesFail));
      } else {
        EXPECT_EQ(tree.read(product), reference.at(product));
      }
    }
    EXPECT_EQ(filesBelow(tree.root()), files);  // no temporary file, no stale thumbnail
    const std::vector<std::string> left = programFolderLeftovers();
    EXPECT_EQ(left.size(), leftoverBitmaps);
    for (const std::string& path : left) {
      EXPECT_TRUE(isTemporaryBitmap(path)) << path;
      ::unlink(path.c_str());
    }
  }

  std::vector<std::string> products;             // thumbnails, then pages (relative)
  std::map<std::string, std::string> earlier;    // what a run with other settings wrote
  std::map<std::string, std::string> reference;  // what the run writes without faults
  Record clean;                                  // the calls of the run without faults
  TempTree tree;
  RecordingFrontend frontend;
  Engine engine;
  BatchSettings settings;
  RunOptions options;
};

TEST_F(FaultTest, EachFailingCallLosesExactlyTheFileItWasWritingAndRetriesLoseNothing) {
  struct Row {
    Op op;
    int error;
    bool loses;  // false: worth a retry (a name taken meanwhile, an interrupted write, a busy file)
  };
  const Row rows[] = {{kOpen, EACCES, true},  {kWrite, EIO, true},     {kFsync, EIO, true},
                      {kClose, EIO, true},    {kRename, EXDEV, true},  {kOpen, EEXIST, false},
                      {kWrite, EINTR, false}, {kUnlink, EBUSY, false}};
  for (const Row& r : rows) {
    for (int n = 1; n <= clean.calls[r.op]; ++n) {  // the Nth call of each step belongs to the Nth file
      for (Start start : {Start::Fresh, Start::OverEarlierRun}) {
        // After a failed write, close or rename the temporary file must go,
        // also when a delete fails once on the way.
        for (bool cleanupFailsOnce : {false, true}) {
          if ((!r.loses && start != Start::Fresh) ||
              (cleanupFailsOnce && (!r.loses || r.op == kOpen || start != Start::Fresh)))
            continue;
          SCOPED_TRACE(std::string(kOpNames[r.op]) + " call " + std::to_string(n) + " failing with " +
                       std::to_string(r.error) + (start == Start::Fresh ? ", fresh tree" : ", over an earlier run") +
                       (cleanupFailsOnce ? ", cleanup delete failing once" : ""));
          Plan plan = failing(r.op, n, n, r.error);
          const int cleanupDelete = deletesBeforeWrite(static_cast<std::size_t>(n - 1)) + 1;
          if (cleanupFailsOnce) plan.rules.push_back(Rule{kUnlink, cleanupDelete, cleanupDelete, EBUSY});
          EXPECT_EQ(runWith(start, plan), cleanupFailsOnce ? 2 : 1);
          std::set<std::string> lost;
          if (r.loses) lost.insert(productOfFile(static_cast<std::size_t>(n - 1)));
          expectOutcome(start, lost);
        }
      }
    }
  }
  // Writes that take a few bytes at a time are continued to the end.
  Plan pieces;
  pieces.largestWrite = 7;
  runWith(Start::Fresh, pieces);
  expectOutcome(Start::Fresh, {});
}

TEST_F(FaultTest, DeletesThatKeepFailingLeaveOnlyTheTemporaryBitmaps) {
  // A temporary bitmap that cannot be deleted has to stay; its thumbnail was
  // written and the run goes on. So does the stale thumbnail.
  const std::vector<std::string>& deletes = clean.deleted;
  ASSERT_EQ(std::count_if(deletes.begin(), deletes.end(), isTemporaryBitmap), 5);
  for (int n = 1; n <= clean.calls[kUnlink]; ++n) {
    SCOPED_TRACE("every delete failing from delete " + std::to_string(n));
    runWith(Start::Fresh, failing(kUnlink, n, 1000000, EACCES));
    const auto failed = deletes.begin() + n - 1;
    expectOutcome(Start::Fresh, {}, std::find(failed, deletes.end(), tree.path(kStaleThumb)) != deletes.end(),
                  static_cast<std::size_t>(std::count_if(failed, deletes.end(), isTemporaryBitmap)));
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
    for (Start start : {Start::Fresh, Start::OverEarlierRun}) {
      for (std::size_t file = 0; file < before.size(); ++file) {
        // The disk fills at the file's first byte, or half-way through it.
        for (long long space : {before[file], before[file] + static_cast<long long>(clean.written[file]) / 2}) {
          SCOPED_TRACE(std::to_string(space) + " bytes, " + (writesNothing ? "write returning 0" : "ENOSPC") +
                       (start == Start::Fresh ? ", fresh tree" : ", over an earlier run"));
          Plan plan;
          plan.diskSpace = space;
          plan.fullDiskWritesNothing = writesNothing;
          EXPECT_GE(runWith(start, plan), 1);
          std::set<std::string> lost;
          for (std::size_t i = file; i < clean.renamedTo.size(); ++i) lost.insert(productOfFile(i));
          expectOutcome(start, lost, false, 0, true);
        }
      }
    }
  }
  Plan exact;  // room for exactly everything
  exact.diskSpace = total;
  runWith(Start::Fresh, exact);
  expectOutcome(Start::Fresh, {});
}

TEST_F(FaultTest, RunsThatMakeThumbnailsAheadLoseTheSameFiles) {
  // Workers write beside the run's thread, so calls come in no fixed order:
  // the write of a file is told by its bytes, its rename by where it goes.
  options.jobs = 3;
  for (const std::string& product : products) {
    for (const bool atRename : {false, true}) {
      SCOPED_TRACE(product + (atRename ? ": rename onto it" : ": its write") + " failing, three jobs");
      Plan plan;
      (atRename ? plan.failRenameOnto : plan.failWriteOf) = atRename ? tree.path(product) : reference.at(product);
      EXPECT_EQ(runWith(Start::Fresh, plan), 1);
      expectOutcome(Start::Fresh, {product});
    }
  }
}

// --- the settings file ---------------------------------------------------------

TEST(FaultSettingsTest, AFailedSaveKeepsTheOldFileByteForByte) {
  TempTree tree;
  const std::string path = tree.path("pixelmote.ini");
  const std::string old = "; kept by hand\r\n[Image]\r\nType=JPG\r\nPrefix=t_\r\n\r\n[Thumbnail]\r\nQuality=75\r\n";
  const auto saveChanged = [&] {  // two changed entries and a new section
    ui::SettingsDocument doc = ui::loadSettings(path);
    doc.set("Image", "Type", "GIF");
    doc.set("Thumbnail", "Quality", "40");
    doc.set("Folders", "Last", "/home/someone/Pictures");
    return ui::saveSettings(path, doc);
  };
  const auto expectOldFileAlone = [&] {
    EXPECT_EQ(tree.read("pixelmote.ini"), old);
    EXPECT_EQ(filesBelow(tree.root()), std::set<std::string>{"pixelmote.ini"});
  };
  tree.fileWith("pixelmote.ini", old);
  Record reference;
  {
    Faults none{Plan{}};
    ASSERT_TRUE(saveChanged());
    reference = g_record;
  }
  const std::string changed = tree.read("pixelmote.ini");
  // The settings are worth a flush to the disk before the rename.
  EXPECT_EQ(reference.sequence, (std::vector<Op>{kOpen, kWrite, kFsync, kClose, kRename}));
  tree.fileWith("pixelmote.ini", old);

  std::vector<std::pair<Plan, int>> plans;  // a plan and the error the save reports
  for (Op op : {kOpen, kWrite, kFsync, kClose, kRename}) {
    plans.push_back({failing(op, 1, 1, kTypicalError[op]), kTypicalError[op]});
    // The temporary file must go also when the cleanup delete fails once.
    if (op != kOpen) {
      plans.push_back(plans.back());
      plans.back().first.rules.push_back(Rule{kUnlink, 1, 1, EBUSY});
    }
  }
  // A disk that fills before, at the start of, inside and at the last byte of the new text.
  for (bool writesNothing : {false, true}) {
    for (std::size_t space : {std::size_t{0}, std::size_t{1}, changed.size() / 2, changed.size() - 1}) {
      Plan plan;
      plan.diskSpace = static_cast<long long>(space);
      plan.fullDiskWritesNothing = writesNothing;
      plans.push_back({plan, ENOSPC});
    }
  }
  for (std::size_t i = 0; i < plans.size(); ++i) {
    SCOPED_TRACE("plan " + std::to_string(i));
    Faults faulty(plans[i].first);
    const util::IoResult saved = saveChanged();
    EXPECT_FALSE(saved.ok);
    EXPECT_EQ(saved.error, plans[i].second);
    EXPECT_NE(saved.message.find(path), std::string::npos) << saved.message;
    expectOldFileAlone();
  }
  {
    Faults faulty(failing(kRename, 1, 1, EXDEV));  // one entry written the short way
    EXPECT_FALSE(ui::WriteSetting(path, "Image", "Type", "GIF"));
  }
  expectOldFileAlone();
  {
    // A cleanup delete that keeps failing leaves only its temporary file,
    // under a name no reader takes for the settings file.
    Plan plan = failing(kRename, 1, 1, EXDEV);
    plan.rules.push_back(Rule{kUnlink, 1, 1000, EACCES});
    Faults faulty(plan);
    EXPECT_FALSE(saveChanged());
  }
  const std::set<std::string> files = filesBelow(tree.root());
  ASSERT_EQ(files.size(), 2u);
  EXPECT_TRUE(files.begin()->starts_with(".pm" + kPid + "-") && files.begin()->ends_with(".tmp")) << *files.begin();
  EXPECT_EQ(ui::ReadSetting(path, "Image", "Type"), "JPG");
  ASSERT_TRUE(saveChanged());  // nothing is in the way of the next save
  EXPECT_EQ(tree.read("pixelmote.ini"), changed);
}

}  // namespace
}  // namespace pixelmote::batch
