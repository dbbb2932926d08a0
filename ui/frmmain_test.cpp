// Drives the real main window headless: a whole Create through the window,
// Stop and closing during a run, the prefix rule, the settings file kept
// across starts, and the controls that must stay in step.
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
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QThread>
#include <QWindow>
#include <QDir>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <functional>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "batch/format.h"
#include "imaging/codec.h"
#include "imaging/imglib.h"
#include "testsupport/temp_tree.h"
#include "ui/frame_pacer.h"
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

// The names in a folder, "." and ".." left out, sorted.
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

// Temporary bitmaps of this process left in the program's writable folder.
int leftoverBitmaps() {
  const auto folder = util::writableProgramFolder();
  if (!folder) return -1;
  const std::string mine = "temp" + std::to_string(::getpid()) + "-";
  const auto names = folderNames(folder.value());
  return static_cast<int>(std::count_if(names.begin(), names.end(), [&](const std::string& n) { return n.rfind(mine, 0) == 0; }));
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string text(const QLabel* label) { return label->text().toStdString(); }

class FrmmainTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { imaging::startImaging(); }

  std::unique_ptr<frmmain> openWindow() {
    WindowOptions o;
    o.settingsPath = settingsPath;
    o.startSettingsPath = startSettingsPath;
    o.startFolder = start;
    o.probeFolder = probe;
    o.volumes = [this] {
      ++volumeReads;
      return volumes;
    };
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

  // The folder each entry of the folder list stands for, and the current one.
  static std::vector<std::string> folderEntries(const frmmain& w) {
    std::vector<std::string> entries;
    for (int i = 0; i < w.Dir1->count(); ++i) entries.push_back(w.Dir1->item(i)->data(Qt::UserRole).toByteArray().toStdString());
    return entries;
  }
  static std::string currentFolderEntry(const frmmain& w) {
    const QListWidgetItem* item = w.Dir1->currentItem();
    return item == nullptr ? std::string() : item->data(Qt::UserRole).toByteArray().toStdString();
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

  // start (a.jpg, b.jpg), sub1 (c.jpg), sub1/inner (d.jpg), sub2: visited in this order.
  void makePictureTree() {
    const auto jpeg = [](int width, int height, imaging::Rgb colour) {
      return imaging::encodeJpeg(imaging::Raster(imaging::Size{width, height}, colour), 80, 0).value();
    };
    tree.fileWith("start/a.jpg", jpeg(16, 12, {200, 30, 30}));
    tree.fileWith("start/b.jpg", jpeg(12, 16, {30, 200, 30}));
    tree.fileWith("start/sub1/c.jpg", jpeg(20, 10, {30, 30, 200}));
    tree.fileWith("start/sub1/inner/d.jpg", jpeg(10, 10, {90, 90, 90}));
    tree.folder("start/sub2");
    folders = {start, start + "/sub1", start + "/sub1/inner", start + "/sub2"};
  }

  std::int64_t sizeOf(const std::string& relative) const {
    return tree.exists(relative) ? static_cast<std::int64_t>(tree.read(relative).size()) : 0;
  }

  // The status lines of a whole run over the picture tree: one per folder, the totals.
  std::vector<std::string> runLines(frmmain& w, const char* thumbExt) const {
    const auto bytes = [&](std::int64_t n) { return batch::funBytes(n, w.engine().numbers()); };
    const auto line = [&](const std::string& path, int subFolders, int files, std::int64_t size, std::int64_t thumbs) {
      return path + ": " + std::to_string(subFolders) + " folders, " + std::to_string(files) + " files (" +
             bytes(size) + " [" + bytes(thumbs) + "])";
    };
    const auto thumb = [&](const char* folder, const char* name) {
      return sizeOf(std::string(folder) + "/t_" + name + "." + thumbExt);
    };
    const std::int64_t ab = sizeOf("start/a.jpg") + sizeOf("start/b.jpg"), c = sizeOf("start/sub1/c.jpg"),
                       d = sizeOf("start/sub1/inner/d.jpg");
    const std::int64_t tab = thumb("start", "a") + thumb("start", "b"), tc = thumb("start/sub1", "c"),
                       td = thumb("start/sub1/inner", "d");
    return {line(start, 2, 2, ab, tab),         line(folders[1], 1, 1, c, tc), line(folders[2], 0, 1, d, td),
            line(folders[3], 0, 0, 0, 0),       kSeparator,
            line(start, 3, 4, ab + c + d, tab + tc + td) + " - " +
                batch::sizeFigure(tab + tc + td, ab + c + d, w.engine().numbers()) + "%"};
  }

  TempTree tree;
  std::string start = tree.folder("start");
  std::string probe = tree.folder("probe");
  std::string settingsPath = tree.path("pixelmote.ini");
  std::string startSettingsPath = tree.path("xdg/pixelmote/pixelmote.ini");  // only if a test writes it
  std::vector<std::string> volumes{"/", tree.root()};
  int volumeReads = 0;
  std::vector<std::string> folders;
  std::vector<std::string> messages;
  std::vector<QUrl> opened;
  std::function<void()> onOpen;
};

// ----- a whole session ------------------------------------------------------------

TEST_F(FrmmainTest, ReportCreateAndRemoveThroughTheWindow) {
  makePictureTree();
  auto w = openWindow();
  const std::string idle = "Pixelmote - " + start;
  EXPECT_EQ(w->windowTitle().toStdString(), idle);
  EXPECT_EQ(status(*w), std::vector<std::string>{"Found 2 JPG images in " + start});

  // Choose a folder and come back; set the prefix, the size slider and preview.
  openFolder(*w, folders[1]);
  EXPECT_EQ(w->engine().Dir1().path(), folders[1]);
  openFolder(*w, start);
  EXPECT_EQ(w->engine().Dir1().path(), start);
  typePrefix(*w, "t_");
  drag(*w, 0, 5, {76});
  EXPECT_EQ(text(w->lblSlide[0]), "50");
  QTest::mouseClick(w->chkPreview, Qt::LeftButton);
  EXPECT_TRUE(w->mnuPreview->isChecked()) << "the check box and its menu item stay in step";
  bool previewAfterRun = false;
  onOpen = [&] { previewAfterRun = !w->engine().running() && tree.exists("start/index.html"); };

  // Report writes nothing and opens nothing.
  QTest::mouseClick(w->cmdScan, Qt::LeftButton);
  EXPECT_EQ(status(*w), runLines(*w, "jpg"));
  EXPECT_FALSE(tree.exists("start/index.html"));
  EXPECT_TRUE(opened.empty()) << "only Create previews";

  // Create: the window during the run, line by line.
  int folderLines = 0;
  onStatusLine(*w, [&](const std::string& line) {
    if (folderLines >= 4 || line == kSeparator) return;
    const int k = ++folderLines;
    SCOPED_TRACE(line);
    EXPECT_EQ(w->windowTitle().toStdString(), "Pixelmote - " + std::to_string(25 * k) + "% " + folders[k - 1]);
    EXPECT_EQ(text(w->lblSlide[3]), std::to_string(25 * k));
    EXPECT_FLOAT_EQ(w->picBar[0]->fillWidth(), 169.0f * static_cast<float>(k) / 4.0f);
    EXPECT_EQ(w->engine().Dir1().path(), folders[k - 1]) << "the folder list follows the run";
    EXPECT_FALSE(w->picPanel->isEnabled() || w->Dir1->isEnabled() || w->Drive1->isEnabled() ||
                 w->mnuType->isEnabled());
    EXPECT_TRUE(w->cmdCancel->isEnabled());
  });
  QTest::mouseClick(w->cmdAdd, Qt::LeftButton);
  EXPECT_EQ(folderLines, 4);
  EXPECT_EQ(status(*w), runLines(*w, "jpg"));
  for (const std::string& f : folders) EXPECT_TRUE(tree.exists(f.substr(tree.root().size() + 1) + "/index.html")) << f;
  EXPECT_NE(tree.read("start/index.html").find("t_a.jpg"), std::string::npos);
  imaging::RasterSink sink;
  const std::string thumb = tree.read("start/t_a.jpg");
  ASSERT_TRUE(imaging::decodeJpeg(
      imaging::Bytes(reinterpret_cast<const std::uint8_t*>(thumb.data()), thumb.size()), {}, sink));
  EXPECT_EQ(sink.raster.size, (imaging::Size{8, 6})) << "the size slider at 50%";

  // The window at the end: idle title, empty bars, controls back, the preview.
  EXPECT_EQ(w->windowTitle().toStdString(), idle);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(w->picBar[i]->fillWidth(), 0.0f);
    EXPECT_EQ(text(w->lblSlide[i + 3]), "0");
  }
  EXPECT_TRUE(w->picPanel->isEnabled() && w->Dir1->isEnabled() && w->Drive1->isEnabled() && w->mnuType->isEnabled());
  EXPECT_EQ(w->engine().Dir1().path(), start);
  EXPECT_EQ(opened, std::vector<QUrl>{QUrl::fromLocalFile(QString::fromStdString(start + "/index.html"))});
  EXPECT_TRUE(previewAfterRun) << "the page is opened once the run is over";

  // Remove takes thumbnails and pages away again.
  folderLines = 4;
  QTest::mouseClick(w->cmdRemove, Qt::LeftButton);
  EXPECT_FALSE(tree.exists("start/t_a.jpg"));
  EXPECT_FALSE(tree.exists("start/sub1/inner/index.html"));
  EXPECT_EQ(status(*w), runLines(*w, "jpg"));
  EXPECT_TRUE(messages.empty());
  EXPECT_EQ(leftoverBitmaps(), 0);
}

TEST_F(FrmmainTest, AThumbnailTypeChosenDuringACreateRunReachesTheFoldersStillToCome) {
  makePictureTree();
  auto w = openWindow();
  typePrefix(*w, "t_");
  bool chosen = false;
  onStatusLine(*w, [&](const std::string&) {
    if (!chosen) w->mnuTGIF->trigger();  // the start folder is done; sub1 is to come
    chosen = true;
  });
  QTest::mouseClick(w->cmdAdd, Qt::LeftButton);
  EXPECT_TRUE(tree.exists("start/t_a.jpg"));
  EXPECT_EQ(tree.read("start/sub1/t_c.gif").substr(0, 6), "GIF89a");
  EXPECT_EQ(tree.read("start/sub1/inner/t_d.gif").substr(0, 6), "GIF89a");
  EXPECT_FALSE(tree.exists("start/sub1/t_c.jpg"));
  EXPECT_EQ(w->cmbTo->currentText(), "GIF");
  EXPECT_EQ(w->runSettings().sThumbExt, "gif") << "the next run takes it too";
}

TEST_F(FrmmainTest, StopEndsARunWithItsTotalsAndOtherCommandsWaitForItsEnd) {
  makePictureTree();
  auto w = openWindow();
  typePrefix(*w, "t_");

  // Clicked before the walk has recorded anything.
  QTimer::singleShot(0, w.get(), [&] { QTest::mouseClick(w->cmdCancel, Qt::LeftButton); });
  QTest::mouseClick(w->cmdScan, Qt::LeftButton);
  ASSERT_EQ(status(*w).size(), 2u);
  EXPECT_EQ(status(*w)[0], kSeparator);
  EXPECT_EQ(status(*w)[1].rfind(start + ": 0 folders, 0 files (", 0), 0u) << status(*w)[1];

  // Clicked after the first folder's line, with other commands: the next
  // folder still completes, then the totals follow.
  bool armed = false;
  onStatusLine(*w, [&](const std::string&) {
    if (armed) return;
    armed = true;
    QTimer::singleShot(0, w.get(), [&] {
      QTest::mouseClick(w->cmdScan, Qt::LeftButton);
      QTest::mouseClick(w->cmdRemove, Qt::LeftButton);
      w->mnuAdd->trigger();
      QTest::mouseClick(w->cmdCancel, Qt::LeftButton);
    });
  });
  QTest::mouseClick(w->cmdAdd, Qt::LeftButton);
  const std::vector<std::string> lines = status(*w);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[1].rfind(folders[1] + ": 1 folders, 1 files (", 0), 0u) << lines[1];
  EXPECT_EQ(lines[2], kSeparator);
  EXPECT_EQ(lines[3].rfind(start + ": 3 folders, 3 files (", 0), 0u) << lines[3];
  EXPECT_TRUE(tree.exists("start/sub1/index.html"));
  EXPECT_FALSE(tree.exists("start/sub1/inner/index.html")) << "the run stopped";
  EXPECT_EQ(w->windowTitle().toStdString(), "Pixelmote - " + start);
  EXPECT_TRUE(w->picPanel->isEnabled());
  EXPECT_EQ(leftoverBitmaps(), 0);

  QTest::mouseClick(w->cmdScan, Qt::LeftButton);
  EXPECT_EQ(status(*w).size(), 6u) << "Stop is cleared for the next run";
}

TEST_F(FrmmainTest, ClosingDuringACreateRunSavesTheSettingsAndEndsTheRun) {
  makePictureTree();
  for (const int closeAt : {1, 4}) {
    SCOPED_TRACE("closed at event pass " + std::to_string(closeAt));
    tree.fileWith("pixelmote.ini", "[Image]\nPrefix=t_\nSize=76\n");
    std::remove(tree.path("start/sub2/index.html").c_str());
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
    EXPECT_EQ(ReadSetting(settingsPath, "Folder", "Path"), start);
    EXPECT_EQ(ReadSetting(settingsPath, "Image", "Size"), "76");
    EXPECT_LE(pass, closeAt + 1) << "no events are handled after the close";
    EXPECT_FALSE(tree.exists("start/sub2/index.html")) << "the run did not go on to its end";
    EXPECT_EQ(leftoverBitmaps(), 0);
  }
}

// ----- controls -------------------------------------------------------------------

TEST_F(FrmmainTest, KnobsFollowTheLeftButtonDragWithinTheTrack) {
  auto w = openWindow();
  const struct {
    int knob, grabX;
    std::vector<int> travel;
    float offset;
    const char* label;
  } drags[] = {
      {0, 8, {50, 120, 200}, 152.0f, "100"},  // stops at the end
      {0, 8, {-100, -400}, 0.0f, "0"},
      {0, 3, {10, 40, 76}, 76.0f, "50"},
      {0, 8, {-200, -176}, 0.0f, "0"},  // past the end the knob waits for the pointer
      {0, 8, {1}, 1.0f, "1"},           // 0.66 shows as 1
      {2, 8, {300, 150}, 150.0f, "99"},
  };
  for (const auto& d : drags) {
    drag(*w, d.knob, d.grabX, d.travel);
    EXPECT_EQ(w->knobOffset(d.knob), d.offset) << "knob " << d.knob;
    EXPECT_EQ(text(w->lblSlide[d.knob]), d.label);
  }
  EXPECT_EQ(text(w->lblSlide[0]), "1") << "another knob's drag leaves this one";
  drag(*w, 1, 8, {30, 90}, Qt::RightButton, Qt::RightButton);
  drag(*w, 1, 8, {30, 90}, Qt::LeftButton | Qt::RightButton);
  EXPECT_EQ(w->knobOffset(1), 0.0f) << "only a drag with the left button alone moves a knob";
  EXPECT_EQ(status(*w).size(), 1u);
}

TEST_F(FrmmainTest, TypeListsAndTypeMenusStayInStep) {
  for (const char* name : {"a.jpg", "x.gif", "y.GIF"}) tree.file(std::string("start/") + name, 5);
  auto w = openWindow();
  w->cmbFrom->setFocus();
  QTest::keyClick(w->cmbFrom, Qt::Key_Down);
  EXPECT_EQ(status(*w).back(), "Found 2 GIF images in " + start);
  EXPECT_EQ(w->runSettings().sImageExt, "gif");
  EXPECT_TRUE(w->mnuIGIF->isChecked() && !w->mnuIJPG->isChecked());
  EXPECT_TRUE(w->mnuTJPG->isChecked()) << "the thumbnail menu keeps its mark";

  w->mnuTGIF->trigger();
  EXPECT_EQ(w->cmbTo->currentText(), "GIF");
  EXPECT_TRUE(w->mnuTGIF->isChecked() && !w->mnuTJPG->isChecked());
  EXPECT_EQ(status(*w).size(), 2u) << "the thumbnail type writes no status line";

  w->mnuIJPG->trigger();
  EXPECT_EQ(w->cmbFrom->currentText(), "JPG");
  EXPECT_EQ(status(*w).back(), "Found 1 JPG images in " + start);
  w->cmbTo->setFocus();
  QTest::keyClick(w->cmbTo, Qt::Key_Up);
  EXPECT_EQ(w->runSettings().sThumbExt, "jpg");
  EXPECT_TRUE(w->mnuTJPG->isChecked() && !w->mnuTGIF->isChecked());
}

// ----- prefix rule ------------------------------------------------------------

std::vector<std::string> g_probed;  // the paths the probe opened
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
  ASSERT_FALSE(g_probed.empty());
  for (const std::string& path : g_probed) {  // in the probe folder, named for this process
    const std::string name = path.substr(path.rfind('/') + 1);
    EXPECT_EQ(path, probe + "/" + name);
    const auto parsed = util::parseTemporaryName(name);
    ASSERT_TRUE(parsed.has_value()) << name;
    EXPECT_EQ(parsed->owner, self);
  }

  const long nameMax = ::pathconf(probe.c_str(), _PC_NAME_MAX);
  const int longest = static_cast<int>(
      std::min<std::size_t>(util::kLongestProbedPrefix, static_cast<std::size_t>(nameMax) - bareProbe.size()));
  const struct {
    QString given;
    QString kept;
  } pastes[] = {
      {"x/y", "x"},
      {"/abc", ""},
      {QString(static_cast<int>(nameMax) + 20, 'n'), QString(longest, 'n')},
      {"/" + QString(30000, 'q'), ""},
      {QString(30000, 'n'), QString(longest, 'n')},
  };
  for (const auto& p : pastes) {
    w->txtPre->setText(p.given);
    EXPECT_EQ(w->txtPre->text(), p.kept) << p.given.left(20).toStdString();
    EXPECT_EQ(w->runSettings().sPrefix, p.kept.toStdString());
  }

  // "/" typed between two letters takes the second along; then nothing is left.
  typePrefix(*w, "ab");
  QTest::keyClick(w->txtPre, Qt::Key_Left);
  QTest::keyClick(w->txtPre, '/');
  EXPECT_EQ(w->txtPre->text(), "a");
  QTest::keyClick(w->txtPre, Qt::Key_Backspace);
  EXPECT_EQ(w->runSettings().sPrefix, "");
  QTest::mouseClick(w->cmdAdd, Qt::LeftButton);
  EXPECT_EQ(messages, std::vector<std::string>{"Please enter a thumbnail prefix."});
  EXPECT_EQ(status(*w).size(), 1u) << "no run";

  std::vector<std::string> kept{abProbe, bareProbe};
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(folderNames(probe), kept) << "no probe is left behind";
  EXPECT_EQ(tree.read("probe/" + abProbe), "keep");
}

TEST_F(FrmmainTest, PrefixBoxEndsEmptyWhenTheProbeFolderCannotBeWritten) {
  probe = tree.path("no such folder");
  tree.fileWith("pixelmote.ini", "[Image]\nPrefix=t_\n");
  auto w = openWindow();
  EXPECT_EQ(w->txtPre->text(), "");
  w->txtPre->setFocus();
  QTest::keyClicks(w->txtPre, "ab");
  EXPECT_EQ(w->txtPre->text(), "");
  EXPECT_EQ(w->runSettings().sPrefix, "");
  EXPECT_TRUE(messages.empty()) << "the rule never shows a message";
}

// ----- settings file ------------------------------------------------------------

TEST_F(FrmmainTest, SettingsAreSavedOnCloseAndRestoredOnTheNextStart) {
  const std::string photos = tree.folder("start/photos");
  tree.file("start/photos/one.gif", 5);
  {
    auto w = openWindow();
    openFolder(*w, photos);
    w->mnuIGIF->trigger();
    w->mnuTGIF->trigger();
    w->cmbCol->setCurrentIndex(2);
    w->cmbBorder->setCurrentIndex(0);
    typePrefix(*w, "x_");
    drag(*w, 0, 5, {76});
    drag(*w, 1, 5, {300});
    EXPECT_FALSE(tree.exists("pixelmote.ini")) << "nothing is saved before the window closes";
    w->close();
  }
  const std::string saved = tree.read("pixelmote.ini");
  EXPECT_EQ(saved, "[Folder]\nPath=" + photos +
                       "\n[Image]\nType=GIF\nThumb=GIF\nColumn=3\nBorder=0\nPrefix=x_\nSize=76\nQuality=152\nSmooth=0\n");

  auto w = openWindow();
  EXPECT_EQ(w->engine().Dir1().path(), photos);
  EXPECT_EQ(w->windowTitle().toStdString(), "Pixelmote - " + start) << "the title names the start-up folder";
  EXPECT_EQ(w->cmbFrom->currentText(), "GIF");
  EXPECT_TRUE(w->mnuIGIF->isChecked() && w->mnuTGIF->isChecked());
  EXPECT_EQ(w->cmbTo->currentText(), "GIF");
  EXPECT_EQ(w->cmbCol->currentText(), "3");
  EXPECT_EQ(w->cmbBorder->currentText(), "0");
  EXPECT_EQ(w->runSettings().sPrefix, "x_");
  EXPECT_EQ(w->knobOffset(1), 152.0f);
  EXPECT_EQ(text(w->lblSlide[0]), "50");
  EXPECT_EQ(status(*w).back(), "Found 1 GIF images in " + photos);
  w->mnuExit->trigger();  // Folder > Exit saves as the close box does
  EXPECT_FALSE(w->isVisible());
  EXPECT_EQ(tree.read("pixelmote.ini"), saved);
}

TEST_F(FrmmainTest, AFirstStartReadsTheInstalledStartValuesAndExitWritesOnlyTheUsersFile) {
  const std::string installed = readFile(std::string(PIXELMOTE_SOURCE_DIR) + "/data/xdg/pixelmote/pixelmote.ini");
  ASSERT_FALSE(installed.empty());
  tree.fileWith("xdg/pixelmote/pixelmote.ini", installed);
  {
    auto w = openWindow();
    EXPECT_EQ(w->runSettings().sPrefix, "t_");
    EXPECT_EQ(w->knobOffset(0), 38.0f);
    EXPECT_EQ(text(w->lblSlide[1]), "75");
    EXPECT_EQ(w->engine().Dir1().path(), start) << "the start values name no folder";
    typePrefix(*w, "s_");
    w->mnuExit->trigger();
  }
  EXPECT_EQ(tree.read("xdg/pixelmote/pixelmote.ini"), installed) << "the start values are never written";
  EXPECT_EQ(tree.read("pixelmote.ini"), "[Folder]\nPath=" + start +
                                            "\n[Image]\nType=JPG\nThumb=JPG\nColumn=5\nBorder=1\nPrefix=s_\nSize=38\n"
                                            "Quality=114\nSmooth=0\n");

  // From now on the user's file counts, even an empty one.
  tree.fileWith("xdg/pixelmote/pixelmote.ini", "[Image]\nPrefix=u_\nSize=152\n");
  {
    auto w = openWindow();
    EXPECT_EQ(w->txtPre->text(), "s_");
    EXPECT_EQ(w->knobOffset(0), 38.0f);
  }
  tree.fileWith("pixelmote.ini", "");
  auto w = openWindow();
  EXPECT_EQ(w->txtPre->text(), "");
  EXPECT_EQ(w->knobOffset(0), 0.0f);
}

TEST_F(FrmmainTest, ValuesThatDoNotFitLeaveTheirControlAndOtherLinesSurviveASave) {
  const std::string gone = tree.path("gone");
  tree.fileWith("pixelmote.ini",
                "; mine\n[Image]\nSize=500\nQuality=abc\nSmooth=-50\nColumn=11\nBorder=\nType=BMP\nUnknown=kept\n"
                "[Folder]\nPath=" + gone + "\n");
  {
    auto w = openWindow();
    EXPECT_EQ(w->knobOffset(0), 152.0f);
    EXPECT_EQ(w->knobOffset(1), 0.0f);
    EXPECT_EQ(w->knobOffset(2), 0.0f);
    EXPECT_EQ(w->cmbCol->currentText(), "5");
    EXPECT_EQ(w->cmbBorder->currentText(), "1");
    EXPECT_EQ(w->cmbFrom->currentText(), "JPG");
    EXPECT_EQ(w->engine().Dir1().path(), start);
    EXPECT_TRUE(messages.empty()) << "settings problems are never reported";
    w->close();
  }
  EXPECT_EQ(tree.read("pixelmote.ini"),
            "; mine\n[Image]\nSize=152\nQuality=0\nSmooth=0\nColumn=5\nBorder=1\nType=JPG\nUnknown=kept\n"
            "Thumb=JPG\nPrefix=\n[Folder]\nPath=" + start + "\n");
}

// ----- drive and folder lists ----------------------------------------------------------

TEST_F(FrmmainTest, DriveListReadsTheVolumesAgainWheneverItIsOpenedOrChosenFrom) {
  const std::string card = tree.folder("card");
  tree.folder("card/DCIM");
  const std::vector<std::pair<std::string, std::function<void(QComboBox*)>>> openings = {
      {"a click", [](QComboBox* list) { QTest::mouseClick(list, Qt::LeftButton); }},
      {"F4", [](QComboBox* list) { QTest::keyClick(list, Qt::Key_F4); }},
      {"Down on the closed list", [](QComboBox* list) { list->setFocus(); }},
  };
  for (const auto& [how, open] : openings) {
    SCOPED_TRACE("opened by " + how);
    volumes = {"/", tree.root()};
    auto w = openWindow();
    volumes.push_back(card);  // mounted while the window is open
    const int reads = volumeReads;
    open(w->Drive1);
    QWidget* target = w->Drive1->view()->isVisible() ? static_cast<QWidget*>(w->Drive1->view()) : w->Drive1;
    QTest::keyClick(target, Qt::Key_Down);
    if (target != w->Drive1) QTest::keyClick(target, Qt::Key_Return);
    EXPECT_GT(volumeReads, reads);
    EXPECT_EQ(w->engine().Dir1().path(), card);
    EXPECT_EQ(folderEntries(*w).back(), card + "/DCIM");

    volumes.pop_back();  // unmounted again: gone when the list is next read
    QTest::keyClick(w->Drive1, Qt::Key_End);
    EXPECT_EQ(w->Drive1->count(), 2);
    EXPECT_EQ(w->Drive1->currentText().toStdString(), tree.root());
    EXPECT_EQ(w->engine().Dir1().path(), card) << "the current volume chosen again changes nothing";
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(status(*w).size(), 1u) << "reading the volumes writes no status line";
  }

  // A volume that cannot be read is reported and the list goes back.
  const std::string gone = tree.path("gone");
  volumes = {"/", tree.root(), gone};
  auto w = openWindow();
  w->Drive1->setFocus();
  QTest::keyClick(w->Drive1, Qt::Key_Down);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find(gone), std::string::npos) << messages[0];
  EXPECT_EQ(w->Drive1->currentIndex(), 1) << "back on the folder list's volume";
  EXPECT_EQ(w->engine().Dir1().path(), start);
}

// The left edge of what is drawn in `row` of the folder list (its icon).
int drawnLeft(QListWidget* list, int row) {
  list->scrollToItem(list->item(row));
  const QRect rect = list->visualItemRect(list->item(row));
  const QImage image = list->viewport()->grab().toImage();
  const QColor background = image.pixelColor(rect.topLeft());
  for (int x = rect.left(); x <= rect.right(); ++x) {
    for (int y = rect.top(); y <= rect.bottom(); ++y) {
      const QColor c = image.pixelColor(x, y);
      if (std::abs(c.red() - background.red()) + std::abs(c.green() - background.green()) +
              std::abs(c.blue() - background.blue()) > 60) return x;
    }
  }
  return -1;
}

TEST_F(FrmmainTest, FolderListIndentsIconsWithTheirNamesAndTellsOpenFoldersFromClosedOnes) {
  tree.folder("start/sub1");
  tree.folder("start/sub2");
  auto w = openWindow();
  const int open = w->Dir1->count() - 2;  // the folders from the root down to the start folder
  EXPECT_EQ(w->Dir1->item(open + 1)->text(), "sub2") << "an entry shows the folder's own name, found by typing it";
  w->Dir1->setCurrentItem(nullptr);
  std::vector<int> left;
  for (int row = 0; row < w->Dir1->count(); ++row) left.push_back(drawnLeft(w->Dir1, row));
  for (int row = 1; row <= open; ++row) EXPECT_GT(left[row], left[row - 1]) << "row " << row;
  EXPECT_EQ(left[open + 1], left[open]) << "sub-folders share one indent";

  const auto icon = [&](int row) {
    return w->Dir1->item(row)->icon().pixmap(QSize(16, 16), 1.0).toImage().convertToFormat(QImage::Format_ARGB32);
  };
  EXPECT_EQ(icon(open - 1), icon(0));
  EXPECT_EQ(icon(open + 1), icon(open));
  int outlineDiffers = 0;  // open and closed folders differ in outline, not only in shading
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 16; ++x) outlineDiffers += (icon(0).pixelColor(x, y).alpha() > 127) != (icon(open).pixelColor(x, y).alpha() > 127);
  }
  EXPECT_GE(outlineDiffers, 16);
}

TEST_F(FrmmainTest, AStartFolderThatHasGoneGivesWayToItsNearestExistingAncestor) {
  tree.file("start/a.jpg", 10);
  const std::string home = pathBytes(QDir::homePath());
  const struct {
    std::string given, shown;
  } cases[] = {
      {start + "/gone/deeper", start},
      {start + "/a.jpg/inside", start},  // a file where a folder was
      {"/pixelmote-no-such-folder/inside", home},  // only the root is left: the home folder
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.given);
    start = c.given;
    auto w = openWindow();
    EXPECT_EQ(w->engine().Dir1().path(), c.shown);
    EXPECT_EQ(currentFolderEntry(*w), c.shown);
    EXPECT_EQ(w->windowTitle().toStdString(), "Pixelmote - " + c.shown);
  }

  // A process whose own folder was deleted starts in that folder's nearest existing ancestor.
  const int back = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(back, 0);
  const std::string current = tree.folder("x/y/z");
  ASSERT_EQ(::chdir(current.c_str()), 0);
  for (const char* gone : {"x/y/z", "x/y"}) EXPECT_EQ(::rmdir(tree.path(gone).c_str()), 0);
  const std::string found = defaultWindowOptions().startFolder;
  start.clear();
  auto w = openWindow();
  const std::string opened = w->engine().Dir1().path();
  EXPECT_EQ(::fchdir(back), 0);
  ::close(back);
  EXPECT_EQ(found, tree.path("x"));
  EXPECT_EQ(opened, tree.path("x")) << "a window given no start folder finds the same one";
}

// ----- status list ------------------------------------------------------------------

TEST_F(FrmmainTest, StatusLinesAreKeptAsGivenAndTheNewestIsSelectedAndInView) {
  auto w = openWindow();
  StatusList* list = w->lstStatus;
  const auto newestInView = [&] {
    const QRect row = list->rowRect(list->count() - 1);
    return list->currentRow() == list->count() - 1 && list->viewport()->rect().contains(QRect(0, row.top(), 1, row.height()));
  };
  w->clearStatus();
  EXPECT_EQ(list->currentRow(), -1);
  const std::vector<std::string> given = {"", std::string(300, 'x') + "/end", "/pics/caf\xc3\xa9", "  two  blanks  "};
  for (const std::string& line : given) w->appendStatus(line);
  EXPECT_EQ(status(*w), given);
  EXPECT_TRUE(newestInView());
  EXPECT_GT(list->horizontalScrollBar()->maximum(), 0) << "the wide line can be scrolled to";
  w->clearStatus();
  EXPECT_EQ(list->currentRow(), -1);
  EXPECT_EQ(list->horizontalScrollBar()->maximum(), 0);

  for (int i = 0; i < 100; ++i) w->appendStatus("line " + std::to_string(i));
  list->setFocus();
  const int page = list->viewport()->height() / list->rowHeight();
  ASSERT_GT(page, 1);
  const struct {
    Qt::Key key;
    int row;
  } steps[] = {{Qt::Key_Up, 98},          {Qt::Key_Home, 0},  {Qt::Key_Up, 0},     {Qt::Key_Down, 1},
               {Qt::Key_PageDown, 1 + page}, {Qt::Key_End, 99}, {Qt::Key_Down, 99}, {Qt::Key_PageUp, 99 - page}};
  for (const auto& step : steps) {
    QTest::keyClick(list, step.key);
    EXPECT_EQ(list->currentRow(), step.row) << "after key " << step.key;
    const QRect row = list->rowRect(step.row);
    EXPECT_TRUE(row.top() >= 0 && row.bottom() < list->viewport()->height()) << "row " << step.row << " in view";
  }
  list->verticalScrollBar()->setValue(10);
  QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, list->rowRect(12).center());
  EXPECT_EQ(list->currentRow(), 12);
  w->appendStatus("newest");
  EXPECT_TRUE(newestInView()) << "from wherever the list was scrolled";
}

TEST_F(FrmmainTest, AfterARunTheScreenShowsItsLastState) {
  // More lines than the list shows, wider than the totals line; the bars
  // are painted once in mid-run, after a pause of two frames.
  for (int i = 0; i < 10; ++i) tree.folder("start/" + std::string(80, 'n') + std::to_string(i));
  auto w = openWindow();
  QObject::connect(w->lstStatus, &StatusList::lineAppended, w->lstStatus, [&](int row) {
    if (row == 0) QThread::usleep(static_cast<unsigned long>(2000 * w->framePacer()->frameInterval()));
  });
  QTest::mouseClick(w->cmdScan, Qt::LeftButton);
  ASSERT_EQ(w->lstStatus->count(), 13);
  ASSERT_NE(w->windowHandle(), nullptr);
  EXPECT_EQ(w->windowHandle()->title().toStdString(), "Pixelmote - " + start);
  EXPECT_EQ(w->lstStatus->currentRow(), 12);
  const auto screenShows = [&](QWidget* widget) {  // what was last painted equals what would be drawn now
    const QPoint at = widget->mapTo(w.get(), QPoint(0, 0));
    const QImage shown = w->screen()->grabWindow(w->winId(), at.x(), at.y(), widget->width(), widget->height()).toImage();
    return shown.convertToFormat(QImage::Format_RGB32) == widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
  };
  EXPECT_TRUE(QTest::qWaitFor([&] { return screenShows(w->Picture4) && screenShows(w->lstStatus); }, 2000));
}

}  // namespace
}  // namespace pixelmote::ui
