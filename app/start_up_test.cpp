// What start-up hands the main window: the program's icon and the About window.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
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

TEST(StartUpTest, TheWindowWearsTheIconAndShowsOneAboutWindowThatOpensTheHomePage) {
  testing::TempTree tree;
  std::vector<QUrl> opened;
  ui::WindowOptions o;
  o.settingsPath = tree.path("pixelmote.ini");
  o.startFolder = tree.folder("start");
  o.probeFolder = tree.folder("probe");
  o.volumes = [&] { return std::vector<std::string>{"/", tree.root()}; };
  o.showMessage = [](const QString&) {};
  o.openUrl = [&](const QUrl& url) {
    opened.push_back(url);
    return true;
  };
  addStartUpParts(o);
  ui::frmmain w(std::move(o));
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  EXPECT_EQ(w.windowIcon().pixmap(32, 32).toImage(), programIcon().pixmap(32, 32).toImage());

  const auto about = [&] { return w.findChild<frmSplash*>(); };
  EXPECT_EQ(about(), nullptr) << "made on first use";
  std::vector<QWidget*> shown;
  for (int k = 0; k < 2; ++k) {
    QTimer::singleShot(0, &w, [&] {
      shown.push_back(QApplication::activeModalWidget());
      if (about() == nullptr) return;
      about()->lblURL_MouseDown(1, 0, 0, 0);
      about()->lblURL_MouseUp(1, 0, 0, 0);
      about()->cmdSplash_Click(2);
    });
    bool stuck = false;  // a watchdog ends a showing that OK failed to end
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [&] {
      stuck = true;
      if (about() != nullptr) about()->done(0);
    });
    watchdog.start(20000);
    w.mnuAbout->trigger();
    ASSERT_FALSE(stuck) << "showing " << k;
  }
  ASSERT_NE(about(), nullptr);
  EXPECT_EQ(shown, (std::vector<QWidget*>{about(), about()})) << "the same window, modal";
  EXPECT_EQ(opened, (std::vector<QUrl>(2, QUrl(QString::fromLatin1(kHomePageUrl)))));
  EXPECT_TRUE(w.isVisible()) << "the main window stays";
}

}  // namespace
}  // namespace pixelmote::app
