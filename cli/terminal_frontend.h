// The batch command's Frontend: status lines to standard output, messages
// and an optional progress line to standard error, Ctrl-C as Stop.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

#include "batch/frontend.h"

namespace pixelmote::cli {

class TerminalFrontend : public batch::Frontend {
 public:
  // `progress`: draw a progress line on `err` (only when it is a terminal).
  TerminalFrontend(std::FILE* out, std::FILE* err, bool progress);
  ~TerminalFrontend() override;

  // True once, at the first call after Ctrl-C.
  bool processEvents() override;
  void setBar(int index, double percent, const std::string& label) override;
  void setTitle(const std::string& title) override;
  void clearStatus() override {}
  // Every line is flushed as it is written, so a run that is killed has
  // shown every line of the folders it finished.
  void appendStatus(const std::string& line) override;
  // "pixelmote-batch: PATH: REASON" on standard error.
  void reportProblem(const std::string& path, const std::string& reason) override;
  void showMessage(const std::string& text) override;
  void setControlsEnabled(bool) override {}
  void folderChanged(const std::string& path) override { m_folder = path; }

  // Erases the progress line, if one is shown.
  void finish();

  // Makes the first SIGINT a Stop request and the second one fatal.
  static void installInterruptHandler();
  static bool interrupted();

 private:
  void drawProgress(bool force);

  std::FILE* m_out;
  std::FILE* m_err;
  bool m_progress;
  bool m_progressShown = false;
  bool m_stopSent = false;
  std::string m_bars[3] = {"0", "0", "0"};
  std::string m_folder;
  std::chrono::steady_clock::time_point m_lastDraw{};
};

}  // namespace pixelmote::cli
