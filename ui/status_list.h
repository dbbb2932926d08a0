// The status list (lstStatus): text lines appended at the bottom, the newest selected and in view.
#pragma once

#include <QAbstractScrollArea>
#include <QString>
#include <vector>

class QStyleOptionViewItem;

namespace pixelmote::ui {

// A list box of text lines that only grows at its end or is emptied. Every
// row has the height of one line of the list's font, so appending a line,
// selecting it and scrolling it into view cost the same with 10 lines or
// 100,000: only the new line is measured, earlier lines are never laid out
// again, and a paint draws only the rows in view. The lines are kept as given
// (one row each, however long). The vertical scroll bar counts rows.
class StatusList : public QAbstractScrollArea {
  Q_OBJECT
 public:
  explicit StatusList(QWidget* parent = nullptr);

  int count() const { return static_cast<int>(m_lines.size()); }
  // Line `row`, 0 being the oldest; the empty text for a row not in the list.
  QString line(int row) const;
  // The selected line, -1 when the list is empty.
  int currentRow() const { return m_current; }
  // Selects line `row` (kept within the list) and scrolls it into view.
  void setCurrentRow(int row);
  // Appends `text` as the last line, selects it and scrolls it into view.
  void appendLine(const QString& text);
  void clear();

  int rowHeight() const { return m_rowHeight; }
  // Where line `row` is drawn, in the viewport's coordinates: the line can
  // be seen when this lies within viewport()->rect().
  QRect rowRect(int row) const;

 signals:
  void lineAppended(int row);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void changeEvent(QEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;

 private:
  void initRowOption(QStyleOptionViewItem& option) const;
  // Row height and widest line from the font and style; every line is
  // measured again, so this runs only when those change.
  void measureRows();
  int lineWidth(const QString& text) const;
  int rowsInView() const;
  void updateScrollBars();
  void scrollToRow(int row);

  std::vector<QString> m_lines;
  int m_current = -1;
  int m_rowHeight = 1;
  int m_widest = 0;
};

}  // namespace pixelmote::ui
