// Paints a window at most once per frame of its screen while a run changes it.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <functional>

class QWidget;

namespace pixelmote::ui {

// While `active()` holds, the window's requests to paint come through at
// most once per frame of its screen (1/refresh rate): a request sooner after
// the last painted frame is held back, and at the frame's end everything
// that changed in the meantime is painted in one pass. A run that moves the
// bars, labels and lists thousands of times a second is painted at the
// screen's rate, and its last state is painted at most one frame after it
// was set, whether or not another event pass follows. Only painting waits:
// input and every other event are handled at each event pass as before.
class FramePacer : public QObject {
  Q_OBJECT
 public:
  FramePacer(QWidget* window, std::function<bool()> active);

  // The time between frames in milliseconds: 1000 / the refresh rate of the
  // window's screen, 60 Hz when the screen tells none.
  double frameInterval() const;
  // True when a frame's time has passed since the last one was painted (or
  // none has been): what changes now is painted at the next event pass.
  bool frameDue() const;
  // Paints what changed since the last frame now (a request held back is
  // not waited for).
  void paintFrame();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QWidget* m_window;
  std::function<bool()> m_active;
  QElapsedTimer m_sinceFrame;
  QTimer m_frameEnd;
  bool m_painting = false;
};

}  // namespace pixelmote::ui
