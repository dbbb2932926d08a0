#include "app/frmsplash.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <functional>
#include <vector>

#include "app/module1.h"

namespace pixelmote::app {
namespace {

// The version as CMakeLists.txt's project() states it, the one place it is kept.
QString projectVersion() {
  QFile file(QStringLiteral(PIXELMOTE_SOURCE_DIR "/CMakeLists.txt"));
  if (!file.open(QIODevice::ReadOnly)) return QStringLiteral("(CMakeLists.txt unreadable)");
  const QRegularExpression pattern(QStringLiteral("project\\(Pixelmote VERSION ([0-9.]+)"));
  return pattern.match(QString::fromUtf8(file.readAll())).captured(1);
}

// An About window whose browser only records the addresses it is given.
class SplashTest : public ::testing::Test {
 protected:
  bool underlined() const { return splash.lblURL->font().underline(); }

  std::vector<QUrl> opened;
  frmSplash splash{[this](const QUrl& url) {
    opened.push_back(url);
    return true;
  }};
};

TEST_F(SplashTest, OnlyALeftClickOnTheAddressShowsThePressedLookAndOpensTheHomePage) {
  splash.show();
  EXPECT_EQ(splash.Label1->text(), QStringLiteral("Pixelmote ") + projectVersion());
  EXPECT_EQ(splash.windowIcon().pixmap(32, 32).toImage(), programIcon().pixmap(32, 32).toImage());
  for (Qt::MouseButton button : {Qt::RightButton, Qt::MiddleButton}) {
    QTest::mousePress(splash.lblURL, button);
    EXPECT_TRUE(underlined()) << "button " << button;
    QTest::mouseRelease(splash.lblURL, button);
  }
  EXPECT_TRUE(opened.empty());

  QTest::mousePress(splash.lblURL, Qt::LeftButton);
  EXPECT_FALSE(underlined());
  QTest::mouseClick(splash.lblURL, Qt::RightButton);  // neither ends the pressed look nor opens
  EXPECT_FALSE(underlined());
  EXPECT_TRUE(opened.empty()) << "the address opens on release, not on press";
  QTest::mouseRelease(splash.lblURL, Qt::LeftButton);
  EXPECT_TRUE(underlined());
  EXPECT_EQ(opened, std::vector<QUrl>{QUrl(QStringLiteral("https://pixelmote.org/"))});
  EXPECT_TRUE(splash.isVisible()) << "opening the address leaves the window up";

  // A press left over when the window was hidden is not shown again.
  QTest::mousePress(splash.lblURL, Qt::LeftButton);
  splash.cmdSplash_Click(0);
  splash.cmdSplash_Click(1);
  EXPECT_TRUE(splash.isVisible()) << "only OK hides";
  QPointer<frmSplash> guard(&splash);
  QTest::mouseClick(splash.cmdSplash[2], Qt::LeftButton);
  EXPECT_FALSE(splash.isVisible());
  QApplication::processEvents();
  EXPECT_FALSE(guard.isNull()) << "hiding must not destroy the window";
  splash.show();
  EXPECT_TRUE(underlined());
  EXPECT_EQ(opened.size(), 1u);
}

TEST_F(SplashTest, ShowAboutIsModalOnTopAndReusesTheWindow) {
  EXPECT_FALSE(splash.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
  for (int k = 0; k < 2; ++k) {
    bool modal = false, onTop = false, timer = true;
    QTimer::singleShot(0, &splash, [&] {
      modal = QApplication::activeModalWidget() == &splash;
      onTop = splash.windowFlags().testFlag(Qt::WindowStaysOnTopHint);
      timer = splash.Timer1->isActive();
      QTest::mouseClick(splash.cmdSplash[2], Qt::LeftButton);
    });
    bool stuck = false;  // a watchdog ends a loop that OK failed to end
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [&] {
      stuck = true;
      splash.done(QDialog::Rejected);
    });
    watchdog.start(20000);
    showAbout(splash);
    ASSERT_FALSE(stuck) << "OK did not end showing " << k;
    EXPECT_TRUE(modal && onTop);
    EXPECT_FALSE(timer) << "the hide timer is never started";
    EXPECT_FALSE(splash.isVisible());
  }
}

TEST(SetTopMost, SetsAndClearsTheHintKeepingPlaceVisibilityAndTheActiveWindow) {
  QWidget active, shown, hidden;
  active.setGeometry(300, 10, 100, 80);
  shown.setGeometry(40, 50, 200, 120);
  hidden.setGeometry(10, 20, 100, 80);
  shown.show();
  active.show();
  active.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&active));
  for (const bool on : {true, false}) {
    SetTopMost(&shown, on);
    SetTopMost(&hidden, on);
    QApplication::processEvents();
    EXPECT_EQ(shown.windowFlags().testFlag(Qt::WindowStaysOnTopHint), on);
    EXPECT_EQ(hidden.windowFlags().testFlag(Qt::WindowStaysOnTopHint), on);
    EXPECT_TRUE(shown.isVisible());
    EXPECT_FALSE(hidden.isVisible()) << "a hidden window stays hidden";
    EXPECT_EQ(shown.geometry(), QRect(40, 50, 200, 120));
    EXPECT_EQ(hidden.geometry(), QRect(10, 20, 100, 80));
    EXPECT_TRUE(active.isActiveWindow()) << "the window is not activated";
  }
  SetTopMost(nullptr, true);  // ignored
}

TEST(ProgramIcon, DrawsAt32PixelsFromTheResource) {
  const QImage image = programIcon().pixmap(QSize(32, 32), 1.0).toImage();
  ASSERT_EQ(image.size(), QSize(32, 32));
  EXPECT_EQ(image.pixelColor(0, 0).alpha(), 0) << "corners are see-through";
  EXPECT_EQ(image.pixelColor(31, 31).alpha(), 0);
  EXPECT_EQ(image.pixelColor(12, 14).alpha(), 255);
}

}  // namespace
}  // namespace pixelmote::app
