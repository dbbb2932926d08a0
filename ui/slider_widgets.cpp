#include "ui/slider_widgets.h"

#include <QMouseEvent>
#include <QPainter>
#include <cmath>

#include "ui/colour_contrast.h"

namespace pixelmote::ui {

namespace {

const QColor kTrackColour(0, 0, 192);
const QColor kClassicKnobFace(192, 192, 192);

// The knob's face: the desktop's window colour like the panel around it,
// unless that colour would melt into the dark blue track (dark palettes do):
// then the classic light grey.
QColor knobFace(const QPalette& palette) {
  const QColor window = palette.color(QPalette::Window);
  return contrastRatio(window, kTrackColour) >= 3.0 ? window : kClassicKnobFace;
}

}  // namespace

int buttonCode(Qt::MouseButton button) {
  switch (button) {
    case Qt::LeftButton: return 1;
    case Qt::RightButton: return 2;
    case Qt::MiddleButton: return 4;
    default: return 0;
  }
}

int buttonsCode(Qt::MouseButtons buttons) {
  int code = 0;
  if (buttons & Qt::LeftButton) code |= 1;
  if (buttons & Qt::RightButton) code |= 2;
  if (buttons & Qt::MiddleButton) code |= 4;
  return code;
}

int shiftCode(Qt::KeyboardModifiers modifiers) {
  int code = 0;
  if (modifiers & Qt::ShiftModifier) code |= 1;
  if (modifiers & Qt::ControlModifier) code |= 2;
  if (modifiers & Qt::AltModifier) code |= 4;
  return code;
}

SliderKnob::SliderKnob(QWidget* track) : QWidget(track) {
  setFocusPolicy(Qt::NoFocus);  // no keyboard control
}

void SliderKnob::setOffset(float offset) {
  m_offset = offset;
  move(static_cast<int>(std::lround(offset)), y());
}

void SliderKnob::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const QRect r = rect();
  // A raised block: lit edges top and left, shaded ones bottom and right,
  // both taken from the face so that they suit it on any palette.
  const QColor face = knobFace(palette());
  p.fillRect(r, face);
  p.setPen(face.lighter(150));
  p.drawLine(r.topLeft(), r.topRight());
  p.drawLine(r.topLeft(), r.bottomLeft());
  p.setPen(face.darker(150));
  p.drawLine(r.bottomLeft(), r.bottomRight());
  p.drawLine(r.topRight(), r.bottomRight());
}

void SliderKnob::mousePressEvent(QMouseEvent* event) {
  const QPointF at = event->position();
  emit mouseDown(buttonCode(event->button()), shiftCode(event->modifiers()), static_cast<float>(at.x()),
                 static_cast<float>(at.y()));
}

void SliderKnob::mouseMoveEvent(QMouseEvent* event) {
  const QPointF at = event->position();
  emit mouseMove(buttonsCode(event->buttons()), shiftCode(event->modifiers()), static_cast<float>(at.x()),
                 static_cast<float>(at.y()));
}

SliderTrack::SliderTrack(QWidget* parent) : QWidget(parent), m_knob(new SliderKnob(this)) {
  setFocusPolicy(Qt::NoFocus);
}

void SliderTrack::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), kTrackColour);
}

ProgressBar::ProgressBar(QWidget* parent) : QWidget(parent) {}

void ProgressBar::setPercent(double percent) {
  m_fill = static_cast<float>(width() * percent / 100.0);
  update();
}

void ProgressBar::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), Qt::black);
  const int fill = static_cast<int>(std::lround(m_fill));
  if (fill > 0) p.fillRect(QRect(0, 0, std::min(fill, width()), height()), QColor(128, 128, 255));
}

}  // namespace pixelmote::ui
