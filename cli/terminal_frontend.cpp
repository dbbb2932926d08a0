#include "cli/terminal_frontend.h"

#include <csignal>

namespace pixelmote::cli {

namespace {

volatile std::sig_atomic_t g_interrupts = 0;

extern "C" void onInterrupt(int) {
  if (g_interrupts > 0) {
    // Second Ctrl-C: give up at once, as an interrupted program does.
    std::signal(SIGINT, SIG_DFL);
    std::raise(SIGINT);
    return;
  }
  g_interrupts = 1;
}

}  // namespace

TerminalFrontend::TerminalFrontend(std::FILE* out, std::FILE* err, bool progress)
    : m_out(out), m_err(err), m_progress(progress) {}

TerminalFrontend::~TerminalFrontend() { finish(); }

void TerminalFrontend::installInterruptHandler() {
  struct sigaction sa {};
  sa.sa_handler = onInterrupt;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGINT, &sa, nullptr);
}

bool TerminalFrontend::interrupted() { return g_interrupts != 0; }

bool TerminalFrontend::processEvents() {
  if (g_interrupts == 0 || m_stopSent) return false;
  m_stopSent = true;
  return true;
}

void TerminalFrontend::setBar(int index, double, const std::string& label) {
  if (index >= 0 && index < 3) m_bars[index] = label;
  drawProgress(false);
}

void TerminalFrontend::setTitle(const std::string&) {}

void TerminalFrontend::appendStatus(const std::string& line) {
  if (m_progressShown) {
    std::fputs("\r\033[K", m_err);
    m_progressShown = false;
  }
  std::fwrite(line.data(), 1, line.size(), m_out);
  std::fputc('\n', m_out);
  std::fflush(m_out);
}

void TerminalFrontend::reportProblem(const std::string& path, const std::string& reason) {
  finish();
  std::fprintf(m_err, "pixelmote-batch: %s: %s\n", path.c_str(), reason.c_str());
  std::fflush(m_err);
}

void TerminalFrontend::showMessage(const std::string& text) {
  finish();
  std::fprintf(m_err, "%s\n", text.c_str());
  std::fflush(m_err);
}

void TerminalFrontend::drawProgress(bool force) {
  if (!m_progress) return;
  const auto now = std::chrono::steady_clock::now();
  if (!force && m_progressShown && now - m_lastDraw < std::chrono::milliseconds(100)) return;
  m_lastDraw = now;
  std::string line = "Total " + m_bars[0] + "%  Folder " + m_bars[1] + "%  File " + m_bars[2] + "%  " + m_folder;
  if (line.size() > 100) line = line.substr(0, 97) + "...";
  std::fprintf(m_err, "\r\033[K%s", line.c_str());
  std::fflush(m_err);
  m_progressShown = true;
}

void TerminalFrontend::finish() {
  if (m_progressShown) {
    std::fputs("\r\033[K", m_err);
    std::fflush(m_err);
    m_progressShown = false;
  }
}

}  // namespace pixelmote::cli
