#include "testsupport/recording_frontend.h"

#include <cstdio>

namespace pixelmote::testing {

bool RecordingFrontend::processEvents() {
  calls.push_back("events");
  const bool stopNow = ++m_eventPasses == stopAtEventPass || (stopWhen && !m_stopped && stopWhen(*this));
  if (stopNow) {
    m_stopped = true;
    calls.push_back("stop");
  }
  if (onEvents) onEvents();
  return stopNow;
}

void RecordingFrontend::setBar(int index, double percent, const std::string& label) {
  char text[64];
  std::snprintf(text, sizeof text, "%.10g", percent);
  calls.push_back("bar " + std::to_string(index) + " " + text + " " + label);
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

void RecordingFrontend::setControlsEnabled(bool enabled) {
  controlsEnabled = enabled;
  calls.push_back(enabled ? "controls on" : "controls off");
}

std::vector<std::string> RecordingFrontend::callsStartingWith(const std::string& prefix) const {
  std::vector<std::string> out;
  for (const auto& c : calls) {
    if (c.starts_with(prefix)) out.push_back(c);
  }
  return out;
}

}  // namespace pixelmote::testing
