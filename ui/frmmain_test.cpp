// Drives the real main window headless: start-up state, sliders, type lists
// and menus, the prefix rule, the settings file, runs with Stop, preview,
// help, drive list, About, and closing during a run.
#include "ui/frmmain.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QColor>
#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPixmap>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <functional>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "batch/format.h"
#include "imaging/codec.h"
#include "imaging/imglib.h"
#include "testsupport/temp_tree.h"
#include "ui/settings_file.h"
#include "ui/slider_widgets.h"
#include "ui/status_list.h"
#include "util/file_io.h"
#include "util/program_folder.h"
#include "util/temp_files.h"

namespace pixelmote::ui {
namespace {

using pixelmote::testing::TempTree;

const std::string kSeparator(40, '-');

std::string jpegPicture(int width, int height, imaging::Rgb colour) {
  return imaging::encodeJpeg(imaging::Raster(imaging::Size{width, height}, colour), 80, 0).value();
}

std::int64_t fileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<std::int64_t>(st.st_size) : -1;
}

bool fileExists(const std::string& path) { return fileSize(path) >= 0; }

// The names in a folder, "." and ".." left out.
std::vector<std::string> folderNames(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (const dirent* e = ::readdir(dir)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Temporary bitmaps of this process in the program's writable folder.
int leftoverBitmaps() {
  const auto folder = util::writableProgramFolder();
  if (!folder) return -1;
  const std::string mine = "temp" + std::to_string(::getpid()) + "-";
  int count = 0;
  for (const std::string& name : folderNames(folder.value())) {
    if (name.rfind(mine, 0) == 0) ++count;
  }
  return count;
}

std::string readAll(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return {};
  std::string text;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) text.append(buffer, n);
  std::fclose(f);
  return text;
}

std::string text(const QLabel* label) { return label->text().toStdString(); }

// Records every title the window is given, in order.
class TitleRecorder : public QObject {
 public:
  explicit TitleRecorder(QWidget* window) : m_window(window) { window->installEventFilter(this); }
  std::vector<std::string> titles;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == m_window && event->type() == QEvent::WindowTitleChange) {
      titles.push_back(m_window->windowTitle().toStdString());
    }
    return false;
  }

 private:
  QWidget* m_window;
};

class FrmmainTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { imaging::startImaging(); }

  WindowOptions options() {
    WindowOptions o;
    o.settingsPath = settingsPath;
    o.startSettingsPath = startSettingsPath;
    o.startFolder = start;
    o.probeFolder = probe;
    o.volumes = [this] { return volumes; };
    o.showMessage = [this](const QString& message) {
      messages.push_back(message.toStdString());
      if (onMessage) onMessage();
    };
    o.openUrl = [this](const QUrl& url) {
      opened.push_back(url);
      if (onOpen) onOpen();
      return true;
    };
    QPixmap icon(16, 16);
    icon.fill(Qt::darkGreen);
    o.icon = QIcon(icon);
    o.showAbout = [this](QWidget* mainWindow) { aboutShownOver.push_back(mainWindow); };
    return o;
  }

  std::unique_ptr<frmmain> openWindow() {
    auto window = std::make_unique<frmmain>(options());
    window->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    return window;
  }

  // The status list's lines, oldest first.
  static std::vector<std::string> status(const frmmain& w) {
    std::vector<std::string> lines;
    for (int i = 0; i < w.lstStatus->count(); ++i) lines.push_back(pathBytes(w.lstStatus->line(i)));
    return lines;
  }

  // Calls `hook` with each line appended to the status list from now on.
  static void onStatusLine(frmmain& w, std::function<void(const std::string&)> hook) {
    QObject::connect(w.lstStatus, &StatusList::lineAppended, w.lstStatus,
                     [&w, hook](int row) { hook(pathBytes(w.lstStatus->line(row))); });
  }

  // A press of `pressed` at x = grabX of knob `index`, then one move per
  // entry of `travel` (the pointer's distance from where it was pressed,
  // with `held` buttons down), then the release.
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

  // Sets the prefix box by typing, after clearing it with backspaces.
  static void typePrefix(frmmain& w, const QString& prefix) {
    w.txtPre->setFocus();
    QTest::keyClick(w.txtPre, Qt::Key_End);
    while (!w.txtPre->text().isEmpty()) QTest::keyClick(w.txtPre, Qt::Key_Backspace);
    QTest::keyClicks(w.txtPre, prefix);
  }

  // Opens `folder` from the folder list (it must be listed) with Enter.
  static void openFolder(frmmain& w, const std::string& folder) {
    QListWidgetItem* target = nullptr;
    for (int i = 0; i < w.Dir1->count(); ++i) {
      if (w.Dir1->item(i)->data(Qt::UserRole).toByteArray().toStdString() == folder) target = w.Dir1->item(i);
    }
    ASSERT_NE(target, nullptr) << folder << " is not in the folder list";
    w.Dir1->setCurrentItem(target);
    QTest::keyClick(w.Dir1, Qt::Key_Return);
  }

  static std::string currentDir1Entry(const frmmain& w) {
    const QListWidgetItem* item = w.Dir1->currentItem();
    return item == nullptr ? std::string() : item->data(Qt::UserRole).toByteArray().toStdString();
  }

  // A tree of four folders below the start folder, visited in this order:
  // start (a.jpg, b.jpg), sub1 (c.jpg), sub1/inner (d.jpg), sub2 (nothing).
  void makePictureTree() {
    tree.fileWith("start/a.jpg", jpegPicture(16, 12, {200, 30, 30}));
    tree.fileWith("start/b.jpg", jpegPicture(12, 16, {30, 200, 30}));
    tree.fileWith("start/sub1/c.jpg", jpegPicture(20, 10, {30, 30, 200}));
    tree.fileWith("start/sub1/inner/d.jpg", jpegPicture(10, 10, {90, 90, 90}));
    tree.folder("start/sub2");
    folders = {start, start + "/sub1", start + "/sub1/inner", start + "/sub2"};
  }

  std::string bytesText(frmmain& w, std::int64_t n) const { return batch::funBytes(n, w.engine().numbers()); }

  // The status line of a folder as a run writes it.
  std::string folderLine(frmmain& w, const std::string& path, int subFolders, int files, std::int64_t bytes,
                         std::int64_t thumbBytes) const {
    return path + ": " + std::to_string(subFolders) + " folders, " + std::to_string(files) + " files (" +
           bytesText(w, bytes) + " [" + bytesText(w, thumbBytes) + "])";
  }

  std::string totalsLine(frmmain& w, int subFolders, int files, std::int64_t bytes,
                         std::int64_t thumbBytes) const {
    return folderLine(w, start, subFolders, files, bytes, thumbBytes) + " - " +
           batch::sizeFigure(thumbBytes, bytes, w.engine().numbers()) + "%";
  }

  std::int64_t sizeOf(const std::string& relative) const { return fileSize(tree.path(relative)); }

  TempTree tree;
  std::string start = tree.folder("start");
  std::string probe = tree.folder("probe");
  std::string settingsPath = tree.path("pixelmote.ini");
  // Start values for all users; no such file unless a test writes it.
  std::string startSettingsPath = tree.path("xdg/pixelmote/pixelmote.ini");
  std::vector<std::string> volumes{"/", tree.root()};
  std::vector<std::string> folders;
  std::vector<std::string> messages;
  std::vector<QUrl> opened;
  std::vector<QWidget*> aboutShownOver;  // the parent of every About showing
  std::function<void()> onMessage;
  std::function<void()> onOpen;
};

// ----- start-up -------------------------------------------------------------

TEST_F(FrmmainTest, StartsWithoutSettingsFileOnDefaultsAndOneFoundLine) {
  tree.file("start/a.jpg", 10);
  tree.file("start/B.JPG", 10);
  tree.file("start/t_a.jpg", 10);  // a thumbnail counts as a file of the type
  tree.file("start/c.jpeg", 10);
  tree.file("start/d.gif", 10);
  tree.file("start/.hidden.jpg", 10);
  tree.folder("start/folder.jpg");
  tree.file("start/sub/e.jpg", 10);

  auto w = openWindow();

  for (QComboBox* list : {w->cmbFrom, w->cmbTo}) {
    ASSERT_EQ(list->count(), 2);
    EXPECT_EQ(list->itemText(0), "JPG");
    EXPECT_EQ(list->itemText(1), "GIF");
    EXPECT_EQ(list->currentText(), "JPG");
  }
  EXPECT_TRUE(w->mnuIJPG->isChecked());
  EXPECT_FALSE(w->mnuIGIF->isChecked());
  EXPECT_TRUE(w->mnuTJPG->isChecked());
  EXPECT_FALSE(w->mnuTGIF->isChecked());
  EXPECT_EQ(w->runSettings().sImageExt, "jpg");
  EXPECT_EQ(w->runSettings().sThumbExt, "jpg");

  ASSERT_EQ(w->cmbCol->count(), 10);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(w->cmbCol->itemText(i), QString::number(i + 1));
  EXPECT_EQ(w->cmbCol->currentText(), "5");
  ASSERT_EQ(w->cmbBorder->count(), 11);
  for (int i = 0; i < 11; ++i) EXPECT_EQ(w->cmbBorder->itemText(i), QString::number(i));
  EXPECT_EQ(w->cmbBorder->currentText(), "1");

  EXPECT_EQ(w->txtPre->text(), "") << "a missing Prefix key empties the box";
  EXPECT_EQ(w->runSettings().sPrefix, "");
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(w->knobOffset(i), 0.0f);
    EXPECT_EQ(w->picSlide[i]->knob()->x(), 0);
    EXPECT_EQ(w->picBar[i]->fillWidth(), 0.0f);
  }
  for (int i = 0; i < 6; ++i) EXPECT_EQ(text(w->lblSlide[i]), "0") << "value label " << i;

  EXPECT_EQ(w->windowTitle().toStdString(), "Pixelmote - " + start);
  EXPECT_EQ(w->engine().Dir1().path(), start);
  EXPECT_EQ(currentDir1Entry(*w), start);
  EXPECT_EQ(w->Drive1->currentText().toStdString(), tree.root()) << "the volume holding the start folder";
  EXPECT_EQ(status(*w), std::vector<std::string>{"Found 3 JPG images in " + start});
  EXPECT_EQ(w->windowIcon().pixmap(16, 16).toImage().pixelColor(8, 8), QColor(Qt::darkGreen)) << "the icon it is given";

  // A fixed window whose client area lies below the menu bar.
  QWidget* client = w->centralWidget();
  EXPECT_EQ(client->size(), QSize(554, 246));
  EXPECT_GE(client->y(), w->menuBar()->geometry().bottom() + 1);
  EXPECT_EQ(w->height(), client->y() + 246);
  EXPECT_EQ(w->width(), 554);
  EXPECT_EQ(w->minimumSize(), w->maximumSize());
  const QSize before = w->size();
  w->resize(900, 700);
  EXPECT_EQ(w->size(), before);

  EXPECT_FALSE(fileExists(settingsPath)) << "start-up writes no settings";
  EXPECT_TRUE(messages.empty());
  EXPECT_TRUE(opened.empty());
}

// ----- sliders --------------------------------------------------------------

TEST_F(FrmmainTest, KnobDragsFollowThePointerWithinTheTrackWithTheLeftButtonOnly) {
  auto w = openWindow();
  const auto untouched = [&](int dragged) {
    for (int i = 0; i < 6; ++i) {
      if (i != dragged) {
        EXPECT_EQ(text(w->lblSlide[i]), "0") << "value label " << i;
      }
    }
  };

  drag(*w, 0, 8, {50, 120, 200});
  EXPECT_EQ(w->knobOffset(0), 152.0f);
  EXPECT_EQ(w->picSlide[0]->knob()->x(), 152);
  EXPECT_EQ(text(w->lblSlide[0]), "100");
  untouched(0);

  drag(*w, 0, 8, {-100, -400});
  EXPECT_EQ(w->knobOffset(0), 0.0f);
  EXPECT_EQ(text(w->lblSlide[0]), "0");

  // Grabbed at x = 3, moved in steps: the grabbed point stays under the pointer.
  SliderKnob* knob = w->picSlide[0]->knob();
  const int pressedAt = knob->mapToGlobal(QPoint(3, 0)).x();
  drag(*w, 0, 3, {10, 40, 76});
  EXPECT_EQ(w->knobOffset(0), 76.0f);
  EXPECT_EQ(text(w->lblSlide[0]), "50");
  EXPECT_EQ(knob->mapToGlobal(QPoint(3, 0)).x(), pressedAt + 76);
  EXPECT_EQ(w->KnobGrabX(), 3.0f);

  // Past the end the knob waits, and follows again over the grabbed point.
  drag(*w, 0, 8, {-200, -176});
  EXPECT_EQ(w->knobOffset(0), 0.0f);
  drag(*w, 0, 8, {1});
  EXPECT_EQ(w->knobOffset(0), 1.0f);
  EXPECT_EQ(text(w->lblSlide[0]), "1") << "0.66 shows as 1";
  drag(*w, 2, 8, {300, 150});
  EXPECT_EQ(w->knobOffset(2), 150.0f);
  EXPECT_EQ(text(w->lblSlide[2]), "99");
  EXPECT_EQ(text(w->lblSlide[0]), "1") << "another slider's drag leaves this one";
  drag(*w, 2, 8, {-400});
  EXPECT_EQ(text(w->lblSlide[2]), "0");

  // Right button, and left and right together, move nothing.
  drag(*w, 1, 8, {30, 90}, Qt::RightButton, Qt::RightButton);
  EXPECT_EQ(w->knobOffset(1), 0.0f);
  SliderKnob* knob1 = w->picSlide[1]->knob();
  QTest::mousePress(knob1, Qt::LeftButton, Qt::NoModifier, QPoint(8, 4));
  QTest::mousePress(knob1, Qt::RightButton, Qt::NoModifier, QPoint(8, 4));
  const QPoint far = knob1->mapToGlobal(QPoint(90, 4));
  QMouseEvent both(QEvent::MouseMove, QPointF(knob1->mapFromGlobal(far)), QPointF(far), Qt::NoButton,
                   Qt::LeftButton | Qt::RightButton, Qt::NoModifier);
  QApplication::sendEvent(knob1, &both);
  QTest::mouseRelease(knob1, Qt::RightButton, Qt::NoModifier, QPoint(90, 4));
  QTest::mouseRelease(knob1, Qt::LeftButton, Qt::NoModifier, QPoint(90, 4));
  EXPECT_EQ(w->knobOffset(1), 0.0f);
  EXPECT_EQ(text(w->lblSlide[1]), "0");

  // Pressing on the track beside the knob, and dragging there, moves nothing.
  SliderTrack* track = w->picSlide[1];
  QTest::mousePress(track, Qt::LeftButton, Qt::NoModifier, QPoint(100, 4));
  QMouseEvent onTrack(QEvent::MouseMove, QPointF(120, 4), QPointF(track->mapToGlobal(QPoint(120, 4))),
                      Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(track, &onTrack);
  QTest::mouseRelease(track, Qt::LeftButton, Qt::NoModifier, QPoint(120, 4));
  QTest::mouseClick(track, Qt::LeftButton, Qt::NoModifier, QPoint(60, 4));
  EXPECT_EQ(w->knobOffset(1), 0.0f);
  EXPECT_EQ(text(w->lblSlide[1]), "0");

  // The keyboard does nothing either.
  QTest::keyClick(knob1, Qt::Key_Right);
  QTest::keyClick(track, Qt::Key_End);
  EXPECT_EQ(w->knobOffset(1), 0.0f);

  EXPECT_EQ(text(w->lblSlide[0]), "1");
  for (int i = 3; i < 6; ++i) EXPECT_EQ(text(w->lblSlide[i]), "0") << "progress label " << i;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(w->picBar[i]->fillWidth(), 0.0f);
  EXPECT_EQ(status(*w).size(), 1u) << "sliders write no status lines";
}

// ----- type lists and menus ---------------------------------------------------

TEST_F(FrmmainTest, TypeListsAndTypeMenusStayInStep) {
  tree.file("start/a.jpg", 5);
  tree.file("start/b.jpg", 5);
  tree.file("start/x.gif", 5);
  tree.file("start/y.GIF", 5);
  tree.file("start/z.gif", 5);
  auto w = openWindow();
  ASSERT_EQ(status(*w).size(), 1u);

  // Choosing GIF in the source list.
  w->cmbFrom->setFocus();
  QTest::keyClick(w->cmbFrom, Qt::Key_Down);
  EXPECT_EQ(w->cmbFrom->currentText(), "GIF");
  EXPECT_EQ(status(*w).back(), "Found 3 GIF images in " + start);
  EXPECT_EQ(status(*w).size(), 2u);
  EXPECT_EQ(w->runSettings().sImageExt, "gif");
  EXPECT_FALSE(w->mnuIJPG->isChecked());
  EXPECT_TRUE(w->mnuIGIF->isChecked());
  EXPECT_TRUE(w->mnuTJPG->isChecked()) << "the thumbnail sub-menu keeps its mark";
  EXPECT_FALSE(w->mnuTGIF->isChecked());
  EXPECT_EQ(w->cmbTo->currentText(), "JPG");

  // Type > Thumbnail Output > GIF.
  w->mnuTGIF->trigger();
  EXPECT_EQ(w->cmbTo->currentText(), "GIF");
  EXPECT_EQ(w->runSettings().sThumbExt, "gif");
  EXPECT_FALSE(w->mnuTJPG->isChecked());
  EXPECT_TRUE(w->mnuTGIF->isChecked());
  EXPECT_TRUE(w->mnuIGIF->isChecked());
  EXPECT_EQ(status(*w).size(), 2u) << "the thumbnail type writes no status line";

  // The checked items chosen again change nothing.
  w->mnuTGIF->trigger();
  w->mnuIGIF->trigger();
  EXPECT_EQ(w->cmbFrom->currentText(), "GIF");
  EXPECT_EQ(w->cmbTo->currentText(), "GIF");
  EXPECT_TRUE(w->mnuIGIF->isChecked());
  EXPECT_FALSE(w->mnuIJPG->isChecked());
  EXPECT_TRUE(w->mnuTGIF->isChecked());
  EXPECT_FALSE(w->mnuTJPG->isChecked());
  EXPECT_EQ(status(*w).size(), 2u);

  // Type > Select Image > JPG moves list and mark back, with its line.
  w->mnuIJPG->trigger();
  EXPECT_EQ(w->cmbFrom->currentText(), "JPG");
  EXPECT_TRUE(w->mnuIJPG->isChecked());
  EXPECT_FALSE(w->mnuIGIF->isChecked());
  EXPECT_TRUE(w->mnuTGIF->isChecked());
  EXPECT_EQ(status(*w).back(), "Found 2 JPG images in " + start);

  // The thumbnail list chosen directly moves its menu mark only.
  w->cmbTo->setFocus();
  QTest::keyClick(w->cmbTo, Qt::Key_Up);
  EXPECT_EQ(w->cmbTo->currentText(), "JPG");
  EXPECT_TRUE(w->mnuTJPG->isChecked());
  EXPECT_FALSE(w->mnuTGIF->isChecked());
  EXPECT_TRUE(w->mnuIJPG->isChecked());
  EXPECT_EQ(status(*w).size(), 3u);
  EXPECT_TRUE(messages.empty());
}

// ----- prefix rule ------------------------------------------------------------

// The names the probe creates.
std::vector<std::string> g_probed;
int recordingOpen(const char* path, int flags, mode_t mode) {
  g_probed.push_back(path);
  return util::posixFileSystemOps().open(path, flags, mode);
}

TEST_F(FrmmainTest, PrefixRuleTakesCharactersOffTheEndUntilTheProbePasses) {
  // Files of the names the probe tries first, this process's own.
  const util::ProcessTag self = util::currentProcessTag();
  const std::string abProbe = util::temporaryFileName(util::TemporaryKind::PrefixProbe, self, 0, "ab");
  const std::string bareProbe = util::temporaryFileName(util::TemporaryKind::PrefixProbe, self, 0, "");
  tree.fileWith("probe/" + abProbe, "keep");
  tree.fileWith("probe/" + bareProbe, "mine too");
  tree.file("start/a.jpg", 5);
  auto w = openWindow();

  w->txtPre->setFocus();
  g_probed.clear();
  {
    util::FileSystemOps ops = util::posixFileSystemOps();
    ops.open = recordingOpen;
    util::ScopedFileSystemOps guard(ops);
    QTest::keyClicks(w->txtPre, "ab");
  }
  EXPECT_EQ(w->txtPre->text(), "ab") << "a file of the probe's name does not make the prefix fail";
  // Probes are made in the probe folder under names that begin with the
  // prefix and tell this process, so a killed run's probe can be cleared.
  ASSERT_FALSE(g_probed.empty());
  for (const std::string& path : g_probed) {
    const std::string name = path.substr(path.rfind('/') + 1);
    EXPECT_EQ(path, probe + "/" + name);
    const auto parsed = util::parseTemporaryName(name);
    ASSERT_TRUE(parsed.has_value()) << name;
    EXPECT_EQ(parsed->kind, util::TemporaryKind::PrefixProbe);
    EXPECT_EQ(parsed->owner, self);
    EXPECT_EQ(name[0], 'a');
  }
  EXPECT_EQ(w->runSettings().sPrefix, "ab");
  QTest::keyClick(w->txtPre, '/');
  EXPECT_EQ(w->txtPre->text(), "ab");
  EXPECT_EQ(w->runSettings().sPrefix, "ab");

  // "/" typed between the letters takes the "b" along with it.
  QTest::keyClick(w->txtPre, Qt::Key_Left);
  QTest::keyClick(w->txtPre, '/');
  EXPECT_EQ(w->txtPre->text(), "a");
  EXPECT_EQ(w->runSettings().sPrefix, "a");

  // A whole text set at once (a paste).
  w->txtPre->setText("x/y");
  EXPECT_EQ(w->txtPre->text(), "x");
  w->txtPre->setText("/abc");
  EXPECT_EQ(w->txtPre->text(), "");

  // A name longer than the file system allows is cut to the longest that fits.
  // The longest tag a probe may add must fit, whatever this process's is.
  const long nameMax = ::pathconf(probe.c_str(), _PC_NAME_MAX);
  ASSERT_GT(nameMax, static_cast<long>(bareProbe.size()));
  const qsizetype longest = static_cast<qsizetype>(
      std::min<std::size_t>(util::kLongestProbedPrefix, static_cast<std::size_t>(nameMax) - bareProbe.size()));
  w->txtPre->setText(QString(static_cast<int>(nameMax) + 20, QLatin1Char('n')));
  EXPECT_EQ(w->txtPre->text().size(), longest);
  EXPECT_EQ(w->runSettings().sPrefix, std::string(static_cast<std::size_t>(longest), 'n'));

  // Very long pasted texts: one that fails from its first character, one
  // that only fits once most of it is gone.
  w->txtPre->setText(QStringLiteral("/") + QString(30000, QLatin1Char('q')));
  EXPECT_EQ(w->txtPre->text(), "");
  w->txtPre->setText(QString(30000, QLatin1Char('n')));
  EXPECT_EQ(w->txtPre->text().size(), longest);

  // Deleting every character leaves the empty prefix; Create then refuses.
  typePrefix(*w, "t_");
  EXPECT_EQ(w->txtPre->text(), "t_");
  QTest::keyClick(w->txtPre, Qt::Key_Backspace);
  QTest::keyClick(w->txtPre, Qt::Key_Backspace);
  EXPECT_EQ(w->txtPre->text(), "");
  EXPECT_EQ(w->runSettings().sPrefix, "");
  const std::vector<std::string> before = status(*w);
  QTest::mouseClick(w->cmdAdd, Qt::LeftButton);
  EXPECT_EQ(messages, std::vector<std::string>{"Please enter a thumbnail prefix."});
  EXPECT_EQ(status(*w), before) << "no run";
  EXPECT_FALSE(fileExists(start + "/index.html"));

  // No probe is left behind, and the files that were there are intact.
  std::vector<std::string> kept{abProbe, bareProbe};
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(folderNames(probe), kept);
  EXPECT_EQ(tree.read("probe/" + abProbe), "keep");
  EXPECT_EQ(tree.read("probe/" + bareProbe), "mine too");
}

TEST_F(FrmmainTest, PrefixBoxEndsEmptyWhenTheProbeFolderCannotBeWritten) {
  probe = tree.path("no such folder");
  tree.fileWith("pixelmote.ini", "[Image]\nPrefix=t_\n");
  auto w = openWindow();
  EXPECT_EQ(w->txtPre->text(), "");
  EXPECT_EQ(w->runSettings().sPrefix, "");
  w->txtPre->setFocus();
  QTest::keyClicks(w->txtPre, "ab");
  EXPECT_EQ(w->txtPre->text(), "");
  w->txtPre->setText("pasted");
  EXPECT_EQ(w->txtPre->text(), "");
  EXPECT_TRUE(messages.empty()) << "the rule never shows a message";
  EXPECT_FALSE(fileExists(probe));
}

// ----- settings file ------------------------------------------------------------

TEST_F(FrmmainTest, SettingsAreSavedOnCloseAndRestoredOnTheNextStart) {
  const std::string photos = tree.folder("start/photos");
  tree.file("start/photos/one.gif", 5);
  tree.file("start/photos/two.gif", 5);
  {
    auto w = openWindow();
    openFolder(*w, photos);
    ASSERT_EQ(w->engine().Dir1().path(), photos);
    EXPECT_EQ(currentDir1Entry(*w), photos);
    EXPECT_EQ(w->windowTitle().toStdString(), "Pixelmote - " + start) << "opening a folder leaves the title";
    w->mnuIGIF->trigger();
    w->mnuTGIF->trigger();
    w->cmbCol->setCurrentIndex(2);
    w->cmbBorder->setCurrentIndex(0);
    typePrefix(*w, "x_");
    drag(*w, 0, 5, {76});
    drag(*w, 1, 5, {300});
    EXPECT_FALSE(fileExists(settingsPath));
    w->close();
    EXPECT_FALSE(w->isVisible());
  }
  const std::string saved = readAll(settingsPath);
  EXPECT_EQ(saved, "[Folder]\nPath=" + photos +
                       "\n[Image]\nType=GIF\nThumb=GIF\nColumn=3\nBorder=0\nPrefix=x_\nSize=76\nQuality=152\nSmooth=0\n");

  auto w = openWindow();
  EXPECT_EQ(w->engine().Dir1().path(), photos);
  EXPECT_EQ(currentDir1Entry(*w), photos);
  EXPECT_EQ(w->windowTitle().toStdString(), "Pixelmote - " + start) << "the caption names the start-up folder";
  EXPECT_EQ(w->cmbFrom->currentText(), "GIF");
  EXPECT_TRUE(w->mnuIGIF->isChecked());
  EXPECT_FALSE(w->mnuIJPG->isChecked());
  EXPECT_EQ(w->cmbTo->currentText(), "GIF");
  EXPECT_TRUE(w->mnuTGIF->isChecked());
  EXPECT_EQ(w->cmbCol->currentText(), "3");
  EXPECT_EQ(w->cmbBorder->currentText(), "0");
  EXPECT_EQ(w->txtPre->text(), "x_");
  EXPECT_EQ(w->runSettings().sPrefix, "x_");
  EXPECT_EQ(w->knobOffset(0), 76.0f);
  EXPECT_EQ(w->knobOffset(1), 152.0f);
  EXPECT_EQ(w->knobOffset(2), 0.0f);
  EXPECT_EQ(text(w->lblSlide[0]), "50");
  EXPECT_EQ(text(w->lblSlide[1]), "100");
  EXPECT_EQ(text(w->lblSlide[2]), "0");
  EXPECT_EQ(status(*w), (std::vector<std::string>{"Found 0 JPG images in " + start,
                                                  "Found 2 GIF images in " + photos}));

  // Folder > Exit saves as the close box does: the same file again.
  w->mnuExit->trigger();
  EXPECT_FALSE(w->isVisible());
  EXPECT_EQ(readAll(settingsPath), saved);
}

TEST_F(FrmmainTest, AFirstStartReadsTheInstalledStartValuesAndExitWritesOnlyTheUsersFile) {
  // The start values the package installs, as the repository holds them.
  const std::string installed = readAll(std::string(PIXELMOTE_SOURCE_DIR) + "/data/xdg/pixelmote/pixelmote.ini");
  ASSERT_FALSE(installed.empty());
  tree.fileWith("xdg/pixelmote/pixelmote.ini", installed);
  tree.file("start/a.jpg", 5);
  {
    auto w = openWindow();
    EXPECT_EQ(w->txtPre->text(), "t_");
    EXPECT_EQ(w->runSettings().sPrefix, "t_");
    EXPECT_EQ(w->knobOffset(0), 38.0f);
    EXPECT_EQ(w->knobOffset(1), 114.0f);
    EXPECT_EQ(w->knobOffset(2), 0.0f);
    EXPECT_EQ(text(w->lblSlide[0]), "25");
    EXPECT_EQ(text(w->lblSlide[1]), "75");
    EXPECT_EQ(text(w->lblSlide[2]), "0");
    EXPECT_EQ(w->cmbFrom->currentText(), "JPG");
    EXPECT_EQ(w->cmbTo->currentText(), "JPG");
    EXPECT_EQ(w->cmbCol->currentText(), "5");
    EXPECT_EQ(w->cmbBorder->currentText(), "1");
    EXPECT_EQ(w->engine().Dir1().path(), start) << "the start values name no folder";
    EXPECT_EQ(status(*w), std::vector<std::string>{"Found 1 JPG images in " + start});
    EXPECT_FALSE(fileExists(settingsPath)) << "start-up writes no settings";
    typePrefix(*w, "s_");
    w->mnuExit->trigger();
  }
  EXPECT_EQ(readAll(startSettingsPath), installed) << "the start values are never written";
  EXPECT_EQ(readAll(settingsPath), "[Folder]\nPath=" + start +
                                       "\n[Image]\nType=JPG\nThumb=JPG\nColumn=5\nBorder=1\nPrefix=s_\nSize=38\n"
                                       "Quality=114\nSmooth=0\n");

  // From now on the user's file is read, whatever the start values say.
  tree.fileWith("xdg/pixelmote/pixelmote.ini", "[Image]\nPrefix=u_\nSize=152\nColumn=9\n");
  auto w = openWindow();
  EXPECT_EQ(w->txtPre->text(), "s_");
  EXPECT_EQ(w->knobOffset(0), 38.0f);
  EXPECT_EQ(w->cmbCol->currentText(), "5");
  w->close();
  EXPECT_EQ(readAll(startSettingsPath), "[Image]\nPrefix=u_\nSize=152\nColumn=9\n");
}

TEST_F(FrmmainTest, AnEmptyUsersFileStillCountsAsTheUsers) {
  tree.fileWith("xdg/pixelmote/pixelmote.ini", "[Image]\nPrefix=u_\nSize=152\n");
  tree.fileWith("pixelmote.ini", "");
  auto w = openWindow();
  EXPECT_EQ(w->txtPre->text(), "");
  EXPECT_EQ(w->knobOffset(0), 0.0f);
  w->close();
}

TEST_F(FrmmainTest, ValuesThatDoNotFitLeaveTheirControlAndOtherLinesSurviveASave) {
  const std::string gone = tree.folder("gone");
  const std::string original =
      "; notes of my own\n"
      "[Other]\n"
      "Key=Value with  two blanks\n"
      "not an entry at all\n"
      "\n"
      "[Image]\n"
      "Size=500\n"
      "Quality=abc\n"
      "Smooth=-50\n"
      "Column=11\n"
      "Border=\n"
      "Type=BMP\n"
      "Unknown=kept\n"
      "[Folder]\n"
      "Path=" +
      gone + "\n";
  tree.fileWith("pixelmote.ini", original);
  ASSERT_EQ(::rmdir(gone.c_str()), 0);

  {
    auto w = openWindow();
    EXPECT_EQ(w->knobOffset(0), 152.0f);
    EXPECT_EQ(text(w->lblSlide[0]), "100");
    EXPECT_EQ(w->knobOffset(1), 0.0f) << "abc is no number";
    EXPECT_EQ(text(w->lblSlide[1]), "0");
    EXPECT_EQ(w->knobOffset(2), 0.0f);
    EXPECT_EQ(text(w->lblSlide[2]), "0");
    EXPECT_EQ(w->cmbCol->currentText(), "5");
    EXPECT_EQ(w->cmbBorder->currentText(), "1");
    EXPECT_EQ(w->cmbFrom->currentText(), "JPG");
    EXPECT_EQ(w->cmbTo->currentText(), "JPG");
    EXPECT_EQ(w->txtPre->text(), "");
    EXPECT_EQ(w->engine().Dir1().path(), start);
    EXPECT_EQ(status(*w).size(), 1u);
    EXPECT_TRUE(messages.empty()) << "settings problems are never reported";
    EXPECT_EQ(readAll(settingsPath), original) << "the file keeps the old path until the window closes";
    w->close();
  }
  const std::string saved = readAll(settingsPath);
  EXPECT_EQ(saved,
            "; notes of my own\n"
            "[Other]\n"
            "Key=Value with  two blanks\n"
            "not an entry at all\n"
            "\n"
            "[Image]\n"
            "Size=152\n"
            "Quality=0\n"
            "Smooth=0\n"
            "Column=5\n"
            "Border=1\n"
            "Type=JPG\n"
            "Unknown=kept\n"
            "Thumb=JPG\n"
            "Prefix=\n"
            "[Folder]\n"
            "Path=" +
                start + "\n");

  // The empty prefix comes back empty, not as the design text.
  auto w = openWindow();
  EXPECT_EQ(w->txtPre->text(), "");
  EXPECT_EQ(w->knobOffset(0), 152.0f);
  w->close();
  EXPECT_EQ(readAll(settingsPath), saved);
}

TEST_F(FrmmainTest, LongFolderPathsRoundTripWhole) {
  std::string relative = "start";
  for (int i = 0; i < 4; ++i) relative += "/" + std::string(150, static_cast<char>('a' + i));
  const std::string deep = tree.folder(relative);
  ASSERT_GT(deep.size(), 600u);
  tree.file(relative + "/p.jpg", 5);
  tree.fileWith("pixelmote.ini", "[Folder]\nPath=" + deep + "\n[Image]\nType=GIF\nType=JPG\n");
  {
    auto w = openWindow();
    EXPECT_EQ(w->engine().Dir1().path(), deep);
    EXPECT_EQ(currentDir1Entry(*w), deep);
    EXPECT_EQ(status(*w).back(), "Found 0 GIF images in " + deep) << "the first of two equal keys counts";
    w->mnuIJPG->trigger();
    EXPECT_EQ(status(*w).back(), "Found 1 JPG images in " + deep);
    w->close();
  }
  EXPECT_EQ(ReadSetting(settingsPath, "Folder", "Path"), deep);
  auto w = openWindow();
  EXPECT_EQ(w->engine().Dir1().path(), deep);
}

// ----- runs -------------------------------------------------------------------

// What the window looked like when a status line was appended.
struct Sample {
  std::string line;
  std::string title;
  std::string totalLabel;
  float totalFill = -1;
  std::string folderListPath;
  bool dir1 = true, drive1 = true, panel = true, typeMenu = true;
  bool stop = false, commands = false, folderMenu = false;
  bool running = false;
};

TEST_F(FrmmainTest, ReportAndCreateRunsStartedByTheButtons) {
  makePictureTree();
  auto w = openWindow();
  TitleRecorder titles(w.get());
  std::vector<Sample> samples;
  onStatusLine(*w, [&](const std::string& line) {
    Sample s;
    s.line = line;
    s.title = w->windowTitle().toStdString();
    s.totalLabel = text(w->lblSlide[3]);
    s.totalFill = w->picBar[0]->fillWidth();
    s.folderListPath = w->engine().Dir1().path();
    s.dir1 = w->Dir1->isEnabled();
    s.drive1 = w->Drive1->isEnabled();
    s.panel = w->picPanel->isEnabled();
    s.typeMenu = w->mnuType->isEnabled();
    s.stop = w->cmdCancel->isEnabled();
    s.commands = w->cmdAdd->isEnabled() && w->cmdRemove->isEnabled() && w->cmdScan->isEnabled();
    s.folderMenu = w->mnuFolder->isEnabled() && w->mnuHelp->isEnabled();
    s.running = w->engine().running();
    samples.push_back(s);
  });

  // Report.
  typePrefix(*w, "t_");
  samples.clear();
  QTest::mouseClick(w->cmdScan, Qt::LeftButton);
  const std::int64_t a = sizeOf("start/a.jpg"), b = sizeOf("start/b.jpg"), c = sizeOf("start/sub1/c.jpg"),
                     d = sizeOf("start/sub1/inner/d.jpg");
  const std::vector<std::string> report = {folderLine(*w, start, 2, 2, a + b, 0),
                                           folderLine(*w, folders[1], 1, 1, c, 0),
                                           folderLine(*w, folders[2], 0, 1, d, 0),
                                           folderLine(*w, folders[3], 0, 0, 0, 0),
                                           kSeparator,
                                           totalsLine(*w, 3, 4, a + b + c + d, 0)};
  EXPECT_EQ(status(*w), report);
  ASSERT_EQ(samples.size(), 6u);
  const char* const percent[4] = {"25", "50", "75", "100"};
  for (std::size_t k = 0; k < 4; ++k) {
    SCOPED_TRACE(folders[k]);
    EXPECT_EQ(samples[k].title, "Pixelmote - " + std::string(percent[k]) + "% " + folders[k]);
    EXPECT_EQ(samples[k].totalLabel, percent[k]);
    EXPECT_FLOAT_EQ(samples[k].totalFill, 169.0f * static_cast<float>(k + 1) / 4.0f);
    // The list on screen shows it at the screen's rate, and the start
    // folder once the run is over (below).
    EXPECT_EQ(samples[k].folderListPath, folders[k]) << "the folder list follows the run";
  }
  for (const Sample& s : samples) {
    SCOPED_TRACE(s.line);
    EXPECT_TRUE(s.running);
    EXPECT_FALSE(s.dir1);
    EXPECT_FALSE(s.drive1);
    EXPECT_FALSE(s.panel);
    EXPECT_FALSE(s.typeMenu);
    EXPECT_TRUE(s.stop);
    EXPECT_TRUE(s.commands);
    EXPECT_TRUE(s.folderMenu);
  }
  for (std::size_t k = 0; k < 4; ++k) {
    EXPECT_NE(std::find(titles.titles.begin(), titles.titles.end(), samples[k].title), titles.titles.end());
  }
  ASSERT_FALSE(titles.titles.empty());
  EXPECT_EQ(titles.titles.back(), "Pixelmote - " + start);
  EXPECT_EQ(w->windowTitle().toStdString(), "Pixelmote - " + start);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(w->picBar[i]->fillWidth(), 0.0f);
    EXPECT_EQ(text(w->lblSlide[i + 3]), "0");
  }
  EXPECT_TRUE(w->Dir1->isEnabled());
  EXPECT_TRUE(w->Drive1->isEnabled());
  EXPECT_TRUE(w->picPanel->isEnabled());
  EXPECT_TRUE(w->mnuType->isEnabled());
  EXPECT_EQ(w->engine().Dir1().path(), start);
  EXPECT_EQ(currentDir1Entry(*w), start);
  for (const std::string& f : folders) EXPECT_FALSE(fileExists(f + "/index.html")) << "Report writes nothing";

  // Create at half size.
  drag(*w, 0, 5, {76});
  samples.clear();
  QTest::mouseClick(w->cmdAdd, Qt::LeftButton);
  const char* const thumbs[4] = {"start/t_a.jpg", "start/t_b.jpg", "start/sub1/t_c.jpg", "start/sub1/inner/t_d.jpg"};
  for (const char* t : thumbs) ASSERT_TRUE(tree.exists(t)) << t;
  const std::int64_t ta = sizeOf(thumbs[0]), tb = sizeOf(thumbs[1]), tc = sizeOf(thumbs[2]), td = sizeOf(thumbs[3]);
  const std::vector<std::string> create = {folderLine(*w, start, 2, 2, a + b, ta + tb),
                                           folderLine(*w, folders[1], 1, 1, c, tc),
                                           folderLine(*w, folders[2], 0, 1, d, td),
                                           folderLine(*w, folders[3], 0, 0, 0, 0),
                                           kSeparator,
                                           totalsLine(*w, 3, 4, a + b + c + d, ta + tb + tc + td)};
  EXPECT_EQ(status(*w), create);
  ASSERT_EQ(samples.size(), 6u);
  for (const Sample& s : samples) EXPECT_FALSE(s.panel || s.dir1 || s.drive1 || s.typeMenu) << s.line;
  EXPECT_TRUE(w->picPanel->isEnabled());
  EXPECT_EQ(w->windowTitle().toStdString(), "Pixelmote - " + start);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(text(w->lblSlide[i + 3]), "0");

  imaging::RasterSink sink;
  const std::string thumb = tree.read(thumbs[0]);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(thumb.data());
  ASSERT_TRUE(imaging::decodeJpeg(imaging::Bytes(bytes, thumb.size()), {}, sink));
  EXPECT_EQ(sink.raster.size, (imaging::Size{8, 6})) << "the size slider at 50%";
  for (const std::string& f : folders) EXPECT_TRUE(fileExists(f + "/index.html")) << f;
  const std::string page = tree.read("start/index.html");
  EXPECT_NE(page.find("t_a.jpg"), std::string::npos);
  EXPECT_NE(page.find("sub1"), std::string::npos);

  // A Report now measures the thumbnails the Create wrote.
  QTest::mouseClick(w->cmdScan, Qt::LeftButton);
  EXPECT_EQ(status(*w), create);

  // Remove takes thumbnails and pages away again.
  QTest::mouseClick(w->cmdRemove, Qt::LeftButton);
  EXPECT_EQ(status(*w), report);
  for (const char* t : thumbs) EXPECT_FALSE(tree.exists(t)) << t;
  for (const std::string& f : folders) EXPECT_FALSE(fileExists(f + "/index.html")) << f;
  EXPECT_TRUE(messages.empty());
  EXPECT_TRUE(opened.empty()) << "preview is off at start";
  EXPECT_EQ(leftoverBitmaps(), 0);
}

TEST_F(FrmmainTest, AThumbnailTypeChosenDuringACreateRunReachesTheFoldersStillToCome) {
  makePictureTree();
  auto w = openWindow();
  typePrefix(*w, "t_");
  bool chosen = false;
  onStatusLine(*w, [&](const std::string&) {
    if (chosen) return;
    // The start folder is done (its thumbnails are JPEG); sub1 is to come.
    chosen = true;
    w->mnuTGIF->trigger();
  });
  QTest::mouseClick(w->cmdAdd, Qt::LeftButton);
  ASSERT_TRUE(chosen);
  EXPECT_TRUE(tree.exists("start/t_a.jpg"));
  EXPECT_TRUE(tree.exists("start/t_b.jpg"));
  EXPECT_EQ(tree.read("start/sub1/t_c.gif").substr(0, 6), "GIF89a");
  EXPECT_EQ(tree.read("start/sub1/inner/t_d.gif").substr(0, 6), "GIF89a");
  EXPECT_FALSE(tree.exists("start/sub1/t_c.jpg"));
  EXPECT_EQ(w->cmbTo->currentText(), "GIF");
  EXPECT_EQ(w->runSettings().sThumbExt, "gif") << "the next run takes it too";
}

TEST_F(FrmmainTest, StopClickedDuringARunEndsItWithTheTotals) {
  makePictureTree();
  auto w = openWindow();
  typePrefix(*w, "t_");

  // Clicked before the walk has recorded anything.
  QTimer::singleShot(0, w.get(), [&] { QTest::mouseClick(w->cmdCancel, Qt::LeftButton); });
  QTest::mouseClick(w->cmdScan, Qt::LeftButton);
  EXPECT_EQ(status(*w), (std::vector<std::string>{kSeparator, totalsLine(*w, 0, 0, 0, 0)}));
  EXPECT_FALSE(w->engine().running());

  // Clicked once the first folder's line is out: the next folder still
  // completes, then the totals follow.
  bool armed = false;
  onStatusLine(*w, [&](const std::string&) {
    if (armed) return;
    armed = true;
    QTimer::singleShot(0, w.get(), [&] { QTest::mouseClick(w->cmdCancel, Qt::LeftButton); });
  });
  QTest::mouseClick(w->cmdAdd, Qt::LeftButton);
  const std::vector<std::string> lines = status(*w);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].rfind(start + ": 2 folders, 2 files (", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1].rfind(folders[1] + ": 1 folders, 1 files (", 0), 0u) << lines[1];
  EXPECT_EQ(lines[2], kSeparator);
  EXPECT_EQ(lines[3].rfind(start + ": 3 folders, 3 files (", 0), 0u) << lines[3];
  EXPECT_TRUE(fileExists(start + "/index.html"));
  EXPECT_TRUE(fileExists(folders[1] + "/index.html"));
  EXPECT_FALSE(fileExists(folders[2] + "/index.html")) << "not every folder was processed";
  EXPECT_FALSE(fileExists(folders[3] + "/index.html"));
  EXPECT_FALSE(tree.exists("start/sub1/inner/t_d.jpg"));
  EXPECT_EQ(w->windowTitle().toStdString(), "Pixelmote - " + start);
  EXPECT_TRUE(w->picPanel->isEnabled());
  EXPECT_EQ(leftoverBitmaps(), 0);

  // Stop is cleared for the next run.
  armed = true;
  QTest::mouseClick(w->cmdScan, Qt::LeftButton);
  EXPECT_EQ(status(*w).size(), 6u);
}

TEST_F(FrmmainTest, ASecondCommandDuringARunIsIgnored) {
  makePictureTree();
  auto w = openWindow();
  typePrefix(*w, "t_");
  int clicked = 0;
  onStatusLine(*w, [&](const std::string&) {
    if (clicked > 0) return;
    ++clicked;
    QTimer::singleShot(0, w.get(), [&] {
      QTest::mouseClick(w->cmdScan, Qt::LeftButton);
      QTest::mouseClick(w->cmdAdd, Qt::LeftButton);
      QTest::mouseClick(w->cmdRemove, Qt::LeftButton);
      w->mnuScan->trigger();
      w->mnuAdd->trigger();
      ++clicked;
    });
  });
  QTest::mouseClick(w->cmdScan, Qt::LeftButton);
  EXPECT_EQ(clicked, 2) << "the second commands were given during the run";
  const std::vector<std::string> lines = status(*w);
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), kSeparator), 1);
  EXPECT_EQ(lines[0].rfind(start + ": ", 0), 0u);
  EXPECT_EQ(lines[3].rfind(folders[3] + ": ", 0), 0u);
  EXPECT_FALSE(tree.exists("start/t_a.jpg")) << "no Create ran";
  for (const std::string& f : folders) EXPECT_FALSE(fileExists(f + "/index.html"));
  EXPECT_TRUE(messages.empty());
}

TEST_F(FrmmainTest, PreviewOpensTheStartPageAfterACreateRunWhenOn) {
  makePictureTree();
  auto w = openWindow();
  EXPECT_FALSE(w->chkPreview->isChecked());
  EXPECT_FALSE(w->mnuPreview->isChecked());

  QTest::mouseClick(w->chkPreview, Qt::LeftButton);
  EXPECT_TRUE(w->chkPreview->isChecked());
  EXPECT_TRUE(w->mnuPreview->isChecked());
  w->mnuPreview->trigger();
  EXPECT_FALSE(w->mnuPreview->isChecked());
  EXPECT_FALSE(w->chkPreview->isChecked());
  w->mnuPreview->trigger();
  EXPECT_TRUE(w->chkPreview->isChecked());

  typePrefix(*w, "t_");
  bool runOver = false;
  bool pageThere = false;
  onOpen = [&] {
    runOver = !w->engine().running();
    pageThere = fileExists(start + "/index.html");
  };
  QTest::mouseClick(w->cmdScan, Qt::LeftButton);
  EXPECT_TRUE(opened.empty()) << "only Create previews";
  QTest::mouseClick(w->cmdAdd, Qt::LeftButton);
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0], QUrl::fromLocalFile(QString::fromStdString(start + "/index.html")));
  EXPECT_EQ(opened[0].scheme(), "file");
  EXPECT_TRUE(runOver);
  EXPECT_TRUE(pageThere);

  QTest::mouseClick(w->chkPreview, Qt::LeftButton);
  EXPECT_FALSE(w->mnuPreview->isChecked());
  QTest::mouseClick(w->cmdAdd, Qt::LeftButton);
  EXPECT_EQ(opened.size(), 1u) << "preview off opens nothing";
  EXPECT_TRUE(messages.empty());
}

// ----- help, drives, About ---------------------------------------------------------

TEST_F(FrmmainTest, HelpContentsShowsOnlyItsMessage) {
  auto w = openWindow();
  const std::vector<std::string> before = status(*w);
  w->mnuContents->trigger();
  EXPECT_EQ(messages, std::vector<std::string>{"Visit the website (see the 'About' box)."});
  EXPECT_TRUE(opened.empty());
  EXPECT_EQ(status(*w), before);
  EXPECT_EQ(w->windowTitle().toStdString(), "Pixelmote - " + start);
  EXPECT_TRUE(aboutShownOver.empty());
}

TEST_F(FrmmainTest, DriveListMovesTheFolderListOrReturnsFromAnUnreadableVolume) {
  const std::string other = tree.folder("other");
  tree.folder("other/inside");
  const std::string gone = tree.path("gone");
  volumes = {"/", tree.root(), gone, other};
  auto w = openWindow();
  ASSERT_EQ(w->Drive1->count(), 4);
  ASSERT_EQ(w->Drive1->currentIndex(), 1);
  const std::vector<std::string> before = status(*w);

  w->Drive1->setFocus();
  QTest::keyClick(w->Drive1, Qt::Key_Down);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find(gone), std::string::npos) << messages[0];
  EXPECT_EQ(w->Drive1->currentIndex(), 1) << "back on the folder list's volume";
  EXPECT_EQ(w->engine().Dir1().path(), start);

  w->Drive1->setCurrentIndex(2);
  QTest::keyClick(w->Drive1, Qt::Key_Down);
  EXPECT_EQ(messages.size(), 1u);
  EXPECT_EQ(w->Drive1->currentText().toStdString(), other);
  EXPECT_EQ(w->engine().Dir1().path(), other);
  EXPECT_EQ(currentDir1Entry(*w), other);
  EXPECT_EQ(w->Dir1->item(w->Dir1->count() - 1)->data(Qt::UserRole).toByteArray().toStdString(),
            other + "/inside");
  EXPECT_EQ(status(*w), before) << "changing the folder writes no status line";
  EXPECT_EQ(w->windowTitle().toStdString(), "Pixelmote - " + start);
}

TEST_F(FrmmainTest, HelpAboutHandsTheMainWindowToTheAboutCallback) {
  auto w = openWindow();
  w->mnuAbout->trigger();
  w->mnuAbout->trigger();
  EXPECT_EQ(aboutShownOver, (std::vector<QWidget*>{w.get(), w.get()}));
  EXPECT_TRUE(opened.empty());
  EXPECT_TRUE(w->isVisible()) << "the main window stays";
}

// ----- closing during a run -----------------------------------------------------------

TEST_F(FrmmainTest, ClosingDuringACreateRunSavesTheSettingsAndEndsTheRun) {
  makePictureTree();
  tree.fileWith("pixelmote.ini", "[Image]\nPrefix=t_\nSize=76\n");

  // Count the event passes a whole Create run makes.
  int passes = 0;
  {
    auto w = openWindow();
    QTimer counter;
    counter.setInterval(0);
    QObject::connect(&counter, &QTimer::timeout, [&] { ++passes; });
    counter.start();
    QTest::mouseClick(w->cmdAdd, Qt::LeftButton);
    counter.stop();
    ASSERT_EQ(status(*w).size(), 6u);
  }
  ASSERT_GT(passes, 8);

  for (const int closeAt : {1, passes / 4, passes / 2, passes * 3 / 4}) {
    SCOPED_TRACE("closed at event pass " + std::to_string(closeAt));
    for (const std::string& f : folders) std::remove((f + "/index.html").c_str());
    tree.fileWith("pixelmote.ini", "[Image]\nPrefix=t_\nSize=76\n");
    auto w = openWindow();
    int pass = 0;
    bool closedInRun = false;
    QTimer counter;
    counter.setInterval(0);
    QObject::connect(&counter, &QTimer::timeout, [&] {
      if (++pass != closeAt) return;
      closedInRun = w->engine().running();
      w->close();
    });
    counter.start();
    QTest::mouseClick(w->cmdAdd, Qt::LeftButton);
    counter.stop();
    ASSERT_TRUE(closedInRun);
    EXPECT_FALSE(w->engine().running());
    EXPECT_FALSE(w->isVisible());
    EXPECT_EQ(ReadSetting(settingsPath, "Folder", "Path"), start) << "the run's start folder is saved";
    EXPECT_EQ(ReadSetting(settingsPath, "Image", "Prefix"), "t_");
    EXPECT_EQ(ReadSetting(settingsPath, "Image", "Size"), "76");
    EXPECT_EQ(leftoverBitmaps(), 0);
    EXPECT_LE(pass, closeAt + 1) << "no events are handled after the close";
    if (closeAt <= passes / 2) {
      EXPECT_FALSE(fileExists(folders[3] + "/index.html")) << "the run did not go on to its end";
    }
    const std::vector<std::string> lines = status(*w);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], kSeparator);
    EXPECT_TRUE(messages.empty());
  }
}

}  // namespace
}  // namespace pixelmote::ui
