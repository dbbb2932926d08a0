// pixelmote: the desktop program's start-up.
#include <QApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "app/module1.h"
#include "imaging/imglib.h"
#include "ui/frmmain.h"
#include "util/memory.h"
#include "util/program_folder.h"
#include "util/temp_files.h"

namespace {

constexpr char kUsage[] =
    "Usage: pixelmote [--help | --version]\n"
    "Opens the Pixelmote window on the current folder. Create writes a thumbnail\n"
    "beside every picture and an index.html in every folder of the chosen\n"
    "folder's tree; Remove deletes them again; Report counts folders, pictures\n"
    "and bytes. The batch command pixelmote-batch runs the same work headless.\n"
    "\n"
    "Options:\n"
    "  --help     show this help and exit\n"
    "  --version  show the version and exit\n"
    "\n"
    "The window's settings are read at start and written at Exit. A terminate,\n"
    "hang-up or interrupt signal closes the window as Exit does.\n";

int g_signalPipe[2] = {-1, -1};

void onTerminate(int) {
  const char byte = 0;
  [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("pixelmote %s\n", PIXELMOTE_VERSION);
    return 0;
  }
  pixelmote::util::limitRetainedMemory();
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Pixelmote"));
  QApplication::setApplicationVersion(QStringLiteral(PIXELMOTE_VERSION));
  // The imaging start values and the library's initialisation come first.
  pixelmote::imaging::startImaging();
  // Temporary files of earlier runs that were killed are cleared at once.
  if (const auto own = pixelmote::util::writableProgramFolder()) pixelmote::util::removeDeadLeftovers(own.value());
  pixelmote::ui::WindowOptions options = pixelmote::ui::defaultWindowOptions();
  pixelmote::app::addStartUpParts(options);
  pixelmote::ui::frmmain window(std::move(options));

  // Signals reach the window through a pipe, so that closing (and saving the
  // settings) happens on the event loop, never inside the handler.
  if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &application);
    QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] {
      char bytes[16];
      while (::read(g_signalPipe[0], bytes, sizeof bytes) > 0) {
      }
      window.close();
    });
    struct sigaction action {};
    action.sa_handler = onTerminate;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGTERM, SIGHUP, SIGINT}) ::sigaction(signal, &action, nullptr);
  }
  window.show();
  return QApplication::exec();
}
