// What start-up hands the main window: the program's icon and the About window.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <memory>
#include <string>
#include <vector>

#include "app/frmsplash.h"
#include "app/module1.h"
#include "testsupport/temp_tree.h"
#include "ui/frmmain.h"

namespace pixelmote::app {
namespace {

class StartUpTest : public ::testing::Test {
 protected:
  std::unique_ptr<ui::frmmain> openWindow() {
    ui::WindowOptions o;
    o.settingsPath = tree.path("pixelmote.ini");
    o.startFolder = tree.folder("start");
    o.probeFolder = tree.folder("probe");
    o.volumes = [this] { return std::vector<std::string>{"/", tree.root()}; };
    o.showMessage = [](const QString&) {};
    o.openUrl = [this](const QUrl& url) {
      opened.push_back(url);
      return true;
    };
    addStartUpParts(o);
    auto window = std::make_unique<ui::frmmain>(std::move(o));
    window->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    return window;
  }

  testing::TempTree tree;
  std::vector<QUrl> opened;
};

TEST_F(StartUpTest, TheWindowWearsTheProgramsIcon) {
  auto w = openWindow();
  EXPECT_FALSE(w->windowIcon().pixmap(32, 32).isNull());
  EXPECT_EQ(w->windowIcon().pixmap(32, 32).toImage(), programIcon().pixmap(32, 32).toImage());
}

TEST_F(StartUpTest, TheAboutWindowShownTwiceIsTheSameWindow) {
  auto w = openWindow();
  const auto about = [&] { return w->findChild<frmSplash*>(); };
  EXPECT_EQ(about(), nullptr) << "made on first use";
  std::vector<QWidget*> shown;
  for (int k = 0; k < 2; ++k) {
    bool stuck = false;
    QTimer::singleShot(0, w.get(), [&] {
      shown.push_back(QApplication::activeModalWidget());
      if (about() != nullptr) QTest::mouseClick(about()->cmdSplash[2], Qt::LeftButton);
    });
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [&] {
      stuck = true;
      if (about() != nullptr) about()->done(0);
    });
    watchdog.start(20000);
    w->mnuAbout->trigger();
    ASSERT_FALSE(stuck) << "OK did not end showing " << k;
    ASSERT_NE(about(), nullptr);
    EXPECT_FALSE(about()->isVisible());
  }
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0], about());
  EXPECT_EQ(shown[1], shown[0]);
  EXPECT_TRUE(opened.empty());
  EXPECT_TRUE(w->isVisible()) << "the main window stays";
}

TEST_F(StartUpTest, TheAboutWindowOpensTheHomePageWithTheWindowsOpener) {
  auto w = openWindow();
  QTimer::singleShot(0, w.get(), [&] {
    frmSplash* about = w->findChild<frmSplash*>();
    if (about == nullptr) return;
    about->lblURL_MouseDown(1, 0, 0, 0);
    about->lblURL_MouseUp(1, 0, 0, 0);
    about->cmdSplash_Click(2);
  });
  w->mnuAbout->trigger();
  EXPECT_EQ(opened, std::vector<QUrl>{QUrl(QString::fromLatin1(kHomePageUrl))});
}

}  // namespace
}  // namespace pixelmote::app
