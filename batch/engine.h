// The batch engine: one Create, Remove or Report run over a folder tree, with
// progress, status lines, totals and Stop, reported through a Frontend.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "batch/format.h"
#include "batch/frontend.h"
#include "batch/lists.h"
#include "batch/run_state.h"
#include "imaging/pipeline.h"
#include "imaging/render.h"

namespace pixelmote::batch {

inline constexpr const char* kProgramTitle = "Pixelmote";
inline constexpr const char* kMsgEnterPrefix = "Please enter a thumbnail prefix.";
inline constexpr const char* kMsgSelectFolder = "Please select a folder";
inline constexpr const char* kMsgUnusablePrefix =
    "A thumbnail prefix cannot contain '/' and must leave room for a file name.";
inline constexpr const char* kStatusUnreadable = "Skipped unreadable picture ";
inline constexpr const char* kStatusCannotWrite = "Cannot write ";

// What the last run left undone, for an honest exit status.
struct RunSummary {
  std::size_t skippedPictures = 0;  // pictures that got no thumbnail
  std::size_t unwrittenFiles = 0;   // thumbnails and pages not written
  bool stopped = false;             // Stop ended the run early
  bool complete() const { return skippedPictures == 0 && unwrittenFiles == 0 && !stopped; }
};

// True when `prefix` can begin a file name: no "/" and no NUL, short enough
// that a thumbnail name (and the window's probe name) built from it stays
// within the name-length limit. The empty prefix passes; Create refuses it
// on its own.
bool prefixUsable(const std::string& prefix);

// How a run goes about its work, beside the settings that shape its output.
struct RunOptions {
  // Pictures worked on at once in Create runs. With more than one, worker
  // threads make the thumbnails ahead (each left under a temporary name)
  // while the run's thread takes them in order through the progress, Stop
  // points, cells and pages, putting each in place when its turn comes: the
  // output, progress and Stop points are those of one job.
  unsigned jobs = 1;
  // Create runs leave a picture whose thumbnail is up to date (it records
  // the picture's size, time and the settings, all unchanged) as it is;
  // pages and status lines are those of a full run.
  bool updateOnly = false;
};

enum class CommandResult {
  Ran,          // the run went to its end (or to a Stop)
  Refused,      // a message box said why (no or unusable prefix, no folder, the root)
  Ignored,      // a run was already in progress
};

class Engine : private imaging::RenderHost {
 public:
  explicit Engine(Frontend& frontend, NumberFormat numbers = NumberFormat::fromLocale());
  ~Engine() override;
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // The settings of the run in progress, or of the last one.
  const BatchSettings& settings() const { return m_settings; }
  const RunState& state() const { return m_state; }
  const NumberFormat& numbers() const { return m_numbers; }

  FolderList& Dir1() { return m_dir1; }
  const FolderList& Dir1() const { return m_dir1; }
  FileList& File1() { return m_file1; }
  FileList& File2() { return m_file2; }

  // Points the folder list at `path`; the file lists follow (Dir1_Change).
  void setFolderPath(const std::string& path);
  // The file list of pictures shows this type ("JPG" or "GIF") while the
  // host browses; a run lists the type its settings name.
  void setSourceType(const std::string& listText);
  // The thumbnail type changed ("JPG" or "GIF"): File2 lists it, and during
  // a Create run the pictures whose rendering has not begun yet get
  // thumbnails of the new type.
  void thumbTypeChanged(const std::string& listText);

  // One Create, Remove or Report run over settings.sFolder and its
  // sub-folders, with `settings` throughout. Ignored while a run is in
  // progress; refused, with a message, for Create without a prefix, for a
  // prefix prefixUsable rejects, and for no folder or the root. Stop comes
  // from the front end's processEvents().
  CommandResult runCommand(Operation operation, const BatchSettings& settings, RunOptions options = {});
  bool running() const { return m_running; }
  // What the last run that went ahead skipped, failed to write or left out.
  const RunSummary& lastRun() const { return m_summary; }

  // Moves progress bar `Index` and lets the host process its events first.
  void Per(double iPer, int Index) override;
  // Appends one line to the status list.
  void Status(const std::string& line);

 private:
  void Dir1_Change();
  void Scan();
  void subRecurse(const std::string& sPath);
  void recordFolder(const std::string& sPath);
  void Add();
  void Remove();
  enum class PageOutcome { Written, Kept, None };
  // Writes the folder's page: Written, or Kept when only a page from before
  // (ours or not) is there, or None when the folder has no page.
  PageOutcome writePage();
  // Writes the page of a folder whose page could not be written; see Scan.
  void dropDeadLink(std::size_t folder);
  void schedulePictures();
  // Add and Remove take a name for a thumbnail's when it begins with the
  // prefix, letter case ignored, whatever the prefix's length.
  bool isThumbnailName(const std::string& name) const;
  // The walker's own test: the first two bytes are not the prefix.
  bool countsAsPicture(const std::string& name) const;
  // Whether a Create run may write over (or delete as stale) the existing
  // file `path` named `name`: not when it would count as a picture, unless
  // it is a thumbnail of ours.
  bool mayReplace(const std::string& path, const std::string& name) const;
  // Appends the status line for a skipped picture or an unwritten file and
  // tells the front end why.
  void reportSkipped(const std::string& path, const std::string& why);
  void reportUnwritten(const std::string& path, const std::string& why);
  imaging::RenderSettings renderSettings() const;
  std::vector<std::string> picturesToRender(const FileList& files, const std::string& folder) const;
  // Lets the front end handle its events; a Stop it reports ends the run at
  // its next test point.
  void processEvents() override {
    if (m_frontend.processEvents()) m_state.bStop = true;
  }
  bool stopRequested() const override { return m_state.bStop; }
  void measureThumbnails();
  void HTML(const std::string& sIn);
  void Links();
  std::string statusLine(const std::string& path, std::int64_t folders, std::int64_t pictures,
                         std::int64_t pictureBytes, std::int64_t thumbBytes) const;

  Frontend& m_frontend;
  NumberFormat m_numbers;
  BatchSettings m_settings;
  RunState m_state;
  FolderList m_dir1;
  FileList m_file1;
  FileList m_file2;
  bool m_running = false;
  unsigned m_jobs = 1;
  bool m_updateOnly = false;
  std::unique_ptr<imaging::ThumbnailPipeline> m_pipeline;
  RunSummary m_summary;
  // The written pages of the current folder's ancestors, kept so that a
  // link to a sub-folder whose page could not be written can be taken out.
  struct WrittenPage {
    std::size_t folder = 0;  // FolderTable entry
    std::string head;        // the page text before the links line
    std::vector<std::string> links;
    std::string rest;        // the page text after the links line
  };
  std::vector<WrittenPage> m_pageStack;
  std::vector<std::string> m_links;  // the links line's entries, as Links made them
  bool m_homePageExists = true;  // the start folder has a page to link Home to
};

}  // namespace pixelmote::batch
