#include "batch/engine.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <set>
#include <sys/stat.h>
#include <vector>

#include "batch/page.h"
#include "imaging/estimate.h"
#include "imaging/imglib.h"
#include "util/file_io.h"
#include "util/path.h"
#include "util/program_folder.h"
#include "util/temp_files.h"

namespace pixelmote::batch {

namespace {

// The whole part of a percentage, rounded down, as the bar's label shows it.
std::string wholePercent(double iPer) {
  if (!std::isfinite(iPer)) return "0";
  return std::to_string(static_cast<long long>(std::floor(iPer)));
}

// Resets the running flag however the run ends.
class RunningGuard {
 public:
  explicit RunningGuard(bool& flag) : m_flag(flag) { m_flag = true; }
  ~RunningGuard() { m_flag = false; }
  RunningGuard(const RunningGuard&) = delete;
  RunningGuard& operator=(const RunningGuard&) = delete;

 private:
  bool& m_flag;
};

// The reason in a failure message, without the path it names: "cannot
// open /a/b.jpg: Permission denied" gives "permission denied".
std::string reasonOf(const std::string& message, const std::string& path) {
  std::string reason = message;
  if (const auto at = message.find(path); !path.empty() && at != std::string::npos) {
    const auto colon = message.rfind(": ");
    if (colon != std::string::npos && colon >= at + path.size()) reason = message.substr(colon + 2);
  }
  // An error text of the system begins with a capital ("Permission denied").
  if (reason.size() > 1 && reason[0] >= 'A' && reason[0] <= 'Z' && reason[1] >= 'a' && reason[1] <= 'z') {
    reason[0] = static_cast<char>(reason[0] - 'A' + 'a');
  }
  return reason.empty() ? "unknown failure" : printable(reason);
}

constexpr const char* kPictureInTheWay = "a picture of that name is in the way";
constexpr const char* kPageInTheWay = "an index.html not written by Pixelmote is in the way";

std::string asciiUpper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

}  // namespace

bool prefixUsable(const std::string& prefix) {
  // A thumbnail name is the prefix, the picture's name and an extension; the
  // desktop program's probe name is the prefix and a temporary-file tag, and
  // the longest tag must still fit.
  return prefix.find('/') == std::string::npos && prefix.find('\0') == std::string::npos &&
         prefix.size() <= util::kLongestProbedPrefix;
}

Engine::Engine(Frontend& frontend, NumberFormat numbers)
    : m_frontend(frontend), m_numbers(std::move(numbers)) {
  m_dir1.setChangeHandler([this] { Dir1_Change(); });
  m_file1.setPattern("*.JPG");
  m_file2.setPattern("*.JPG");
  // The imaging layer's message box is the host's, like every other.
  imaging::setImagingMessageHandler([this](const std::string& text) { m_frontend.showMessage(text); });
}

Engine::~Engine() { imaging::setImagingMessageHandler(nullptr); }

void Engine::setFolderPath(const std::string& path) { m_dir1.setPath(path); }

void Engine::Dir1_Change() {
  // One reading of the folder serves all three lists.
  m_file1.follow(m_dir1.snapshot());
  m_file2.follow(m_dir1.snapshot());
  m_frontend.folderChanged(m_dir1.path());
}

void Engine::setSourceType(const std::string& listText) { m_file1.setPattern("*." + listText); }

void Engine::thumbTypeChanged(const std::string& listText) {
  m_file2.setPattern("*." + listText);
  m_settings.sThumbExt = util::asciiLower(listText);
  // Thumbnails made ahead in the old type are made again.
  if (m_pipeline) m_pipeline->changeSettings(renderSettings());
}

CommandResult Engine::runCommand(Operation operation, const BatchSettings& settings, RunOptions options) {
  if (m_running) return CommandResult::Ignored;
  if (operation == Operation::Create && settings.sPrefix.empty()) {
    m_frontend.showMessage(kMsgEnterPrefix);
    return CommandResult::Refused;
  }
  if (!prefixUsable(settings.sPrefix)) {
    m_frontend.showMessage(kMsgUnusablePrefix);
    return CommandResult::Refused;
  }
  RunningGuard guard(m_running);
  m_settings = settings;
  m_jobs = options.jobs < 1 ? 1 : options.jobs;
  m_updateOnly = options.updateOnly;
  // The file lists show the run's types ("*.JPG" lists "a.jpg" too).
  for (auto [list, ext] : {std::pair{&m_file1, &m_settings.sImageExt}, std::pair{&m_file2, &m_settings.sThumbExt}}) {
    const std::string pattern = "*." + asciiUpper(*ext);
    if (list->pattern() != pattern) list->setPattern(pattern);
  }
  m_state.iOperation = operation;
  m_state.bStop = false;
  Scan();
  // A refused run (the root folder) never sets the start folder.
  return m_state.sStartFolder.empty() ? CommandResult::Refused : CommandResult::Ran;
}

void Engine::Per(double iPer, int Index) {
  processEvents();
  m_frontend.setBar(Index, iPer, wholePercent(iPer));
  std::string title;
  if (Index == 0) title = std::string(kProgramTitle) + " - " + generalNumber(iPer, m_numbers) + "% " + m_dir1.path();
  if (iPer == 0) title = std::string(kProgramTitle) + " - " + m_dir1.path();
  if (!title.empty()) m_frontend.setTitle(title);
}

void Engine::Status(const std::string& line) { m_frontend.appendStatus(printable(line)); }

void Engine::reportSkipped(const std::string& path, const std::string& why) {
  ++m_summary.skippedPictures;
  Status(kStatusUnreadable + path);
  m_frontend.reportProblem(printable(path), reasonOf(why, path));
}

void Engine::reportUnwritten(const std::string& path, const std::string& why) {
  ++m_summary.unwrittenFiles;
  Status(kStatusCannotWrite + path);
  m_frontend.reportProblem(printable(path), reasonOf(why, path));
}

void Engine::HTML(const std::string& sIn) { m_state.sHTML += sIn; }

void Engine::Links() {
  // The folder list stays where it is; its entries are read in place.
  m_state.sLinks.clear();
  m_links.clear();
  const std::size_t count = m_dir1.listCount();
  for (std::size_t j = 0; j < count; ++j) {
    const std::string entry = m_dir1.list(j);
    if (entry.empty()) continue;
    m_links.push_back(page::folderLink(util::FileNamePart(entry)));
    m_state.sLinks += m_links.back();
  }
}

std::string Engine::statusLine(const std::string& path, std::int64_t folders, std::int64_t pictures,
                               std::int64_t pictureBytes, std::int64_t thumbBytes) const {
  std::string line = path;
  line += ": ";
  line += std::to_string(folders);
  line += " folders, ";
  line += std::to_string(pictures);
  line += " files (";
  line += funBytes(pictureBytes, m_numbers);
  line += " [";
  line += funBytes(thumbBytes, m_numbers);
  line += "])";
  return line;
}

void Engine::Scan() {
  RunState& s = m_state;
  m_summary = RunSummary{};
  m_pageStack.clear();
  m_homePageExists = true;
  m_frontend.setControlsEnabled(false);
  s.lTotalFolders = s.lTotalPictures = s.lTotalBytes = s.lTotalThumbBytes = 0;
  s.sStartFolder.clear();
  m_frontend.clearStatus();

  const std::string sFolder = m_settings.sFolder;
  if (sFolder.empty() || sFolder.back() == '/') {
    m_frontend.showMessage(kMsgSelectFolder);
    m_frontend.setControlsEnabled(true);
    return;
  }
  if (m_dir1.path() != sFolder) setFolderPath(sFolder);

  // Temporary files of runs that were killed are cleared: those of the
  // program's own folder now, those beside the pictures before a run writes
  // in their folder.
  if (const auto own = util::writableProgramFolder()) util::removeDeadLeftovers(own.value());

  s.iCell = 0;
  Per(0, 0);
  s.sStartFolder = sFolder;
  s.iFolderCount = 0;
  s.iLevel = 0;
  s.FolderTable.assign(1, FolderEntry{});
  subRecurse(sFolder);
  if (s.iOperation == Operation::Create && m_jobs > 1) schedulePictures();

  const std::size_t count = s.iFolderCount;
  for (s.iFolder = 1; s.iFolder <= count; ++s.iFolder) {
    const std::string folderPath = s.FolderTable[s.iFolder].sFolderPath;
    setFolderPath(folderPath);
    s.sHTML.clear();
    s.iCell = 0;

    HTML(std::string(page::kHead));
    Links();
    HTML(s.sLinks);
    const std::size_t linksEnd = s.sHTML.size();
    // No Home link while the start folder has no page to go home to.
    if (m_dir1.path() != s.sStartFolder && m_homePageExists) HTML(page::homeLink(s.FolderTable[s.iFolder].iDepth));
    HTML(page::tableOpen(m_settings.iBorder));

    if (s.iOperation != Operation::Report) util::removeDeadLeftovers(folderPath);
    if (s.iOperation == Operation::Create) {
      Add();
    } else if (s.iOperation == Operation::Remove) {
      Remove();
    } else {
      measureThumbnails();
    }

    HTML(std::string(page::kTableEnd));
    HTML(std::string(page::kTail));

    if (s.iOperation == Operation::Create) {
      // Pages are written parent first, as the folders come. The pages of
      // the folder's ancestors are kept; when this folder ends up without a
      // page, its parent's page is written again without the link to it, so
      // pages link only to pages that exist.
      const int depth = s.FolderTable[s.iFolder].iDepth;
      while (!m_pageStack.empty() && s.FolderTable[m_pageStack.back().folder].iDepth >= depth) m_pageStack.pop_back();
      const PageOutcome written = writePage();
      if (written == PageOutcome::Written) {
        m_pageStack.push_back(WrittenPage{s.iFolder, std::string(page::kHead), m_links, s.sHTML.substr(linksEnd)});
      } else if (written == PageOutcome::None && s.iFolder == 1) {
        m_homePageExists = false;
      } else if (written == PageOutcome::None) {
        dropDeadLink(s.iFolder);
      }
    } else if (s.iOperation == Operation::Remove) {
      // Only a page this program wrote is deleted; a hand-written one stays.
      const std::string pagePath = util::joinPath(folderPath, page::kPageName);
      if (util::FileReadable(pagePath) && page::isGeneratedPage(pagePath)) util::removeFile(pagePath);
    }

    Per(static_cast<double>(s.iFolder) / static_cast<double>(count) * 100.0, 0);
    const FolderEntry& entry = s.FolderTable[s.iFolder];
    Status(statusLine(entry.sFolderPath, entry.iSubFolders, entry.iPictures, entry.lPictureBytes,
                      entry.lThumbBytes));
    s.lTotalFolders += entry.iSubFolders;
    s.lTotalPictures += entry.iPictures;
    s.lTotalBytes += entry.lPictureBytes;
    s.lTotalThumbBytes += entry.lThumbBytes;

    if (s.bStop) break;
    processEvents();
  }

  if (m_pipeline) {
    // Thumbnails made ahead for pictures the run did not reach are thrown
    // away: a stopped run leaves what one job stopped there leaves.
    m_pipeline->cancel();
    m_pipeline.reset();
  }
  m_summary.stopped = s.bStop;
  m_pageStack.clear();
  s.bStop = false;
  setFolderPath(s.sStartFolder);
  Status(std::string(40, '-'));
  Status(statusLine(s.sStartFolder, s.lTotalFolders, s.lTotalPictures, s.lTotalBytes, s.lTotalThumbBytes) +
         " - " + sizeFigure(s.lTotalThumbBytes, s.lTotalBytes, m_numbers) + "%");
  Per(0, 0);
  Per(0, 1);
  Per(0, 2);
  m_frontend.setControlsEnabled(true);
}

// Records a folder and everything below it, depth first, each folder before
// its sub-folders. An explicit stack stands in for recursion so that no tree
// the file system allows can exhaust the call stack; the order of events is
// that of the recursive procedure: enter a folder (stop test, read, record),
// then for each sub-folder walk it, move back to the parent, move bar 1.
void Engine::subRecurse(const std::string& sPath) {
  struct Frame {
    std::string path;
    std::size_t subFolders;
    std::size_t next;
  };
  std::vector<Frame> stack;

  const auto enter = [&](const std::string& path) {
    if (m_state.bStop) return false;
    setFolderPath(path);
    recordFolder(path);
    stack.push_back(Frame{path, m_dir1.listCount(), 0});
    return true;
  };
  // What the parent does when the walk of one of its sub-folders returns.
  const auto returned = [&](Frame& parent) {
    setFolderPath(parent.path);
    Per(static_cast<double>(parent.next) / static_cast<double>(parent.subFolders) * 100.0, 1);
    ++parent.next;
  };

  if (!enter(sPath)) return;
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next >= top.subFolders) {
      --m_state.iLevel;
      stack.pop_back();
      if (!stack.empty()) returned(stack.back());
      continue;
    }
    const std::string entry = m_dir1.list(top.next);
    if (entry.empty()) {  // the folder lost entries since it was counted
      ++top.next;
      continue;
    }
    if (!enter(entry)) returned(stack.back());
  }
}

void Engine::recordFolder(const std::string& sPath) {
  RunState& s = m_state;
  FolderEntry entry;
  entry.sFolderPath = sPath;
  entry.iSubFolders = static_cast<std::int64_t>(m_dir1.listCount());
  ++s.iFolderCount;
  ++s.iLevel;
  entry.iDepth = s.iLevel;
  // A picture is a listed file whose first two characters are not the prefix
  // (exact comparison, case kept).
  const std::size_t files = m_file1.listCount();
  for (std::size_t k = 0; k < files; ++k) {
    const std::string& name = m_file1.list(k);
    if (name.substr(0, 2) == m_settings.sPrefix) continue;
    ++entry.iPictures;
    entry.lPictureBytes += m_file1.fileSize(name);
  }
  s.FolderTable.push_back(std::move(entry));
}

void Engine::Add() {
  RunState& s = m_state;
  Per(0, 1);
  s.FolderTable[s.iFolder].lThumbBytes = 0;
  const std::string folder = m_dir1.path();
  // Thumbnails written in this folder so far: an unreadable picture must not
  // delete a thumbnail that an earlier picture of the same name just wrote.
  std::vector<std::string> written;
  const std::size_t c = m_file1.listCount();
  for (std::size_t k = 0; k < c; ++k) {
    const std::string name = m_file1.list(k);
    if (isThumbnailName(name)) continue;  // an existing thumbnail

    const imaging::RenderSettings render = renderSettings();
    const std::string picture = util::joinPath(folder, name);
    const std::string thumb = imaging::thumbnailPathFor(picture, render.prefix, render.thumbExt);
    const std::string thumbName = util::FileNamePart(thumb);
    imaging::RenderOutcome outcome;
    if (!mayReplace(thumb, thumbName)) {
      // Another picture bears the thumbnail's name: it is kept.
      outcome.result = imaging::RenderResult::CannotWrite;
      outcome.failedPath = thumb;
      outcome.message = kPictureInTheWay;
    } else if (m_updateOnly && imaging::thumbnailUpToDate(picture, render)) {
      outcome.thumbnailPath = thumb;
    } else {
      outcome = imaging::LoadSource(picture, render, *this, m_pipeline.get());
    }

    switch (outcome.result) {
      case imaging::RenderResult::Written: {
        written.push_back(thumb);
        s.FolderTable[s.iFolder].lThumbBytes += m_file1.fileSize(thumbName);
        Per(static_cast<double>(k + 1) / static_cast<double>(c) * 100.0, 1);
        HTML(page::cell(name, thumbName));
        ++s.iCell;
        if (s.iCell == m_settings.iColumns) {
          s.iCell = 0;
          HTML(std::string(page::kRowBreak));
        }
        break;
      }
      case imaging::RenderResult::Unreadable:
        reportSkipped(picture, outcome.message);
        // A thumbnail left by an earlier run would no longer match its picture.
        if (std::find(written.begin(), written.end(), thumb) == written.end() && util::FileExists(thumb) &&
            mayReplace(thumb, thumbName)) {
          util::removeFile(thumb);
        }
        Per(static_cast<double>(k + 1) / static_cast<double>(c) * 100.0, 1);
        break;
      case imaging::RenderResult::CannotWrite:
        reportUnwritten(outcome.failedPath, outcome.message);
        Per(static_cast<double>(k + 1) / static_cast<double>(c) * 100.0, 1);
        break;
    }
    if (s.bStop) break;
    processEvents();
  }
}

imaging::RenderSettings Engine::renderSettings() const {
  imaging::RenderSettings render;
  render.sizePercent = m_settings.iSize;
  render.quality = m_settings.iQuality;
  render.smoothing = m_settings.iSmooth;
  render.prefix = m_settings.sPrefix;
  render.thumbExt = m_settings.sThumbExt;
  return render;
}

bool Engine::isThumbnailName(const std::string& name) const {
  const std::string& prefix = m_settings.sPrefix;
  if (prefix.empty() || name.size() < prefix.size()) return false;
  return util::asciiLower(std::string_view(name).substr(0, prefix.size())) == util::asciiLower(prefix);
}

bool Engine::countsAsPicture(const std::string& name) const { return name.substr(0, 2) != m_settings.sPrefix; }

bool Engine::mayReplace(const std::string& path, const std::string& name) const {
  // A name that begins with the prefix is a thumbnail's name to the walker
  // too; that is every thumbnail's name when the prefix has two characters.
  if (!countsAsPicture(name)) return true;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  return imaging::carriesThumbnailStamp(path);
}

std::vector<std::string> Engine::picturesToRender(const FileList& files, const std::string& folder) const {
  std::vector<std::string> out;
  for (std::size_t k = 0; k < files.listCount(); ++k) {
    const std::string& name = files.list(k);
    if (isThumbnailName(name)) continue;
    const std::string picture = util::joinPath(folder, name);
    const std::string thumb = imaging::thumbnailPathFor(picture, m_settings.sPrefix, m_settings.sThumbExt);
    if (mayReplace(thumb, util::FileNamePart(thumb))) out.push_back(picture);
  }
  return out;
}

// Queues every picture the run will render, folder by folder, for the
// workers to make ahead. The folders are read here as the run will read
// them; a folder that changes in between only costs its pictures being made
// on the spot.
void Engine::schedulePictures() {
  // The window lets small pictures go on beside a large one that takes a
  // while.
  const std::uint64_t budget = imaging::loadAheadBudget(m_jobs);
  m_pipeline = std::make_unique<imaging::ThumbnailPipeline>(m_jobs, 4 * m_jobs + 2, budget,
                                                            imaging::thumbnailWorkEstimate);
  m_pipeline->startEarlyFrom(imaging::kSlowLoadWorkingBytes);
  const imaging::RenderSettings render = renderSettings();
  for (std::size_t i = 1; i <= m_state.iFolderCount; ++i) {
    const std::string& folder = m_state.FolderTable[i].sFolderPath;
    FileList files;
    files.setPattern(m_file1.pattern());
    files.setFolder(folder);
    std::vector<std::string> pictures = picturesToRender(files, folder);
    if (m_updateOnly) {
      std::erase_if(pictures, [&](const std::string& p) { return imaging::thumbnailUpToDate(p, render); });
    }
    m_pipeline->schedule(pictures, render);
  }
}

Engine::PageOutcome Engine::writePage() {
  const std::string pagePath = util::joinPath(m_state.FolderTable[m_state.iFolder].sFolderPath, page::kPageName);
  struct stat st {};
  const bool earlier = ::lstat(pagePath.c_str(), &st) == 0;
  // A page someone wrote by hand (or one that cannot be read to tell) stays.
  if (earlier && !page::isGeneratedPage(pagePath)) {
    reportUnwritten(pagePath, kPageInTheWay);
    return S_ISDIR(st.st_mode) ? PageOutcome::None : PageOutcome::Kept;
  }
  const util::IoResult written = util::writeFileAtomically(pagePath, page::pageFile(m_state.sHTML));
  if (written) return PageOutcome::Written;
  reportUnwritten(pagePath, written.message);
  return earlier && !S_ISDIR(st.st_mode) ? PageOutcome::Kept : PageOutcome::None;
}

void Engine::dropDeadLink(std::size_t folder) {
  const FolderEntry& entry = m_state.FolderTable[folder];
  if (m_pageStack.empty() || m_state.FolderTable[m_pageStack.back().folder].iDepth != entry.iDepth - 1) return;
  WrittenPage& parent = m_pageStack.back();
  const auto link = std::find(parent.links.begin(), parent.links.end(),
                              page::folderLink(util::FileNamePart(entry.sFolderPath)));
  if (link == parent.links.end()) return;
  parent.links.erase(link);
  std::string html = parent.head;
  for (const std::string& l : parent.links) html += l;
  html += parent.rest;
  const std::string pagePath = util::joinPath(m_state.FolderTable[parent.folder].sFolderPath, page::kPageName);
  const util::IoResult written = util::writeFileAtomically(pagePath, page::pageFile(html));
  if (!written) reportUnwritten(pagePath, written.message);
}

void Engine::Remove() {
  RunState& s = m_state;
  Per(0, 1);
  const std::size_t n = m_file1.listCount();
  const std::string folder = m_dir1.path();
  // The names the pictures here give their thumbnails: a file of such a
  // name is taken for a thumbnail even when an older version or another
  // tool made it. Any other file is deleted only when it carries our stamp.
  std::set<std::string> thumbnailNames;
  for (std::size_t i = 0; i < n; ++i) {
    const std::string& name = m_file1.list(i);
    if (countsAsPicture(name)) thumbnailNames.insert(imaging::thumbnailNameFor(name, m_settings.sPrefix, m_settings.sImageExt));
  }
  for (std::size_t i = 0; i < n; ++i) {
    const std::string name = m_file1.list(i);
    if (!isThumbnailName(name)) continue;
    const std::string path = util::joinPath(folder, name);
    const bool ours = (!countsAsPicture(name) && thumbnailNames.contains(name)) || imaging::carriesThumbnailStamp(path);
    if (!ours) continue;  // a picture of the user's that happens to begin with the prefix
    util::removeFile(path);  // a file that cannot go stays, silently
    Per(static_cast<double>(i + 1) / static_cast<double>(n) * 100.0, 1);
    if (s.bStop) break;
  }
  s.FolderTable[s.iFolder].lThumbBytes = 0;
  m_file1.refresh();
}

// Report runs measure existing thumbnails: for every picture a Create run
// would render here, the size of the thumbnail file it would write, when
// that file exists.
void Engine::measureThumbnails() {
  FolderEntry& entry = m_state.FolderTable[m_state.iFolder];
  entry.lThumbBytes = 0;
  // Without a prefix Create makes no thumbnails (and the name it would
  // give could be the picture's own).
  if (m_settings.sPrefix.empty()) return;
  const std::size_t n = m_file1.listCount();
  for (std::size_t k = 0; k < n; ++k) {
    const std::string& name = m_file1.list(k);
    if (isThumbnailName(name)) continue;
    const std::string thumb = imaging::thumbnailNameFor(name, m_settings.sPrefix, m_settings.sThumbExt);
    // File2 lists the thumbnail type; a hidden name is looked up directly.
    if (m_file2.contains(thumb) || thumb.front() == '.') entry.lThumbBytes += m_file2.fileSize(thumb);
  }
}

}  // namespace pixelmote::batch
