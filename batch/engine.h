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
#include "imaging/prefetch.h"
#include "imaging/render.h"

namespace pixelmote::batch {

inline constexpr const char* kProgramTitle = "Pixelmote";
inline constexpr const char* kMsgEnterPrefix = "Please enter a thumbnail prefix.";
inline constexpr const char* kMsgSelectFolder = "Please select a folder";
inline constexpr const char* kStatusUnreadable = "Skipped unreadable picture ";
inline constexpr const char* kStatusCannotWrite = "Cannot write ";

// What the last run left undone, for an honest exit status.
struct RunSummary {
  std::size_t skippedPictures = 0;  // pictures that got no thumbnail
  std::size_t unwrittenFiles = 0;   // thumbnails and pages not written
  bool stopped = false;             // Stop ended the run early
  bool complete() const { return skippedPictures == 0 && unwrittenFiles == 0 && !stopped; }
};

enum class CommandResult {
  Ran,          // the run went to its end (or to a Stop)
  Refused,      // a message box said why (empty prefix, root folder)
  Ignored,      // a run was already in progress
};

class Engine : private imaging::RenderHost {
 public:
  explicit Engine(Frontend& frontend, NumberFormat numbers = NumberFormat::fromLocale());
  ~Engine() override;
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // The choices the next run reads. The host changes them only while idle;
  // sFolder is taken from the folder list when a run starts.
  BatchSettings& settings() { return m_settings; }
  const BatchSettings& settings() const { return m_settings; }
  const RunState& state() const { return m_state; }
  const NumberFormat& numbers() const { return m_numbers; }

  FolderList& Dir1() { return m_dir1; }
  FileList& File1() { return m_file1; }
  FileList& File2() { return m_file2; }

  // Points the folder list at `path`; the file lists follow (Dir1_Change).
  void setFolderPath(const std::string& path);
  // Sets the source type ("JPG" or "GIF"): File1's pattern and sImageExt.
  void setSourceType(const std::string& listText);
  // Sets the thumbnail type: File2's pattern and sThumbExt.
  void setThumbType(const std::string& listText);

  // The command handlers' shared logic: ignore a command while a run is in
  // progress, refuse Create without a prefix, else clear Stop and run Scan.
  CommandResult runCommand(Operation operation);
  // Stop: the run ends at its next test point.
  void requestStop() { m_state.bStop = true; }
  bool running() const { return m_running; }
  // What the last run that went ahead skipped, failed to write or left out.
  const RunSummary& lastRun() const { return m_summary; }
  // Pictures worked on at once in Create runs: with more than one, pictures
  // are loaded ahead on worker threads while this thread renders them in
  // order, with the same output, progress and Stop points as one.
  void setJobs(unsigned jobs) { m_jobs = jobs < 1 ? 1 : jobs; }
  unsigned jobs() const { return m_jobs; }
  // Create runs leave a picture whose thumbnail is up to date (it records
  // the picture's size, time and the settings, all unchanged) as it is;
  // pages and status lines are those of a full run.
  void setUpdateOnly(bool on) { m_updateOnly = on; }

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
  void processEvents() override { m_frontend.processEvents(); }
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
  std::unique_ptr<imaging::BoxPrefetcher> m_prefetcher;
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
