#include "ui/folder_choice.h"

#include <QListWidget>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QStyledItemDelegate>
#include <algorithm>
#include <initializer_list>

namespace pixelmote::ui {

namespace {

// Pixels per level of the folder list.
constexpr int kIndent = 10;

// Draws every entry shifted right by its level; the selection, icon and name
// move together.
class IndentDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QStyleOptionViewItem shifted(option);
    shifted.rect.setLeft(option.rect.left() + indentOf(index));
    QStyledItemDelegate::paint(painter, shifted, index);
  }

  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    return QStyledItemDelegate::sizeHint(option, index) + QSize(indentOf(index), 0);
  }

 private:
  static int indentOf(const QModelIndex& index) { return std::max(0, index.data(kFolderDepthRole).toInt()) * kIndent; }
};

// A closed outline through `points`.
QPainterPath outlineOf(std::initializer_list<QPointF> points) {
  QPainterPath path;
  for (const QPointF& point : points) {
    if (path.elementCount() == 0) {
      path.moveTo(point);
    } else {
      path.lineTo(point);
    }
  }
  path.closeSubpath();
  return path;
}

// The folder drawings on a 16 x 16 grid. Closed: a tab over a whole body.
// Open: the back of the folder, narrower and reaching lower, with its front
// leaf tipped forward past the back's right edge.
QPixmap paintFolder(bool open, int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 16.0, size / 16.0);
  const QPen outline(QColor(0x7a, 0x58, 0x10), 1);
  p.setPen(outline);
  if (!open) {
    const QPainterPath body = outlineOf({{0.5, 2.5}, {5.5, 2.5}, {6.5, 4.5}, {14.5, 4.5}, {14.5, 13.5}, {0.5, 13.5}});
    p.setBrush(QColor(0xf2, 0xc1, 0x4e));
    p.drawPath(body);
    p.setPen(QPen(QColor(0xfb, 0xe2, 0x9a), 1));
    p.drawLine(QPointF(1.5, 5.5), QPointF(13.5, 5.5));
    return pixmap;
  }
  const QPainterPath back = outlineOf({{0.5, 2.5}, {5.5, 2.5}, {6.5, 3.5}, {12.5, 3.5}, {12.5, 14.5}, {0.5, 14.5}});
  p.setBrush(QColor(0xc8, 0x92, 0x22));
  p.drawPath(back);
  const QPainterPath leaf = outlineOf({{3.5, 7.5}, {15.5, 7.5}, {12.5, 14.5}, {0.5, 14.5}});
  p.setBrush(QColor(0xfb, 0xe2, 0x9a));
  p.drawPath(leaf);
  return pixmap;
}

}  // namespace

DriveList::DriveList(QWidget* parent) : QComboBox(parent) { setEditable(false); }

void DriveList::showPopup() {
  emit aboutToChoose();
  QComboBox::showPopup();
}

void DriveList::keyPressEvent(QKeyEvent* event) {
  emit aboutToChoose();
  QComboBox::keyPressEvent(event);
}

void DriveList::wheelEvent(QWheelEvent* event) {
  emit aboutToChoose();
  QComboBox::wheelEvent(event);
}

void setFolderListLook(QListWidget* list) { list->setItemDelegate(new IndentDelegate(list)); }

QIcon folderIcon(bool open) {
  QIcon icon;
  for (const int size : {16, 32}) icon.addPixmap(paintFolder(open, size));
  return icon;
}

}  // namespace pixelmote::ui
