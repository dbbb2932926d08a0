#include "testsupport/recording_frontend.h"

#include <cstdio>

namespace pixelmote::testing {

namespace {

std::string percentText(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.10g", v);
  return buf;
}

}  // namespace

bool RecordingFrontend::processEvents() {
  ++eventPasses;
  calls.push_back("events");
  const bool stopNow = (stopAtEventPass > 0 && eventPasses == stopAtEventPass) || (stopWhen && !m_stopped && stopWhen(*this));
  if (stopNow) {
    m_stopped = true;
    calls.push_back("stop");
  }
  if (onEvents) onEvents();
  return stopNow;
}

void RecordingFrontend::setBar(int index, double percent, const std::string& label) {
  calls.push_back("bar " + std::to_string(index) + " " + percentText(percent) + " " + label);
}

void RecordingFrontend::setTitle(const std::string& text) {
  title = text;
  calls.push_back("title " + text);
}

void RecordingFrontend::clearStatus() {
  status.clear();
  problems.clear();
  calls.push_back("clear");
}

void RecordingFrontend::appendStatus(const std::string& line) {
  status.push_back(line);
  calls.push_back("status " + line);
}

void RecordingFrontend::reportProblem(const std::string& path, const std::string& reason) {
  problems.push_back(path + ": " + reason);
}

void RecordingFrontend::showMessage(const std::string& text) {
  messages.push_back(text);
  calls.push_back("message " + text);
}

void RecordingFrontend::setControlsEnabled(bool enabled) {
  controlsEnabled = enabled;
  calls.push_back(enabled ? "controls on" : "controls off");
}

void RecordingFrontend::folderChanged(const std::string& path) { calls.push_back("folder " + path); }

std::vector<std::string> RecordingFrontend::callsStartingWith(const std::string& prefix) const {
  std::vector<std::string> out;
  for (const auto& c : calls) {
    if (c.compare(0, prefix.size(), prefix) == 0) out.push_back(c);
  }
  return out;
}

}  // namespace pixelmote::testing
