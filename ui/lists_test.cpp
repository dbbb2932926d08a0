// The main window's folder choice: a drive list that follows the volumes
// mounted and unmounted while it runs, a folder list that is indented by the
// view and searched by typing, and a start folder that has gone.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QIcon>
#include <QImage>
#include <QListWidget>
#include <QTest>
#include <QUrl>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "imaging/imglib.h"
#include "testsupport/temp_tree.h"
#include "ui/frmmain.h"
#include "ui/status_list.h"
#include "util/path.h"

namespace pixelmote::ui {
namespace {

using pixelmote::testing::TempTree;

bool isFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool endsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The folders from the root down to `path`, `path` last.
std::vector<std::string> pathChain(const std::string& path) {
  std::vector<std::string> chain{"/"};
  for (std::size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
    chain.push_back(path.substr(0, at));
    if (at == std::string::npos) break;
  }
  return chain;
}

class ListsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { imaging::startImaging(); }

  WindowOptions options() {
    WindowOptions o;
    o.settingsPath = tree.path("pixelmote.ini");
    o.startFolder = start;
    o.probeFolder = tree.folder("probe");
    o.volumes = [this] {
      ++volumeReads;
      return volumes;
    };
    o.showMessage = [this](const QString& message) { messages.push_back(message.toStdString()); };
    o.openUrl = [](const QUrl&) { return true; };
    return o;
  }

  static std::unique_ptr<frmmain> openWindow(WindowOptions o) {
    auto window = std::make_unique<frmmain>(std::move(o));
    window->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    return window;
  }

  // The mount points the drive list offers, in its order.
  static std::vector<std::string> driveEntries(const frmmain& w) {
    std::vector<std::string> entries;
    for (int i = 0; i < w.Drive1->count(); ++i) entries.push_back(w.Drive1->itemData(i).toByteArray().toStdString());
    return entries;
  }

  // The folder list's entries: the text shown and the folder each stands for.
  static std::vector<std::pair<std::string, std::string>> folderEntries(const frmmain& w) {
    std::vector<std::pair<std::string, std::string>> entries;
    for (int i = 0; i < w.Dir1->count(); ++i) {
      const QListWidgetItem* item = w.Dir1->item(i);
      entries.emplace_back(pathBytes(item->text()), item->data(Qt::UserRole).toByteArray().toStdString());
    }
    return entries;
  }

  static std::string currentFolderEntry(const frmmain& w) {
    const QListWidgetItem* item = w.Dir1->currentItem();
    return item == nullptr ? std::string() : item->data(Qt::UserRole).toByteArray().toStdString();
  }

  static std::vector<std::string> status(const frmmain& w) {
    std::vector<std::string> lines;
    for (int i = 0; i < w.lstStatus->count(); ++i) lines.push_back(pathBytes(w.lstStatus->line(i)));
    return lines;
  }

  // The window shows `folder` as its start: folder list, title, status line.
  static void expectStartsIn(frmmain& w, const std::string& folder) {
    EXPECT_EQ(w.engine().Dir1().path(), folder);
    EXPECT_EQ(currentFolderEntry(w), folder);
    EXPECT_EQ(w.windowTitle().toStdString(), "Pixelmote - " + folder);
    const std::vector<std::string> lines = status(w);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(endsWith(lines[0], " JPG images in " + folder)) << lines[0];
  }

  TempTree tree;
  std::string start = tree.folder("start");
  std::vector<std::string> volumes{"/", tree.root()};
  int volumeReads = 0;
  std::vector<std::string> messages;
};

// ----- drive list ---------------------------------------------------------------

TEST_F(ListsTest, DriveListReadsTheVolumesAgainWheneverItIsOpened) {
  const std::string card = tree.folder("card");
  tree.folder("card/DCIM");
  const std::vector<std::pair<std::string, std::function<void(QComboBox*)>>> openings = {
      {"a click", [](QComboBox* list) { QTest::mouseClick(list, Qt::LeftButton); }},
      {"F4", [](QComboBox* list) { QTest::keyClick(list, Qt::Key_F4); }},
      {"Alt+Down", [](QComboBox* list) { QTest::keyClick(list, Qt::Key_Down, Qt::AltModifier); }},
  };
  for (const auto& [how, open] : openings) {
    SCOPED_TRACE("opened by " + how);
    volumes = {"/", tree.root()};
    auto w = openWindow(options());
    ASSERT_EQ(driveEntries(*w), volumes);
    const std::vector<std::string> before = status(*w);

    // A card is mounted while the window is open: the list has it when opened.
    volumes.push_back(card);
    const int reads = volumeReads;
    open(w->Drive1);
    ASSERT_TRUE(w->Drive1->view()->isVisible()) << "the list did not open";
    EXPECT_GT(volumeReads, reads);
    EXPECT_EQ(driveEntries(*w), volumes);
    EXPECT_EQ(w->Drive1->currentText().toStdString(), tree.root()) << "still on the folder list's volume";

    // It can be chosen at once.
    QTest::keyClick(w->Drive1->view(), Qt::Key_Down);
    QTest::keyClick(w->Drive1->view(), Qt::Key_Return);
    EXPECT_FALSE(w->Drive1->view()->isVisible());
    EXPECT_EQ(w->engine().Dir1().path(), card);
    EXPECT_EQ(currentFolderEntry(*w), card);
    EXPECT_EQ(folderEntries(*w).back().second, card + "/DCIM");

    // Unmounted again: gone the next time the list opens, which stands on
    // the volume that now holds the folder list's folder.
    volumes.pop_back();
    open(w->Drive1);
    ASSERT_TRUE(w->Drive1->view()->isVisible());
    EXPECT_EQ(driveEntries(*w), volumes);
    EXPECT_EQ(w->Drive1->currentText().toStdString(), tree.root());
    QTest::keyClick(w->Drive1->view(), Qt::Key_Escape);
    EXPECT_FALSE(w->Drive1->view()->isVisible());
    EXPECT_EQ(w->engine().Dir1().path(), card) << "closing the list chooses nothing";

    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(status(*w), before) << "reading the volumes writes no status line";
  }
}

TEST_F(ListsTest, DriveListReadsTheVolumesAgainBeforeAKeyChoosesOnTheClosedList) {
  const std::string card = tree.folder("card");
  auto w = openWindow(options());
  w->Drive1->setFocus();
  ASSERT_EQ(w->Drive1->currentText().toStdString(), tree.root());

  volumes.push_back(card);
  QTest::keyClick(w->Drive1, Qt::Key_Down);
  EXPECT_EQ(driveEntries(*w), volumes);
  EXPECT_EQ(w->engine().Dir1().path(), card) << "Down from the folder list's volume reaches the new card";

  volumes.pop_back();
  QTest::keyClick(w->Drive1, Qt::Key_End);
  EXPECT_EQ(driveEntries(*w), volumes);
  EXPECT_EQ(w->Drive1->currentText().toStdString(), tree.root()) << "the last volume left, already the current one";
  EXPECT_EQ(w->engine().Dir1().path(), card);
  EXPECT_TRUE(messages.empty());
}

// ----- folder list ----------------------------------------------------------------

TEST_F(ListsTest, FolderListNamesAreFoundByTypingAndOpenedWithEnter) {
  for (const char* name : {"alpha", "tmp", "tmpfiles", "zeta"}) tree.folder(std::string("start/") + name);
  auto w = openWindow(options());

  // Each entry shows the folder's own name, nothing before it.
  std::vector<std::pair<std::string, std::string>> expected;
  for (const std::string& folder : pathChain(start)) {
    expected.emplace_back(folder == "/" ? "/" : util::FileNamePart(folder), folder);
  }
  for (const char* name : {"alpha", "tmp", "tmpfiles", "zeta"}) expected.emplace_back(name, start + "/" + name);
  EXPECT_EQ(folderEntries(*w), expected);

  w->Dir1->setFocus();
  QTest::keyClicks(w->Dir1, "tmp");
  EXPECT_EQ(currentFolderEntry(*w), start + "/tmp");
  QTest::keyClicks(w->Dir1, "f");
  EXPECT_EQ(currentFolderEntry(*w), start + "/tmpfiles");
  QTest::keyClick(w->Dir1, Qt::Key_Return);
  EXPECT_EQ(w->engine().Dir1().path(), start + "/tmpfiles");
  EXPECT_EQ(currentFolderEntry(*w), start + "/tmpfiles");

  // After a pause typing starts a new search, which finds the open folders
  // above as well.
  QTest::qWait(QApplication::keyboardInputInterval() + 100);
  QTest::keyClicks(w->Dir1, "sta");
  EXPECT_EQ(currentFolderEntry(*w), start);
  QTest::keyClick(w->Dir1, Qt::Key_Return);
  EXPECT_EQ(w->engine().Dir1().path(), start);
}

// The left edge of what is drawn in `row` of the folder list (its icon):
// the first column that differs from the row's background.
int drawnLeft(QListWidget* list, int row) {
  QListWidgetItem* item = list->item(row);
  list->scrollToItem(item);
  const QRect rect = list->visualItemRect(item);
  const QImage image = list->viewport()->grab().toImage();
  const QColor background = image.pixelColor(rect.left(), rect.top());
  for (int x = rect.left(); x <= rect.right(); ++x) {
    for (int y = rect.top(); y <= rect.bottom(); ++y) {
      const QColor c = image.pixelColor(x, y);
      const int distance = std::abs(c.red() - background.red()) + std::abs(c.green() - background.green()) +
                           std::abs(c.blue() - background.blue());
      if (distance > 60) return x;
    }
  }
  return -1;
}

QImage iconImage(const QListWidgetItem* item) {
  return item->icon().pixmap(QSize(16, 16), 1.0).toImage().convertToFormat(QImage::Format_ARGB32);
}

TEST_F(ListsTest, FolderListIndentsIconsWithTheirNamesAndTellsOpenFoldersFromClosedOnes) {
  tree.folder("start/sub1");
  tree.folder("start/sub2");
  auto w = openWindow(options());
  const std::size_t open = pathChain(start).size();
  ASSERT_EQ(static_cast<std::size_t>(w->Dir1->count()), open + 2);
  w->Dir1->setCurrentItem(nullptr);  // no highlight across a row

  std::vector<int> left;
  for (int row = 0; row < w->Dir1->count(); ++row) left.push_back(drawnLeft(w->Dir1, row));
  for (std::size_t row = 1; row < open; ++row) {
    EXPECT_GT(left[row], left[row - 1]) << "each open folder sits further in than its parent: row " << row;
  }
  EXPECT_GT(left[open], left[open - 1]) << "sub-folders sit further in than the current folder";
  EXPECT_EQ(left[open + 1], left[open]) << "sub-folders share one indent";

  // Open folders share one icon, sub-folders another, and the two differ in
  // outline, not only in shading (at least 16 of the 256 pixels).
  const QImage openIcon = iconImage(w->Dir1->item(0));
  const QImage closedIcon = iconImage(w->Dir1->item(static_cast<int>(open)));
  ASSERT_FALSE(openIcon.isNull());
  ASSERT_FALSE(closedIcon.isNull());
  for (std::size_t row = 1; row < open; ++row) EXPECT_EQ(iconImage(w->Dir1->item(static_cast<int>(row))), openIcon);
  EXPECT_EQ(iconImage(w->Dir1->item(static_cast<int>(open) + 1)), closedIcon);
  int outlineDiffers = 0;
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 16; ++x) {
      if ((openIcon.pixelColor(x, y).alpha() > 127) != (closedIcon.pixelColor(x, y).alpha() > 127)) ++outlineDiffers;
    }
  }
  EXPECT_GE(outlineDiffers, 16);
}

// ----- a start folder that has gone -----------------------------------------------------

TEST_F(ListsTest, AMissingStartFolderGivesWayToItsNearestExistingAncestor) {
  tree.file("start/a.jpg", 10);
  const std::string home = pathBytes(QDir::homePath());
  ASSERT_TRUE(isFolder(home)) << home;
  const struct {
    std::string given;
    std::string shown;
  } cases[] = {
      {start + "/gone", start},
      {start + "/gone/deeper/still", start},
      {start + "/a.jpg", start},         // a file, not a folder
      {start + "/a.jpg/inside", start},  // a file where a folder was
      {"/pixelmote-no-such-folder/inside", home},  // only the root is left: the home folder
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.given);
    WindowOptions o = options();
    o.startFolder = c.given;
    auto w = openWindow(std::move(o));
    expectStartsIn(*w, c.shown);
    if (c.shown == start) {
      EXPECT_EQ(status(*w), std::vector<std::string>{"Found 1 JPG images in " + start});
    }
  }
}

// Gives the process its current folder back at the end of a test.
class CurrentFolderGuard {
 public:
  CurrentFolderGuard() : m_fd(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
  ~CurrentFolderGuard() {
    if (m_fd >= 0) {
      [[maybe_unused]] const int ignored = ::fchdir(m_fd);
      ::close(m_fd);
    }
  }
  CurrentFolderGuard(const CurrentFolderGuard&) = delete;
  CurrentFolderGuard& operator=(const CurrentFolderGuard&) = delete;
  bool valid() const { return m_fd >= 0; }

 private:
  int m_fd;
};

TEST_F(ListsTest, AProcessWhoseFolderWasDeletedStartsInTheNearestExistingAncestor) {
  tree.file("kept/a.jpg", 10);
  const struct {
    std::string current;                // made, then entered
    std::vector<std::string> removed;   // deleted while the process is in `current`
    std::string expected;
  } cases[] = {
      {"kept/inner", {"kept/inner"}, tree.path("kept")},
      {"x/y/z", {"x/y/z", "x/y", "x"}, tree.root()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.current);
    CurrentFolderGuard back;
    ASSERT_TRUE(back.valid());
    ASSERT_EQ(::chdir(tree.folder(c.current).c_str()), 0);
    for (const std::string& gone : c.removed) ASSERT_EQ(::rmdir(tree.path(gone).c_str()), 0) << gone;

    EXPECT_EQ(defaultWindowOptions().startFolder, c.expected);
    // A window given no start folder finds the same one itself.
    WindowOptions o = options();
    o.startFolder.clear();
    auto w = openWindow(std::move(o));
    expectStartsIn(*w, c.expected);
  }
}

}  // namespace
}  // namespace pixelmote::ui
