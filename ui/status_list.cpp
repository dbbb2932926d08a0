#include "ui/status_list.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <algorithm>

namespace pixelmote::ui {

StatusList::StatusList(QWidget* parent) : QAbstractScrollArea(parent) {
  setFocusPolicy(Qt::StrongFocus);
  viewport()->setBackgroundRole(QPalette::Base);
  viewport()->setAutoFillBackground(true);
  verticalScrollBar()->setSingleStep(1);
  measureRows();
  updateScrollBars();
}

QString StatusList::line(int row) const {
  return row >= 0 && row < count() ? m_lines[static_cast<std::size_t>(row)] : QString();
}

void StatusList::setCurrentRow(int row) {
  if (m_lines.empty()) return;
  row = std::clamp(row, 0, count() - 1);
  if (row != m_current) viewport()->update();
  m_current = row;
  scrollToRow(row);
}

void StatusList::appendLine(const QString& text) {
  m_lines.push_back(text);
  m_widest = std::max(m_widest, lineWidth(text));
  // The ranges first: a scroll bar that appears makes the view smaller.
  updateScrollBars();
  const int row = count() - 1;
  m_current = row;
  scrollToRow(row);
  viewport()->update();
  emit lineAppended(row);
}

void StatusList::clear() {
  std::vector<QString>().swap(m_lines);
  m_current = -1;
  m_widest = 0;
  updateScrollBars();
  verticalScrollBar()->setValue(0);
  horizontalScrollBar()->setValue(0);
  viewport()->update();
}

QRect StatusList::rowRect(int row) const {
  const int top = (row - verticalScrollBar()->value()) * m_rowHeight;
  return QRect(-horizontalScrollBar()->value(), top, std::max(viewport()->width(), m_widest), m_rowHeight);
}

void StatusList::initRowOption(QStyleOptionViewItem& option) const {
  option.initFrom(this);
  option.state &= ~QStyle::State_MouseOver;
  option.font = font();
  option.fontMetrics = fontMetrics();
  option.widget = this;
  option.features = QStyleOptionViewItem::HasDisplay;
  option.displayAlignment = Qt::AlignLeft | Qt::AlignVCenter;
  option.textElideMode = Qt::ElideNone;
  option.viewItemPosition = QStyleOptionViewItem::OnlyOne;
  option.showDecorationSelected = style()->styleHint(QStyle::SH_ItemView_ShowDecorationSelected, nullptr, this) != 0;
}

void StatusList::measureRows() {
  QStyleOptionViewItem option;
  initRowOption(option);
  option.text = QStringLiteral("Xg");
  m_rowHeight = std::max(1, style()->sizeFromContents(QStyle::CT_ItemViewItem, &option, QSize(), this).height());
  m_widest = 0;
  for (const QString& text : m_lines) m_widest = std::max(m_widest, lineWidth(text));
}

int StatusList::lineWidth(const QString& text) const {
  // The item's text margins on both sides, as the style lays them out.
  const int margin = style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 1;
  return fontMetrics().horizontalAdvance(text) + 2 * margin;
}

int StatusList::rowsInView() const { return std::max(1, viewport()->height() / m_rowHeight); }

void StatusList::updateScrollBars() {
  const int rows = rowsInView();
  QScrollBar* vertical = verticalScrollBar();
  vertical->setPageStep(rows);
  vertical->setRange(0, std::max(0, count() - rows));
  QScrollBar* horizontal = horizontalScrollBar();
  horizontal->setPageStep(std::max(1, viewport()->width()));
  horizontal->setSingleStep(std::max(1, fontMetrics().averageCharWidth() * 2));
  horizontal->setRange(0, std::max(0, m_widest - viewport()->width()));
}

void StatusList::scrollToRow(int row) {
  QScrollBar* vertical = verticalScrollBar();
  const int first = vertical->value();
  const int rows = rowsInView();
  if (row < first) {
    vertical->setValue(row);
  } else if (row >= first + rows) {
    vertical->setValue(row - rows + 1);
  }
}

void StatusList::paintEvent(QPaintEvent* event) {
  if (m_lines.empty()) return;
  QPainter painter(viewport());
  QStyleOptionViewItem option;
  initRowOption(option);
  const bool focus = hasFocus();
  const QRect area = event->rect();
  const int first = verticalScrollBar()->value();
  const int from = std::max(0, first + std::max(0, area.top()) / m_rowHeight);
  const int to = std::min(count() - 1, first + std::max(0, area.bottom()) / m_rowHeight);
  for (int row = from; row <= to; ++row) {
    QStyleOptionViewItem rowOption = option;
    rowOption.rect = rowRect(row);
    rowOption.text = m_lines[static_cast<std::size_t>(row)];
    if (row == m_current) {
      rowOption.state |= QStyle::State_Selected;
      if (focus) rowOption.state |= QStyle::State_HasFocus;
    }
    style()->drawControl(QStyle::CE_ItemViewItem, &rowOption, &painter, this);
  }
}

void StatusList::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  const bool followingNewest = m_current >= 0 && m_current == count() - 1;
  updateScrollBars();
  if (followingNewest) scrollToRow(m_current);
}

void StatusList::keyPressEvent(QKeyEvent* event) {
  int row = m_current;
  switch (event->key()) {
    case Qt::Key_Up: --row; break;
    case Qt::Key_Down: ++row; break;
    case Qt::Key_PageUp: row -= rowsInView(); break;
    case Qt::Key_PageDown: row += rowsInView(); break;
    case Qt::Key_Home: row = 0; break;
    case Qt::Key_End: row = count() - 1; break;
    case Qt::Key_Left: horizontalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub); return;
    case Qt::Key_Right: horizontalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd); return;
    default: QAbstractScrollArea::keyPressEvent(event); return;
  }
  setCurrentRow(row);
  event->accept();
}

void StatusList::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    QAbstractScrollArea::mousePressEvent(event);
    return;
  }
  const int y = static_cast<int>(event->position().y());
  const int row = verticalScrollBar()->value() + (y >= 0 ? y / m_rowHeight : -1);
  if (row >= 0 && row < count()) setCurrentRow(row);
  event->accept();
}

void StatusList::focusInEvent(QFocusEvent* event) {
  QAbstractScrollArea::focusInEvent(event);
  viewport()->update();
}

void StatusList::focusOutEvent(QFocusEvent* event) {
  QAbstractScrollArea::focusOutEvent(event);
  viewport()->update();
}

void StatusList::changeEvent(QEvent* event) {
  QAbstractScrollArea::changeEvent(event);
  switch (event->type()) {
    case QEvent::FontChange:
    case QEvent::StyleChange:
      measureRows();
      updateScrollBars();
      if (m_current >= 0) scrollToRow(m_current);
      viewport()->update();
      break;
    case QEvent::PaletteChange:
    case QEvent::EnabledChange:
    case QEvent::ActivationChange:
      viewport()->update();
      break;
    default:
      break;
  }
}

void StatusList::scrollContentsBy(int, int) { viewport()->update(); }

}  // namespace pixelmote::ui
