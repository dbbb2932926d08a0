// The status list, the progress bars and the title at library scale and
// after a run: a status line costs the same however many came before it,
// painting during a run keeps to the screen's rate, and what a run leaves
// behind is what the screen shows.
#include "ui/status_list.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTest>
#include <QThread>
#include <QWindow>
#include <cmath>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "imaging/imglib.h"
#include "testsupport/temp_tree.h"
#include "ui/frame_pacer.h"
#include "ui/frmmain.h"
#include "ui/slider_widgets.h"

namespace pixelmote::ui {
namespace {

using pixelmote::testing::TempTree;

// CPU time of this thread: what other processes on the machine do does not count.
double threadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The pixels of `widget` as last painted into the window (what the screen shows).
QImage painted(frmmain& w, const QWidget* widget) {
  const QPoint at = widget->mapTo(&w, QPoint(0, 0));
  const QPixmap shot = w.screen()->grabWindow(w.winId(), at.x(), at.y(), widget->width(), widget->height());
  return shot.toImage().convertToFormat(QImage::Format_RGB32);
}

// The pixels of `widget` drawn from its state now.
QImage drawnNow(QWidget* widget) { return widget->grab().toImage().convertToFormat(QImage::Format_RGB32); }

bool screenShowsState(frmmain& w, QWidget* widget) { return painted(w, widget) == drawnNow(widget); }

// Counts the paint events a widget receives.
class PaintCounter : public QObject {
 public:
  explicit PaintCounter(QWidget* widget) { widget->installEventFilter(this); }
  int paints = 0;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return false;
  }
};

class StatusAndProgressTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { imaging::startImaging(); }

  std::unique_ptr<frmmain> openWindow() {
    WindowOptions o;
    o.settingsPath = tree.path("pixelmote.ini");
    o.startFolder = start;
    o.probeFolder = tree.folder("probe");
    o.volumes = [this] { return std::vector<std::string>{"/", tree.root()}; };
    o.showMessage = [this](const QString& message) { messages.push_back(message.toStdString()); };
    o.openUrl = [](const QUrl&) { return true; };
    auto window = std::make_unique<frmmain>(std::move(o));
    window->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    return window;
  }

  // `count` empty folders below the start folder, named `name` and a number.
  void makeFolders(int count, const std::string& name = "f") {
    for (int i = 0; i < count; ++i) tree.folder("start/" + name + std::to_string(1000 + i));
  }

  static std::vector<std::string> lines(const frmmain& w) {
    std::vector<std::string> out;
    for (int i = 0; i < w.lstStatus->count(); ++i) out.push_back(pathBytes(w.lstStatus->line(i)));
    return out;
  }

  // The newest line is selected and lies wholly within the list's view.
  static void expectNewestSelectedAndInView(const frmmain& w) {
    const StatusList& list = *w.lstStatus;
    ASSERT_GT(list.count(), 0);
    EXPECT_EQ(list.currentRow(), list.count() - 1);
    const QRect row = list.rowRect(list.count() - 1);
    EXPECT_TRUE(list.viewport()->rect().contains(QRect(0, row.top(), 1, row.height())))
        << "row at " << row.top() << ".." << row.bottom() << ", view height " << list.viewport()->height();
  }

  TempTree tree;
  std::string start = tree.folder("start");
  std::vector<std::string> messages;
};

// ----- scale ------------------------------------------------------------------

TEST_F(StatusAndProgressTest, AStatusLineCostsTheSameAfterTwentyThousandLines) {
  auto w = openWindow();
  w->clearStatus();
  constexpr int kLines = 20000;
  constexpr int kBlock = 1000;
  std::vector<double> blockSeconds;
  double blockStart = threadSeconds();
  for (int i = 0; i < kLines; ++i) {
    w->appendStatus(start + "/album" + std::to_string(i % 50) + "/Event " + std::to_string(i % 9) + "/day." +
                    std::to_string(i) + ": 0 folders, 20 files (53.05M [0])");
    // A run paints once a frame, some lines apart.
    if (i % 16 == 15) w->processEvents();
    if ((i + 1) % kBlock == 0) {
      const double now = threadSeconds();
      blockSeconds.push_back(now - blockStart);
      blockStart = now;
    }
  }
  ASSERT_EQ(w->lstStatus->count(), kLines);
  EXPECT_EQ(pathBytes(w->lstStatus->line(0)), start + "/album0/Event 0/day.0: 0 folders, 20 files (53.05M [0])");
  EXPECT_EQ(pathBytes(w->lstStatus->line(kLines - 1)),
            start + "/album49/Event 1/day.19999: 0 folders, 20 files (53.05M [0])");
  expectNewestSelectedAndInView(*w);
  // A generous factor: the cost must not grow with the lines already there
  // (a relayout of every line per append makes the last block hundreds of
  // times dearer). The figures belong to bench/window_bench.py.
  EXPECT_LT(blockSeconds.back(), 5 * blockSeconds.front())
      << "first " << kBlock << " lines: " << blockSeconds.front() << " s, last " << kBlock
      << ": " << blockSeconds.back() << " s";
}

// ----- lines as given -------------------------------------------------------------

TEST_F(StatusAndProgressTest, EveryLineIsKeptAsGivenAndSelectedWhenAppended) {
  auto w = openWindow();
  w->clearStatus();
  EXPECT_EQ(w->lstStatus->count(), 0);
  EXPECT_EQ(w->lstStatus->currentRow(), -1);
  const std::vector<std::string> given = {
      "",  // an empty line is a line
      "plain",
      std::string(300, 'x') + "/end",  // far wider than the list
      "/pics/caf\xc3\xa9: 1 folders, 2 files (3k [0])",
      "  two  blanks  ",
      "",
  };
  for (std::size_t i = 0; i < given.size(); ++i) {
    w->appendStatus(given[i]);
    EXPECT_EQ(w->lstStatus->count(), static_cast<int>(i + 1));
    EXPECT_EQ(w->lstStatus->currentRow(), static_cast<int>(i)) << "line " << i << " is selected";
  }
  EXPECT_EQ(lines(*w), given);
  expectNewestSelectedAndInView(*w);
  EXPECT_GT(w->lstStatus->horizontalScrollBar()->maximum(), 0) << "the wide line can be scrolled to";

  w->clearStatus();
  EXPECT_TRUE(lines(*w).empty());
  EXPECT_EQ(w->lstStatus->currentRow(), -1);
  EXPECT_EQ(w->lstStatus->verticalScrollBar()->maximum(), 0);
  EXPECT_EQ(w->lstStatus->horizontalScrollBar()->maximum(), 0);
}

TEST_F(StatusAndProgressTest, KeysAndClicksStillSelectLinesAndScrollThemIntoView) {
  auto w = openWindow();
  w->clearStatus();
  for (int i = 0; i < 100; ++i) w->appendStatus("line " + std::to_string(i));
  StatusList* list = w->lstStatus;
  list->setFocus();
  const int page = list->viewport()->height() / list->rowHeight();
  ASSERT_GT(page, 1);

  struct Step {
    Qt::Key key;
    int row;
  };
  const Step steps[] = {{Qt::Key_Up, 98},          {Qt::Key_Home, 0},  {Qt::Key_Up, 0},  {Qt::Key_Down, 1},
                        {Qt::Key_PageDown, 1 + page}, {Qt::Key_End, 99}, {Qt::Key_Down, 99},
                        {Qt::Key_PageUp, 99 - page}};
  for (const Step& step : steps) {
    QTest::keyClick(list, step.key);
    EXPECT_EQ(list->currentRow(), step.row) << "after key " << step.key;
    const QRect row = list->rowRect(step.row);
    EXPECT_GE(row.top(), 0) << "row " << step.row << " in view";
    EXPECT_LE(row.bottom(), list->viewport()->height() - 1) << "row " << step.row << " in view";
  }

  // A click selects the line under the pointer.
  list->verticalScrollBar()->setValue(10);
  const QRect third = list->rowRect(12);
  QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, third.center());
  EXPECT_EQ(list->currentRow(), 12);
  EXPECT_EQ(pathBytes(list->line(list->currentRow())), "line 12");

  // A new line is selected again and brought into view from wherever the
  // list was scrolled.
  w->appendStatus("newest");
  EXPECT_EQ(pathBytes(list->line(list->currentRow())), "newest");
  expectNewestSelectedAndInView(*w);
}

// ----- painting during and after a run -------------------------------------------------

TEST_F(StatusAndProgressTest, ARunPaintsTheBarsAtMostOncePerFrameOfTheScreen) {
  makeFolders(300);
  auto w = openWindow();
  PaintCounter totalBar(w->picBar[0]);
  PaintCounter statusList(w->lstStatus->viewport());
  int bar0Changes = 0;
  float lastFill = 0;
  QObject::connect(w->lstStatus, &StatusList::lineAppended, w->lstStatus, [&](int) {
    if (w->picBar[0]->fillWidth() != lastFill) ++bar0Changes;
    lastFill = w->picBar[0]->fillWidth();
  });
  QElapsedTimer clock;
  clock.start();
  QTest::mouseClick(w->cmdScan, Qt::LeftButton);
  const double elapsed = static_cast<double>(clock.nsecsElapsed()) / 1e6;
  ASSERT_EQ(w->lstStatus->count(), 303) << "one line a folder, the separator and the totals";
  ASSERT_GE(bar0Changes, 300) << "the bar moved at every folder";
  // One frame at the start, one per frame's time since, and the held last
  // one that comes after the run.
  const double frames = std::floor(elapsed / w->framePacer()->frameInterval()) + 2;
  EXPECT_LE(totalBar.paints, frames) << "run of " << elapsed << " ms";
  EXPECT_LE(statusList.paints, frames) << "run of " << elapsed << " ms";
}

TEST_F(StatusAndProgressTest, AfterARunTheScreenShowsItsLastStateAndTheNewestLine) {
  // More lines than the list shows, and folder lines wider than the totals
  // line: the scroll bars are up before the run ends, so the last lines
  // come into view only by the list's own scrolling.
  makeFolders(10, std::string(80, 'n'));
  auto w = openWindow();
  const std::string idle = "Pixelmote - " + start;
  // Painting catches up with the run once: after the first folder, a pause
  // of two frames lets the next event pass paint the bars in mid-run. The
  // rest of the run, its end included, then falls within a single frame.
  QObject::connect(w->lstStatus, &StatusList::lineAppended, w->lstStatus, [&](int row) {
    if (row == 0) QThread::usleep(static_cast<unsigned long>(2000 * w->framePacer()->frameInterval()));
  });
  PaintCounter totalBar(w->picBar[0]);
  QTest::mouseClick(w->cmdScan, Qt::LeftButton);
  ASSERT_EQ(w->lstStatus->count(), 13);
  ASSERT_GE(totalBar.paints, 1) << "the bar was painted during the run";

  // The state: bars and labels at zero, the idle title on the window and on
  // its screen window, the newest line selected and in view.
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(w->picBar[i]->fillWidth(), 0.0f);
    EXPECT_EQ(w->lblSlide[i + 3]->text().toStdString(), "0");
  }
  EXPECT_EQ(w->windowTitle().toStdString(), idle);
  ASSERT_NE(w->windowHandle(), nullptr);
  EXPECT_EQ(w->windowHandle()->title().toStdString(), idle);
  expectNewestSelectedAndInView(*w);

  // And the screen shows that state: the progress panel and the status list
  // as they would be drawn now, within a frame or so of the run's end.
  const bool caughtUp = QTest::qWaitFor(
      [&] { return screenShowsState(*w, w->Picture4) && screenShowsState(*w, w->lstStatus); }, 2000);
  EXPECT_TRUE(caughtUp);
  EXPECT_TRUE(messages.empty());
}

}  // namespace
}  // namespace pixelmote::ui
