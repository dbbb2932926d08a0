// What a run asks of the program that hosts it: the window, the batch
// command or a test. The engine calls these on its own thread, in run order.
#pragma once

#include <string>

namespace pixelmote::batch {

class Frontend {
 public:
  virtual ~Frontend() = default;

  // Let the host handle its pending events: a Stop click, Ctrl-C, a repaint.
  // True when Stop was asked for since the last call: the run then ends at
  // its next test point.
  virtual bool processEvents() = 0;
  // Progress bar `index` (0 "Total", 1 "Folder", 2 "File") now stands at
  // `percent` (not clamped); `label` is the whole percentage as shown.
  virtual void setBar(int index, double percent, const std::string& label) = 0;
  // The window title, e.g. "Pixelmote - 50% /home/ann/pics".
  virtual void setTitle(const std::string& title) = 0;
  virtual void clearStatus() = 0;
  virtual void appendStatus(const std::string& line) = 0;
  // A picture was skipped or a file was not written; its status line has
  // just been appended. `path` names the file, `reason` says why ("not a
  // JPEG file", "permission denied"). Both are free of control bytes.
  virtual void reportProblem(const std::string& path, const std::string& reason) {
    (void)path;
    (void)reason;
  }
  // A message box with an OK button and the program's title as caption.
  virtual void showMessage(const std::string& text) = 0;
  // Enables or disables the folder list, the drive list and the settings
  // panel together (disabled while a run is in progress).
  virtual void setControlsEnabled(bool enabled) = 0;
  // The folder list now stands on `path` (the run moves it folder by folder).
  virtual void folderChanged(const std::string& path) { (void)path; }
};

}  // namespace pixelmote::batch
