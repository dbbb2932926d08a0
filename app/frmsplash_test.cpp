// Start-up's own options, and the About window's colours under any desktop
// theme.
#include "app/frmsplash.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <cstdio>
#include <string>

#include "ui/colour_contrast.h"

namespace pixelmote::app {
namespace {

// The contrast with `background` of the colour in `region` of `image` that
// stands out most.
double strongestContrast(const QImage& image, const QRect& region, const QColor& background) {
  double best = 1.0;
  for (int y = region.top(); y <= region.bottom(); ++y) {
    for (int x = region.left(); x <= region.right(); ++x) {
      best = std::max(best, ui::contrastRatio(image.pixelColor(x, y), background));
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
        EXPECT_GE(strongestContrast(image, where, grey), 4.5) << label->objectName().toStdString();
      }
      const QImage button = splash.cmdSplash[2]->grab().toImage();
      const QColor face = button.pixelColor(6, button.height() / 2);
      EXPECT_GE(strongestContrast(button, button.rect().adjusted(4, 4, -4, -4), face), 4.5);
      QApplication::setPalette(saved);
    }
  }
}

}  // namespace
}  // namespace pixelmote::app
