#include "ui/frame_pacer.h"

#include <QCoreApplication>
#include <QEvent>
#include <QScreen>
#include <QWidget>
#include <algorithm>
#include <cmath>

namespace pixelmote::ui {

FramePacer::FramePacer(QWidget* window, std::function<bool()> active)
    : QObject(window), m_window(window), m_active(std::move(active)) {
  m_frameEnd.setSingleShot(true);
  m_frameEnd.setTimerType(Qt::PreciseTimer);
  connect(&m_frameEnd, &QTimer::timeout, this, &FramePacer::paintFrame);
  window->installEventFilter(this);
}

double FramePacer::frameInterval() const {
  const QScreen* screen = m_window->screen();
  const double rate = screen != nullptr ? screen->refreshRate() : 0.0;
  return 1000.0 / (rate >= 1.0 && rate <= 1000.0 ? rate : 60.0);
}

bool FramePacer::frameDue() const {
  return !m_sinceFrame.isValid() || static_cast<double>(m_sinceFrame.nsecsElapsed()) / 1e6 >= frameInterval();
}

void FramePacer::paintFrame() {
  m_frameEnd.stop();
  // The widget system sends its paint requests to the window as this event;
  // it paints everything marked for painting since the last one.
  QEvent request(QEvent::UpdateRequest);
  m_sinceFrame.restart();
  m_painting = true;
  QCoreApplication::sendEvent(m_window, &request);
  m_painting = false;
}

bool FramePacer::eventFilter(QObject* watched, QEvent* event) {
  if (watched != m_window || event->type() != QEvent::UpdateRequest || m_painting) return false;
  if (!frameDue() && m_active()) {
    // The widgets keep their marks; no further request comes until they are
    // painted, which the frame's end does.
    if (!m_frameEnd.isActive()) {
      const double left = frameInterval() - static_cast<double>(m_sinceFrame.nsecsElapsed()) / 1e6;
      m_frameEnd.start(std::max(1, static_cast<int>(std::ceil(left))));
    }
    return true;
  }
  m_frameEnd.stop();
  m_sinceFrame.restart();
  return false;
}

}  // namespace pixelmote::ui
