#include "app/frmsplash.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <QXmlStreamReader>
#include <algorithm>
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

// Runs showAbout(splash) and, while the modal loop runs, calls `whileShown`
// and then clicks OK. A watchdog ends a loop that OK failed to end, so a
// fault fails the test instead of hanging it.
bool runModal(frmSplash& splash, const std::function<void()>& whileShown) {
  bool stuck = false;
  QTimer::singleShot(0, &splash, [&] {
    whileShown();
    QTest::mouseClick(splash.cmdSplash[2], Qt::LeftButton);
  });
  QTimer watchdog;
  watchdog.setSingleShot(true);
  QObject::connect(&watchdog, &QTimer::timeout, [&] {
    stuck = true;
    splash.done(QDialog::Rejected);
  });
  watchdog.start(20000);
  showAbout(splash);
  return !stuck;
}

TEST_F(SplashTest, LeftClickOnAddressShowsPressedLookThenOpensHomePageOnce) {
  splash.show();
  ASSERT_TRUE(underlined());
  EXPECT_EQ(splash.lblURL->text(), QStringLiteral("https://pixelmote.org/"));

  QTest::mousePress(splash.lblURL, Qt::LeftButton);
  EXPECT_FALSE(underlined());
  EXPECT_TRUE(opened.empty()) << "the address opens on release, not on press";

  QTest::mouseRelease(splash.lblURL, Qt::LeftButton);
  EXPECT_TRUE(underlined());
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0].toString().toStdString(), "https://pixelmote.org/");
  EXPECT_TRUE(opened[0].isValid());
  EXPECT_TRUE(splash.isVisible()) << "opening the address leaves the window up";
}

TEST_F(SplashTest, OtherButtonsOnAddressChangeNothingAndOpenNothing) {
  splash.show();
  for (Qt::MouseButton button : {Qt::RightButton, Qt::MiddleButton}) {
    QTest::mousePress(splash.lblURL, button);
    EXPECT_TRUE(underlined()) << "press of button " << button;
    QTest::mouseRelease(splash.lblURL, button);
    EXPECT_TRUE(underlined()) << "release of button " << button;
  }
  QTest::mouseClick(splash.lblURL, Qt::RightButton);
  EXPECT_TRUE(opened.empty());

  // A right click during a left press neither ends the pressed look nor opens.
  QTest::mousePress(splash.lblURL, Qt::LeftButton);
  QTest::mouseClick(splash.lblURL, Qt::RightButton);
  EXPECT_FALSE(underlined());
  EXPECT_TRUE(opened.empty());
  QTest::mouseRelease(splash.lblURL, Qt::LeftButton);
  EXPECT_TRUE(underlined());
  EXPECT_EQ(opened.size(), 1u);
}

TEST_F(SplashTest, OkHidesTheWindowOtherIndexesDoNot) {
  QPointer<frmSplash> guard(&splash);
  splash.show();
  splash.cmdSplash_Click(0);
  splash.cmdSplash_Click(1);
  EXPECT_TRUE(splash.isVisible());

  ASSERT_NE(splash.cmdSplash[2], nullptr);
  EXPECT_EQ(splash.cmdSplash[2]->text(), QStringLiteral("OK"));
  QTest::mouseClick(splash.cmdSplash[2], Qt::LeftButton);
  EXPECT_FALSE(splash.isVisible());
  QApplication::processEvents();
  EXPECT_FALSE(guard.isNull()) << "hiding must not destroy the window";
  EXPECT_TRUE(opened.empty());
}

TEST_F(SplashTest, PressLeftOverByAnEarlierShowingIsNotShownAgain) {
  splash.show();
  QTest::mousePress(splash.lblURL, Qt::LeftButton);
  ASSERT_FALSE(underlined());
  splash.cmdSplash_Click(2);  // hidden before the release arrives
  splash.show();
  EXPECT_TRUE(underlined());
  EXPECT_TRUE(opened.empty());
}

TEST_F(SplashTest, FixedClientAreaWithEveryControlInsideTheFrame) {
  splash.show();
  EXPECT_EQ(splash.size(), QSize(337, 231));
  EXPECT_EQ(splash.minimumSize(), QSize(337, 231));
  EXPECT_EQ(splash.maximumSize(), QSize(337, 231));
  splash.resize(600, 400);
  EXPECT_EQ(splash.size(), QSize(337, 231));

  EXPECT_EQ(splash.Frame1->geometry(), QRect(8, 0, 321, 225));
  const std::vector<QWidget*> inner = {splash.Picture1, splash.Label5, splash.Label1, splash.Line1,
                                       splash.Line2,    splash.lblURL, splash.cmdSplash[2]};
  for (QWidget* w : inner) {
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->parentWidget(), splash.Frame1) << w->objectName().toStdString();
    EXPECT_TRUE(splash.Frame1->contentsRect().contains(w->geometry()))
        << w->objectName().toStdString() << " leaves the frame";
    EXPECT_TRUE(w->isVisible()) << w->objectName().toStdString();
  }
  for (size_t a = 0; a < inner.size(); ++a) {
    for (size_t b = a + 1; b < inner.size(); ++b) {
      EXPECT_FALSE(inner[a]->geometry().intersects(inner[b]->geometry()))
          << inner[a]->objectName().toStdString() << " overlaps " << inner[b]->objectName().toStdString();
    }
  }
  EXPECT_EQ(splash.Picture1->size(), QSize(32, 32));
  EXPECT_EQ(splash.windowTitle(), QStringLiteral("About Pixelmote"));
  EXPECT_EQ(splash.Label1->text(), QStringLiteral("Pixelmote ") + projectVersion());
}

TEST_F(SplashTest, PaintsGreyBackgroundIconAndBlueUnderlinedAddress) {
  splash.show();
  const QImage window = splash.grab().toImage();
  EXPECT_EQ(window.pixelColor(3, 228), QColor(192, 192, 192)) << "outside the frame";
  EXPECT_EQ(window.pixelColor(20, 200), QColor(192, 192, 192)) << "inside the frame";

  // The icon is opaque in its middle and see-through in its corner.
  const QPoint icon = splash.Picture1->mapTo(&splash, QPoint(0, 0));
  EXPECT_EQ(window.pixelColor(icon + QPoint(12, 14)).alpha(), 255);
  EXPECT_EQ(window.pixelColor(icon + QPoint(0, 0)), QColor(192, 192, 192));
  EXPECT_NE(window.pixelColor(icon + QPoint(12, 14)), QColor(192, 192, 192));

  // The underline is a run of pure blue pixels across most of the label.
  auto longestBlueRun = [](const QImage& image) {
    int best = 0;
    for (int y = 0; y < image.height(); ++y) {
      int run = 0;
      for (int x = 0; x < image.width(); ++x) {
        run = image.pixelColor(x, y) == QColor(0, 0, 255) ? run + 1 : 0;
        best = std::max(best, run);
      }
    }
    return best;
  };
  const int width = splash.lblURL->width();
  EXPECT_GT(longestBlueRun(splash.lblURL->grab().toImage()), width / 2);
  QTest::mousePress(splash.lblURL, Qt::LeftButton);
  EXPECT_LT(longestBlueRun(splash.lblURL->grab().toImage()), width / 4) << "pressed: no underline";
  QTest::mouseRelease(splash.lblURL, Qt::LeftButton);
}

TEST_F(SplashTest, ShowAboutIsModalOnTopAndReusesTheWindow) {
  struct Seen {
    bool visible = false;
    bool modal = false;
    bool onTop = false;
    bool underlined = false;
    bool timerRunning = true;
  };
  std::vector<Seen> seen;
  auto look = [&] {
    seen.push_back({splash.isVisible(), QApplication::activeModalWidget() == &splash,
                    splash.windowFlags().testFlag(Qt::WindowStaysOnTopHint), underlined(),
                    splash.Timer1->isActive()});
  };
  EXPECT_FALSE(splash.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
  ASSERT_TRUE(runModal(splash, look)) << "OK did not end the modal showing";
  EXPECT_FALSE(splash.isVisible());
  ASSERT_TRUE(runModal(splash, look)) << "OK did not end the second showing";
  EXPECT_FALSE(splash.isVisible());

  ASSERT_EQ(seen.size(), 2u);
  for (const Seen& s : seen) {
    EXPECT_TRUE(s.visible);
    EXPECT_TRUE(s.modal);
    EXPECT_TRUE(s.onTop);
    EXPECT_TRUE(s.underlined);
    EXPECT_FALSE(s.timerRunning) << "the hide timer is never started";
  }
  EXPECT_TRUE(opened.empty());
}

TEST(SetTopMost, SetsAndClearsTheHintKeepingPlaceSizeAndVisibility) {
  QWidget shown;
  shown.setGeometry(40, 50, 200, 120);
  shown.show();
  const QRect before = shown.geometry();

  SetTopMost(&shown, true);
  EXPECT_TRUE(shown.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
  EXPECT_TRUE(shown.isVisible());
  EXPECT_EQ(shown.geometry(), before);

  SetTopMost(&shown, false);
  EXPECT_FALSE(shown.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
  EXPECT_TRUE(shown.isVisible());
  EXPECT_EQ(shown.geometry(), before);

  QWidget hidden;
  hidden.setGeometry(10, 20, 100, 80);
  SetTopMost(&hidden, true);
  EXPECT_TRUE(hidden.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
  EXPECT_FALSE(hidden.isVisible()) << "a hidden window must stay hidden";
  EXPECT_EQ(hidden.geometry(), QRect(10, 20, 100, 80));

  SetTopMost(nullptr, true);  // ignored
}

TEST(SetTopMost, DoesNotActivateTheWindow) {
  QWidget other;
  QWidget active;
  other.setGeometry(300, 10, 100, 80);
  active.setGeometry(10, 10, 100, 80);
  other.show();
  active.show();
  active.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&active));

  SetTopMost(&other, true);
  QApplication::processEvents();
  EXPECT_TRUE(active.isActiveWindow());
  EXPECT_FALSE(other.isActiveWindow());
}

TEST(ProgramIcon, ResourceHoldsTheSvgAndTheIconDrawsAt32Pixels) {
  QFile svg(QStringLiteral(":/icons/pixelmote.svg"));
  ASSERT_TRUE(svg.open(QIODevice::ReadOnly)) << "icon missing from the resources";
  QXmlStreamReader xml(&svg);
  ASSERT_TRUE(xml.readNextStartElement());
  EXPECT_EQ(xml.name(), QStringLiteral("svg"));
  EXPECT_EQ(xml.attributes().value(QStringLiteral("viewBox")), QStringLiteral("0 0 64 64"));
  while (!xml.atEnd()) xml.readNext();
  EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();

  const QImage image = programIcon().pixmap(QSize(32, 32), 1.0).toImage();
  ASSERT_EQ(image.size(), QSize(32, 32));
  EXPECT_EQ(image.pixelColor(0, 0).alpha(), 0) << "corners are see-through";
  EXPECT_EQ(image.pixelColor(31, 31).alpha(), 0);
  EXPECT_EQ(image.pixelColor(12, 14).alpha(), 255);
}

}  // namespace
}  // namespace pixelmote::app
