// pixelmote: the desktop program's start-up.
#include <QApplication>

#include "imaging/imglib.h"
#include "ui/frmmain.h"
#include "util/memory.h"
#include "util/program_folder.h"
#include "util/temp_files.h"

int main(int argc, char** argv) {
  pixelmote::util::limitRetainedMemory();
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Pixelmote"));
  QApplication::setApplicationVersion(QStringLiteral(PIXELMOTE_VERSION));
  // The imaging start values and the library's initialisation come first.
  pixelmote::imaging::startImaging();
  // Temporary files of earlier runs that were killed are cleared at once.
  if (const auto own = pixelmote::util::writableProgramFolder()) pixelmote::util::removeDeadLeftovers(own.value());
  pixelmote::ui::frmmain window(pixelmote::ui::defaultWindowOptions());
  window.show();
  return QApplication::exec();
}
