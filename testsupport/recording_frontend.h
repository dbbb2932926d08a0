// A Frontend for tests: records every call a run makes, in order, and can
// press Stop at a chosen moment.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "batch/engine.h"
#include "batch/frontend.h"

namespace pixelmote::testing {

class RecordingFrontend : public batch::Frontend {
 public:
  // Every call as one text: "events", "stop", "bar 1 50 50", "title ...",
  // "clear", "status ...", "message ...", "controls on|off", "folder ...".
  std::vector<std::string> calls;
  // The status list as a window would hold it (cleared by clearStatus).
  std::vector<std::string> status;
  // Every reportProblem call as "path: reason" (not in `calls`, so the
  // recorded order of the other calls stays what a window sees).
  std::vector<std::string> problems;
  bool controlsEnabled = true;

  // Presses Stop during the event pass with this number (1 = the first).
  int stopAtEventPass = 0;

  bool processEvents() override {
    calls.push_back("events");
    const bool stopNow = ++m_eventPasses == stopAtEventPass;
    if (stopNow) calls.push_back("stop");
    return stopNow;
  }
  void setBar(int index, double percent, const std::string& label) override {
    char text[64];
    std::snprintf(text, sizeof text, "%.10g", percent);
    calls.push_back("bar " + std::to_string(index) + " " + text + " " + label);
  }
  void setTitle(const std::string& text) override { calls.push_back("title " + text); }
  void clearStatus() override {
    status.clear();
    problems.clear();
    calls.push_back("clear");
  }
  void appendStatus(const std::string& line) override {
    status.push_back(line);
    calls.push_back("status " + line);
  }
  void reportProblem(const std::string& path, const std::string& reason) override {
    problems.push_back(path + ": " + reason);
  }
  void showMessage(const std::string& text) override { calls.push_back("message " + text); }
  void setControlsEnabled(bool enabled) override {
    controlsEnabled = enabled;
    calls.push_back(enabled ? "controls on" : "controls off");
  }
  void folderChanged(const std::string& path) override { calls.push_back("folder " + path); }

 private:
  int m_eventPasses = 0;
};

}  // namespace pixelmote::testing
