// pixelmote: the desktop program's start-up.
#include <QApplication>
#include <malloc.h>

#include "imaging/imglib.h"
#include "ui/frmmain.h"

int main(int argc, char** argv) {
  // Large blocks (a photo's decoding buffers) go back to the system when
  // freed, so pictures decoded on several threads do not each keep their
  // own copy of the largest one's memory.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Pixelmote"));
  QApplication::setApplicationVersion(QStringLiteral(PIXELMOTE_VERSION));
  // The imaging start values and the library's initialisation come first.
  pixelmote::imaging::startImaging();
  pixelmote::ui::frmmain window(pixelmote::ui::defaultWindowOptions());
  window.show();
  return QApplication::exec();
}
