#include "app/module1.h"

#include <QApplication>
#include <QImageReader>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QWidget>
#include <iterator>

#include "app/frmsplash.h"

// Q_INIT_RESOURCE declares a global function, so it is called outside any
// namespace. It makes sure the compiled-in resources are registered even when
// this code sits in a static library whose resource object the linker would
// otherwise leave out; registering twice is harmless.
static void initProgramResources() { Q_INIT_RESOURCE(resources); }

namespace pixelmote::app {

namespace {

constexpr char kIconResource[] = ":/icons/pixelmote.svg";

// The icon drawn on a 64 x 64 grid, shape for shape as in the SVG file:
// a picture behind, and in front a framed picture of a sun over hills.
QPixmap paintIcon(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 64.0, size / 64.0);

  const QColor navy(0x1f, 0x3a, 0x63);
  p.setPen(QPen(navy, 2));
  p.setBrush(QColor(0x8f, 0xa9, 0xcf));
  p.drawRoundedRect(QRectF(14, 6, 46, 38), 4, 4);

  p.setPen(Qt::NoPen);
  p.setBrush(navy);
  p.drawRoundedRect(QRectF(4, 18, 46, 38), 4, 4);
  p.setBrush(QColor(0xbf, 0xe3, 0xff));
  p.drawRect(QRectF(9, 23, 36, 28));
  p.setBrush(QColor(0xff, 0xcc, 0x33));
  p.drawEllipse(QPointF(36, 31), 4, 4);
  p.setBrush(QColor(0x3c, 0x8d, 0x4a));
  const QPointF hills[] = {{9, 51}, {20, 35}, {28, 45}, {33, 39}, {45, 51}};
  p.drawPolygon(hills, static_cast<int>(std::size(hills)));
  return pixmap;
}

}  // namespace

QIcon programIcon() {
  initProgramResources();
  if (QImageReader::supportedImageFormats().contains("svg")) {
    QIcon icon(QString::fromLatin1(kIconResource));
    if (!icon.pixmap(32, 32).isNull()) return icon;
  }
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64, 128, 256}) icon.addPixmap(paintIcon(size));
  return icon;
}

void SetTopMost(QWidget* window, bool bOnTop) {
  if (window == nullptr) return;
  if (window->windowFlags().testFlag(Qt::WindowStaysOnTopHint) == bOnTop) return;

  const bool wasVisible = window->isVisible();
  const bool wasActive = window->isActiveWindow();
  QWidget* const active = QApplication::activeWindow();
  const QRect geometry = window->geometry();
  const bool quietShow = window->testAttribute(Qt::WA_ShowWithoutActivating);

  window->setWindowFlag(Qt::WindowStaysOnTopHint, bOnTop);  // hides a visible window
  if (window->geometry() != geometry) window->setGeometry(geometry);
  if (wasVisible) {
    window->setAttribute(Qt::WA_ShowWithoutActivating, true);
    window->show();
    window->setAttribute(Qt::WA_ShowWithoutActivating, quietShow);
    // Some platforms activate every window they show: hand the activation
    // back to whichever window had it before.
    if (wasActive) {
      window->activateWindow();
    } else if (active != nullptr && active != window) {
      active->activateWindow();
    }
  }
}

void showAbout(frmSplash& splash) {
  SetTopMost(&splash, true);
  splash.exec();
}

void addStartUpParts(ui::WindowOptions& options) {
  options.icon = programIcon();
  options.showAbout = [openUrl = options.openUrl](QWidget* mainWindow) {
    auto* splash = mainWindow->findChild<frmSplash*>(QString(), Qt::FindDirectChildrenOnly);
    if (splash == nullptr) splash = new frmSplash(openUrl, mainWindow);
    showAbout(*splash);
  };
}

}  // namespace pixelmote::app
