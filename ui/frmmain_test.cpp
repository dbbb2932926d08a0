// Drives the real main window headless: a whole session through the window
// with Stop, the prefix rule, the settings file kept across starts, and the
// controls that must stay in step.
#include "ui/frmmain.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QImage>
#include <QMouseEvent>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <unistd.h>
#include <vector>

#include "imaging/codec.h"
#include "testsupport/golden.h"
#include "testsupport/temp_tree.h"
#include "ui/slider_widgets.h"
#include "ui/status_list.h"
#include "util/temp_files.h"

namespace pixelmote::ui {
namespace {

using pixelmote::testing::TempTree;

std::string text(const QLabel* label) { return label->text().toStdString(); }

class FrmmainTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { imaging::startImaging(); }

  std::unique_ptr<frmmain> openWindow() {
    WindowOptions o;
    o.settingsPath = tree.path("pixelmote.ini");
    o.startSettingsPath = tree.path("xdg/pixelmote/pixelmote.ini");
    o.startFolder = start;
    o.probeFolder = probe;
    o.volumes = [this] { return std::vector<std::string>{"/", tree.root()}; };
    o.showMessage = [this](const QString& message) { messages.push_back(message.toStdString()); };
    o.openUrl = [this](const QUrl& url) {
      opened.push_back(url);
      if (onOpen) onOpen();
      return true;
    };
    o.showAbout = [](QWidget*) {};
    auto window = std::make_unique<frmmain>(std::move(o));
    window->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    return window;
  }

  static std::vector<std::string> status(const frmmain& w) {
    std::vector<std::string> lines;
    for (int i = 0; i < w.lstStatus->count(); ++i) lines.push_back(pathBytes(w.lstStatus->line(i)));
    return lines;
  }

  // `line` with "@" for the tree's root.
  std::string relative(std::string line) const {
    for (std::size_t at; (at = line.find(tree.root())) != std::string::npos;) line.replace(at, tree.root().size(), "@");
    return line;
  }

  // The status list as text.
  std::string transcript(const frmmain& w) const {
    std::string all;
    for (const std::string& line : status(w)) all += relative(line) + "\n";
    return all + "\n";
  }

  // The title, the three bars, the folder list's folder, whether the controls
  // a run locks are on, whether Stop is.
  std::string windowState(frmmain& w) const {
    std::string state = "  [" + w.windowTitle().toStdString() + " |";
    for (int i = 0; i < 3; ++i) state += " " + text(w.lblSlide[i + 3]) + "% " + std::to_string(w.picBar[i]->fillWidth());
    state += " | " + w.engine().Dir1().path() + " | controls";
    const QWidget* locked[] = {w.picPanel, w.Dir1, w.Drive1, w.mnuType};
    for (const QWidget* control : locked) state += control->isEnabled() ? " on" : " off";
    return relative(state + (w.cmdCancel->isEnabled() ? " | Stop]\n" : "]\n"));
  }

  // Calls `hook` with each line appended to the status list from now on.
  static void onStatusLine(frmmain& w, std::function<void(const std::string&)> hook) {
    QObject::connect(w.lstStatus, &StatusList::lineAppended, w.lstStatus,
                     [&w, hook](int row) { hook(pathBytes(w.lstStatus->line(row))); });
  }

  // Presses `pressed` at x = grabX of knob `index`, moves the pointer by each
  // of `travel` from there with `held` down, and releases.
  static void drag(frmmain& w, int index, int grabX, const std::vector<int>& travel,
                   Qt::MouseButtons held = Qt::LeftButton, Qt::MouseButton pressed = Qt::LeftButton) {
    SliderKnob* knob = w.picSlide[index]->knob();
    const QPoint grab(grabX, 4);
    const QPoint pressedAt = knob->mapToGlobal(grab);
    QTest::mousePress(knob, pressed, Qt::NoModifier, grab);
    QPoint pointer = pressedAt;
    for (int dx : travel) {
      pointer = pressedAt + QPoint(dx, 0);
      QMouseEvent move(QEvent::MouseMove, QPointF(knob->mapFromGlobal(pointer)), QPointF(pointer), Qt::NoButton,
                       held, Qt::NoModifier);
      QApplication::sendEvent(knob, &move);
    }
    QTest::mouseRelease(knob, pressed, Qt::NoModifier, knob->mapFromGlobal(pointer));
  }

  static void typePrefix(frmmain& w, const QString& prefix) {
    w.txtPre->setFocus();
    QTest::keyClick(w.txtPre, Qt::Key_End);
    while (!w.txtPre->text().isEmpty()) QTest::keyClick(w.txtPre, Qt::Key_Backspace);
    QTest::keyClicks(w.txtPre, prefix);
  }

  // Opens `folder` from the folder list with Enter.
  static void openFolder(frmmain& w, const std::string& folder) {
    for (int i = 0; i < w.Dir1->count(); ++i) {
      if (w.Dir1->item(i)->data(Qt::UserRole).toByteArray().toStdString() == folder) {
        w.Dir1->setCurrentItem(w.Dir1->item(i));
        QTest::keyClick(w.Dir1, Qt::Key_Return);
        return;
      }
    }
    ADD_FAILURE() << folder << " is not in the folder list";
  }

  TempTree tree;
  std::string start = tree.folder("start");
  std::string probe = tree.folder("probe");
  std::vector<std::string> messages;
  std::vector<QUrl> opened;
  std::function<void()> onOpen;
};

// Report, Create, Remove, then a Create stopped after its first folder's line:
// that run's next folder still completes, the totals follow, and the next run
// is whole again.
TEST_F(FrmmainTest, ReportCreateRemoveAndStopThroughTheWindow) {
  const auto jpeg = [](int width, int height, imaging::Rgb colour) {
    return imaging::encodeJpeg(imaging::Raster(imaging::Size{width, height}, colour), 80, 0).value();
  };
  tree.fileWith("start/a.jpg", jpeg(16, 12, {200, 30, 30}));
  tree.fileWith("start/b.jpg", jpeg(12, 16, {30, 200, 30}));
  tree.fileWith("start/sub1/c.jpg", jpeg(20, 10, {30, 30, 200}));
  tree.fileWith("start/sub1/inner/d.jpg", jpeg(10, 10, {90, 90, 90}));
  tree.folder("start/sub2");
  auto w = openWindow();
  for (QWidget* control : w->findChildren<QWidget*>()) {  // the layout is in twips
    if (control->isWindow() || !control->isVisibleTo(w.get())) continue;
    EXPECT_TRUE(control->parentWidget()->rect().contains(control->geometry()) && !control->geometry().isEmpty())
        << control->metaObject()->className() << " lies outside its frame";
  }
  EXPECT_EQ(w->windowTitle().toStdString(), "Pixelmote - " + start);
  std::string lines = transcript(*w);

  // Set the prefix, the size slider and preview.
  typePrefix(*w, "t_");
  drag(*w, 0, 5, {76});
  QTest::mouseClick(w->chkPreview, Qt::LeftButton);
  EXPECT_TRUE(w->mnuPreview->isChecked()) << "the check box and its menu item stay in step";
  w->mnuPreview->trigger();
  EXPECT_FALSE(w->chkPreview->isChecked()) << "either way round";
  w->mnuPreview->trigger();
  bool previewAfterRun = false;
  onOpen = [&] { previewAfterRun = !w->engine().running() && tree.exists("start/index.html"); };

  QTest::mouseClick(w->cmdScan, Qt::LeftButton);
  lines += transcript(*w);
  EXPECT_FALSE(tree.exists("start/index.html"));
  EXPECT_TRUE(opened.empty()) << "only Create previews";

  // Create: the window after each line, and at the end.
  bool creating = true;
  onStatusLine(*w, [&](const std::string&) { lines += creating ? windowState(*w) : ""; });
  QTest::mouseClick(w->cmdAdd, Qt::LeftButton);
  creating = false;
  lines += windowState(*w) + transcript(*w);
  EXPECT_EQ(opened, std::vector<QUrl>{QUrl::fromLocalFile(QString::fromStdString(start + "/index.html"))});
  EXPECT_TRUE(previewAfterRun) << "the page is opened once the run is over";

  QTest::mouseClick(w->cmdRemove, Qt::LeftButton);
  EXPECT_FALSE(tree.exists("start/t_a.jpg") || tree.exists("start/sub1/inner/index.html"));
  lines += transcript(*w);

  testing::expectGolden("ui/testdata/session_status.txt", lines);

  // Stop clicked at the first folder's line, with Report clicked too.
  bool stop = true;
  onStatusLine(*w, [&](const std::string&) {
    if (!std::exchange(stop, false)) return;
    QTest::mouseClick(w->cmdCancel, Qt::LeftButton);
    QTest::mouseClick(w->cmdScan, Qt::LeftButton);
  });
  QTest::mouseClick(w->cmdAdd, Qt::LeftButton);
  EXPECT_EQ(status(*w).size(), 4u) << "the next folder's line, the separator, the totals";
  EXPECT_FALSE(tree.exists("start/sub1/inner/index.html")) << "the run stopped";
  QTest::mouseClick(w->cmdScan, Qt::LeftButton);
  EXPECT_EQ(status(*w).size(), 6u) << "Stop is cleared for the next run";
  EXPECT_TRUE(messages.empty());
}

TEST_F(FrmmainTest, PrefixRuleTakesCharactersOffTheEndUntilTheProbePasses) {
  // A file of the name the probe tries first, this process's own.
  const std::string taken = util::temporaryFileName(util::TemporaryKind::PrefixProbe, util::currentProcessTag(), 0, "ab");
  tree.fileWith("probe/" + taken, "keep");
  auto w = openWindow();
  typePrefix(*w, "ab");
  EXPECT_EQ(w->txtPre->text(), "ab") << "a file of the probe's name does not make the prefix fail";

  const long nameMax = ::pathconf(probe.c_str(), _PC_NAME_MAX);
  const std::size_t bare = util::temporaryFileName(util::TemporaryKind::PrefixProbe, "").size();
  const int longest = static_cast<int>(std::min<std::size_t>(util::kLongestProbedPrefix, nameMax - bare));
  const std::pair<QString, QString> pastes[] = {
      {"x/y", "x"},
      {"/abc", ""},
      {QString(longest + 1, 'n'), QString(longest, 'n')},
      {QString(longest - 1, 'n') + QString::fromUtf8("\xf0\x9f\x98\x80"), QString(longest - 1, 'n')},  // a pair goes whole
  };
  for (const auto& [given, kept] : pastes) {
    w->txtPre->setText(given);
    EXPECT_EQ(w->txtPre->text(), kept) << given.left(20).toStdString();
    EXPECT_EQ(w->runSettings().sPrefix, kept.toStdString());
  }
  w->txtPre->clear();
  QTest::mouseClick(w->cmdAdd, Qt::LeftButton);
  EXPECT_EQ(messages, std::vector<std::string>{"Please enter a thumbnail prefix."});
  EXPECT_EQ(status(*w).size(), 1u) << "no run";
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(probe), {}), 1) << "no probe is left behind";
}

// The type lists and menus stay in step; what the window shows is saved on
// close and restored on the next start; values that do not fit are passed over.
TEST_F(FrmmainTest, SettingsAreSavedOnCloseAndRestoredOnTheNextStart) {
  const std::string photos = tree.folder("start/photos");
  tree.file("start/photos/one.gif", 5);
  {
    auto w = openWindow();
    openFolder(*w, photos);
    w->cmbFrom->setFocus();
    QTest::keyClick(w->cmbFrom, Qt::Key_Down);
    EXPECT_EQ(status(*w).back(), "Found 1 GIF images in " + photos);
    EXPECT_TRUE(w->mnuIGIF->isChecked() && !w->mnuIJPG->isChecked() && w->mnuTJPG->isChecked());
    w->mnuTGIF->trigger();
    EXPECT_EQ(w->cmbTo->currentText(), "GIF");
    w->mnuIJPG->trigger();
    EXPECT_EQ(w->cmbFrom->currentText(), "JPG");
    EXPECT_EQ(status(*w).back(), "Found 0 JPG images in " + photos);
    w->cmbTo->setFocus();
    QTest::keyClick(w->cmbTo, Qt::Key_Up);
    EXPECT_EQ(w->runSettings().sImageExt + w->runSettings().sThumbExt, "jpgjpg");
    EXPECT_TRUE(w->mnuTJPG->isChecked() && !w->mnuTGIF->isChecked());
    w->mnuIGIF->trigger();
    w->mnuTGIF->trigger();
    w->cmbCol->setCurrentIndex(2);
    w->cmbBorder->setCurrentIndex(0);
    typePrefix(*w, "x_");
    // Only the left button alone drags a knob, which stays within its track
    // and, dragged past an end, waits there for the pointer to come back.
    drag(*w, 0, 5, {-40, 76});
    drag(*w, 1, 5, {50, 300});
    drag(*w, 2, 8, {30, 90}, Qt::RightButton, Qt::RightButton);
    drag(*w, 2, 8, {30, 90}, Qt::LeftButton | Qt::RightButton);
    drag(*w, 2, 3, {-20, 1});
    EXPECT_EQ(text(w->lblSlide[2]), "1") << "0.66 shows as 1";
    drag(*w, 2, 3, {-2});
    const QImage track = w->picSlide[2]->grab().toImage();
    EXPECT_EQ(track.pixelColor(100, 4), QColor(0, 0, 192)) << "the track's dark blue";
    EXPECT_FALSE(tree.exists("pixelmote.ini")) << "nothing is saved before the window closes";
    w->close();
  }
  const std::string saved = tree.read("pixelmote.ini");
  EXPECT_EQ(saved, "[Folder]\nPath=" + photos +
                       "\n[Image]\nType=GIF\nThumb=GIF\nColumn=3\nBorder=0\nPrefix=x_\nSize=76\nQuality=152\nSmooth=0\n");
  {
    auto w = openWindow();
    EXPECT_EQ(w->windowTitle().toStdString(), "Pixelmote - " + start) << "the title names the start-up folder";
    EXPECT_EQ((w->cmbFrom->currentText() + w->cmbTo->currentText() + w->cmbCol->currentText() +
               w->cmbBorder->currentText()).toStdString(), "GIFGIF30");
    EXPECT_EQ(status(*w).back(), "Found 1 GIF images in " + photos);
    w->mnuExit->trigger();  // Folder > Exit saves (all of it read back) as the close box does
    EXPECT_FALSE(w->isVisible());
    EXPECT_EQ(tree.read("pixelmote.ini"), saved);
  }
  tree.fileWith("pixelmote.ini", "; mine\n[Image]\nSize=500\nQuality=abc\nSmooth=-50\nColumn=11\nBorder=\nType=BMP\n"
                                 "Unknown=kept\n[Folder]\nPath=" + tree.path("gone") + "\n");
  auto w = openWindow();
  EXPECT_EQ(w->knobOffset(0) + w->knobOffset(1) + w->knobOffset(2), 152.0f);
  EXPECT_EQ(w->engine().Dir1().path(), start);
  EXPECT_TRUE(messages.empty()) << "settings problems are never reported";
  w->close();
  EXPECT_EQ(tree.read("pixelmote.ini"),
            "; mine\n[Image]\nSize=152\nQuality=0\nSmooth=0\nColumn=5\nBorder=1\nType=JPG\nUnknown=kept\n"
            "Thumb=JPG\nPrefix=\n[Folder]\nPath=" + start + "\n");
}

// Lines are kept byte for byte; the newest is selected and scrolled into
// view, from wherever the list was scrolled.
TEST_F(FrmmainTest, StatusListKeepsLinesAndTheNewestInView) {
  auto w = openWindow();
  StatusList* list = w->lstStatus;
  const auto newestInView = [&] {
    const int row = list->count() - 1;
    return list->currentRow() == row && list->rowRect(row).top() >= 0 &&
           list->rowRect(row).bottom() < list->viewport()->height();
  };
  w->clearStatus();
  EXPECT_EQ(list->currentRow(), -1);
  const std::vector<std::string> given = {"", std::string(300, 'x') + "/end", "/pics/caf\xc3\xa9", "  two  blanks  "};
  for (const std::string& line : given) w->appendStatus(line);
  EXPECT_EQ(status(*w), given);
  EXPECT_GT(list->horizontalScrollBar()->maximum(), 0) << "the wide line can be scrolled to";
  w->clearStatus();
  EXPECT_EQ(list->horizontalScrollBar()->maximum(), 0);
  for (int i = 0; i < 100; ++i) w->appendStatus("line " + std::to_string(i));
  EXPECT_TRUE(newestInView());
  list->verticalScrollBar()->setValue(10);
  w->appendStatus("newest");
  EXPECT_TRUE(newestInView());
  list->resize(list->width(), list->rowHeight() * 110);
  EXPECT_EQ(list->verticalScrollBar()->maximum(), 0) << "every line fits once the list is taller";
}

}  // namespace
}  // namespace pixelmote::ui
