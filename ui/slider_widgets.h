// The painted parts of a slider: the track (picSlide) and its knob (picKnob).
#pragma once

#include <QWidget>

namespace pixelmote::ui {

// Mouse buttons and shift keys as the slider handlers take them: 1 left,
// 2 right, 4 middle; 1 shift, 2 control, 4 alt.
int buttonCode(Qt::MouseButton button);
int buttonsCode(Qt::MouseButtons buttons);
int shiftCode(Qt::KeyboardModifiers modifiers);

// The knob: a raised block inside its track, in the desktop's window colour
// unless that colour does not stand out from the track (at least 3:1), when
// it is light grey. It reports presses and moves with positions relative to
// its own left edge; the window moves it.
class SliderKnob : public QWidget {
  Q_OBJECT
 public:
  explicit SliderKnob(QWidget* track);

  // The knob's left edge within the track, in pixels (may be fractional).
  float offset() const { return m_offset; }
  void setOffset(float offset);

 signals:
  void mouseDown(int button, int shift, float x, float y);
  // `button` holds every button still pressed (a bit mask of the codes).
  void mouseMove(int button, int shift, float x, float y);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;

 private:
  float m_offset = 0;
};

// The track: a dark blue strip. Clicks on it beside the knob do nothing.
class SliderTrack : public QWidget {
  Q_OBJECT
 public:
  explicit SliderTrack(QWidget* parent);
  SliderKnob* knob() const { return m_knob; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  SliderKnob* m_knob;
};

// A progress bar (picBar) with its fill (picPer): black, filled light blue
// from the left by the width the run sets.
class ProgressBar : public QWidget {
  Q_OBJECT
 public:
  explicit ProgressBar(QWidget* parent);
  // Fill width = bar width × percent ÷ 100, not clamped (a wider fill is cut
  // off by the bar's edge, a negative one shows nothing).
  void setPercent(double percent);
  float fillWidth() const { return m_fill; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  float m_fill = 0;
};

}  // namespace pixelmote::ui
