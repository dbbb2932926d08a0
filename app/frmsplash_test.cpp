// The About window, and what start-up hands the main window: the program's
// icon and one About window shown modal on top.
#include "app/frmsplash.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <string>
#include <vector>

#include "app/module1.h"
#include "testsupport/temp_tree.h"
#include "ui/colour_contrast.h"
#include "ui/frmmain.h"

namespace pixelmote::app {
namespace {

const QUrl kHome(QString::fromLatin1(kHomePageUrl));

// The colour in `region` of `image` that stands out most from `background`.
QColor strongestInk(const QImage& image, const QRect& region, const QColor& background) {
  QColor best = background;
  for (int y = region.top(); y <= region.bottom(); ++y) {
    for (int x = region.left(); x <= region.right(); ++x) {
      const QColor c = image.pixelColor(x, y);
      if (ui::contrastRatio(c, background) > ui::contrastRatio(best, background)) best = c;
    }
  }
  return best;
}

// The two options answer and exit without opening the window (which would
// run until the time limit ends it).
TEST(StartUp, HelpAndVersionPrintAndExitAtOnce) {
  const std::pair<const char*, std::string> cases[] = {
      {" --help", "Usage: pixelmote [--help | --version]\n"}, {" --version", "pixelmote " PIXELMOTE_VERSION "\n"}};
  for (const auto& [option, start] : cases) {
    FILE* out = ::popen(("timeout 60 " PIXELMOTE_EXE + std::string(option) + " </dev/null").c_str(), "r");
    ASSERT_NE(out, nullptr);
    std::string text;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, out)) > 0;) text.append(buffer, n);
    EXPECT_EQ(::pclose(out), 0) << option;
    EXPECT_EQ(text.substr(0, start.size()), start) << option;
  }
}

// Dark and high-contrast desktop themes give light text, which must not land
// on the About window's own grey: set before the window is made, or after.
TEST(Splash, TextAndButtonStayReadableOnTheGreyUnderDarkDesktopThemes) {
  const QColor grey(192, 192, 192);
  const QPalette saved = QApplication::palette();
  for (const auto& [window, text] : {std::pair{QColor(0x31, 0x36, 0x3b), QColor(0xef, 0xf0, 0xf1)},
                                     std::pair{QColor(Qt::black), QColor(Qt::yellow)}}) {
    QPalette desktop;
    for (const auto role : {QPalette::Window, QPalette::Base, QPalette::Button, QPalette::Light, QPalette::Dark})
      desktop.setColor(role, window);
    for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) desktop.setColor(role, text);
    for (const bool before : {true, false}) {
      SCOPED_TRACE(text.name().toStdString() + (before ? ", theme set before" : ", theme changed after"));
      if (before) QApplication::setPalette(desktop);
      frmSplash splash([](const QUrl&) { return true; });
      splash.show();
      ASSERT_TRUE(QTest::qWaitForWindowExposed(&splash));
      if (!before) QApplication::setPalette(desktop);
      QApplication::processEvents();
      const QImage image = splash.grab().toImage();
      EXPECT_EQ(image.pixelColor(20, 200), grey);
      for (QLabel* label : {splash.Label1, splash.Label5, splash.lblURL}) {
        const QRect where(label->mapTo(&splash, QPoint(0, 0)), label->size());
        EXPECT_GE(ui::contrastRatio(strongestInk(image, where, grey), grey), 4.5) << label->objectName().toStdString();
      }
      const QImage button = splash.cmdSplash[2]->grab().toImage();
      const QColor face = button.pixelColor(6, button.height() / 2);
      EXPECT_GE(ui::contrastRatio(strongestInk(button, button.rect().adjusted(4, 4, -4, -4), face), face), 4.5);
      QApplication::setPalette(saved);
    }
  }
}

TEST(Splash, OnlyALeftClickOnTheAddressShowsThePressedLookAndOpensTheHomePage) {
  std::vector<QUrl> opened;
  frmSplash splash([&](const QUrl& url) {
    opened.push_back(url);
    return true;
  });
  const auto underlined = [&] { return splash.lblURL->font().underline(); };
  splash.show();
  QTest::mouseClick(splash.lblURL, Qt::RightButton);
  EXPECT_TRUE(underlined());
  QTest::mousePress(splash.lblURL, Qt::LeftButton);
  QTest::mouseClick(splash.lblURL, Qt::MiddleButton);  // neither ends the pressed look nor opens
  EXPECT_FALSE(underlined());
  EXPECT_TRUE(opened.empty()) << "the address opens on release, not on press";
  QTest::mouseRelease(splash.lblURL, Qt::LeftButton);
  EXPECT_TRUE(underlined());
  EXPECT_EQ(opened, std::vector<QUrl>{kHome});

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

  const QImage icon = programIcon().pixmap(QSize(32, 32), 1.0).toImage();
  EXPECT_EQ(splash.windowIcon().pixmap(32, 32).toImage(), icon);
  EXPECT_EQ(icon.pixelColor(0, 0).alpha() + icon.pixelColor(31, 31).alpha(), 0) << "corners are see-through";
  EXPECT_EQ(icon.pixelColor(12, 14).alpha(), 255);
}

TEST(StartUp, TheWindowWearsTheIconAndShowsOneAboutWindowModalOnTop) {
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
    bool onTopWithoutTimer = false;
    QTimer::singleShot(0, &w, [&] {
      shown.push_back(QApplication::activeModalWidget());
      if (about() == nullptr) return;
      onTopWithoutTimer = about()->windowFlags().testFlag(Qt::WindowStaysOnTopHint) && !about()->Timer1->isActive();
      about()->lblURL_MouseDown(1, 0, 0, 0);
      about()->lblURL_MouseUp(1, 0, 0, 0);
      QTest::mouseClick(about()->cmdSplash[2], Qt::LeftButton);
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
    ASSERT_FALSE(stuck) << "OK did not end showing " << k;
    EXPECT_TRUE(onTopWithoutTimer);
    EXPECT_FALSE(about()->isVisible());
  }
  EXPECT_EQ(shown, (std::vector<QWidget*>{about(), about()})) << "the same window, modal";
  EXPECT_EQ(opened, (std::vector<QUrl>(2, kHome)));
  EXPECT_TRUE(w.isVisible()) << "the main window stays";
}

TEST(SetTopMost, SetsAndClearsTheHintKeepingPlaceVisibilityAndTheActiveWindow) {
  QWidget active, shown, hidden;
  active.show();
  active.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&active));
  shown.setGeometry(40, 50, 200, 120);
  shown.show();
  for (const bool on : {true, false}) {
    for (QWidget* w : {&shown, &hidden, static_cast<QWidget*>(nullptr)}) SetTopMost(w, on);
    QApplication::processEvents();
    EXPECT_TRUE(shown.windowFlags().testFlag(Qt::WindowStaysOnTopHint) == on &&
                hidden.windowFlags().testFlag(Qt::WindowStaysOnTopHint) == on);
    EXPECT_TRUE(shown.isVisible() && !hidden.isVisible()) << "a hidden window stays hidden";
    EXPECT_EQ(shown.geometry(), QRect(40, 50, 200, 120));
    EXPECT_TRUE(active.isActiveWindow()) << "the window is not activated";
  }
}

}  // namespace
}  // namespace pixelmote::app
