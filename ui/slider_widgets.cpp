#include "ui/slider_widgets.h"

#include <QMouseEvent>
#include <QPainter>
#include <cmath>

namespace pixelmote::ui {

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
  p.fillRect(r, palette().color(QPalette::Window));
  p.setPen(palette().color(QPalette::Light));
  p.drawLine(r.topLeft(), r.topRight());
  p.drawLine(r.topLeft(), r.bottomLeft());
  p.setPen(palette().color(QPalette::Dark));
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
  p.fillRect(rect(), QColor(0, 0, 192));
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
