// A Frontend for tests: records every call a run makes, in order, and can
// press Stop at a chosen moment.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "batch/engine.h"
#include "batch/frontend.h"

namespace pixelmote::testing {

class RecordingFrontend : public batch::Frontend {
 public:
  // Every call as one text: "events", "bar 1 50 50", "title ...",
  // "clear", "status ...", "message ...", "controls on|off", "folder ...".
  std::vector<std::string> calls;
  // The status list as a window would hold it (cleared by clearStatus).
  std::vector<std::string> status;
  std::vector<std::string> messages;
  // Every reportProblem call as "path: reason" (not in `calls`, so the
  // recorded order of the other calls stays what a window sees).
  std::vector<std::string> problems;
  std::string title;
  bool controlsEnabled = true;
  int eventPasses = 0;

  // Presses Stop during the event pass with this number (1 = the first).
  int stopAtEventPass = 0;
  // Or presses Stop during the first event pass for which this returns true
  // (it sees the calls recorded so far).
  std::function<bool(const RecordingFrontend&)> stopWhen;
  // Runs during every event pass (e.g. to start a second command).
  std::function<void()> onEvents;

  bool processEvents() override;
  void setBar(int index, double percent, const std::string& label) override;
  void setTitle(const std::string& text) override;
  void clearStatus() override;
  void appendStatus(const std::string& line) override;
  void reportProblem(const std::string& path, const std::string& reason) override;
  void showMessage(const std::string& text) override;
  void setControlsEnabled(bool enabled) override;
  void folderChanged(const std::string& path) override;

  // The recorded calls that begin with `prefix`.
  std::vector<std::string> callsStartingWith(const std::string& prefix) const;

 private:
  bool m_stopped = false;
};

}  // namespace pixelmote::testing
