// The About window under the desktop palettes a user may have: its grey
// background stays, and its text and button stay readable on it.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <memory>
#include <string>

#include "app/frmsplash.h"
#include "ui/colour_contrast.h"
#include "ui/palette_testing.h"

namespace pixelmote::app {
namespace {

using ui::contrastRatio;
using ui::testing::ApplicationPalette;

const QColor kGrey(192, 192, 192);

// The colour of the pixel in `region` that stands out most from `background`.
QColor strongestInk(const QImage& image, const QRect& region, const QColor& background) {
  QColor best = background;
  double bestRatio = 1;
  for (int y = region.top(); y <= region.bottom(); ++y) {
    for (int x = region.left(); x <= region.right(); ++x) {
      const QColor c = image.pixelColor(x, y);
      if (const double r = contrastRatio(c, background); r > bestRatio) {
        best = c;
        bestRatio = r;
      }
    }
  }
  return best;
}

// Checks a shown About window: background, every text, the button.
void expectReadable(frmSplash& splash) {
  const QImage window = splash.grab().toImage();
  EXPECT_EQ(window.pixelColor(3, 228), kGrey) << "outside the frame";
  EXPECT_EQ(window.pixelColor(20, 200), kGrey) << "inside the frame";

  for (QLabel* label : {splash.Label1, splash.Label5, splash.lblURL}) {
    SCOPED_TRACE(label->objectName().toStdString());
    const QRect where(label->mapTo(&splash, QPoint(0, 0)), label->size());
    const QColor under = window.pixelColor(where.topLeft());
    EXPECT_EQ(under, kGrey) << "the label's background";
    const QColor text = label->palette().color(label->foregroundRole());
    EXPECT_GE(contrastRatio(text, kGrey), 4.5) << "text colour " << text.name().toStdString();
    const QColor ink = strongestInk(window, where, under);
    EXPECT_GE(contrastRatio(ink, under), 4.5) << "darkest or lightest drawn pixel " << ink.name().toStdString();
  }

  QPushButton* ok = splash.cmdSplash[2];
  const QColor caption = ok->palette().color(QPalette::ButtonText);
  EXPECT_GE(contrastRatio(caption, kGrey), 4.5) << "caption colour " << caption.name().toStdString();
  const QImage button = ok->grab().toImage();
  // The face just inside the border, level with the caption but left of it.
  const QColor face = button.pixelColor(6, button.height() / 2);
  EXPECT_GE(contrastRatio(caption, face), 4.5) << "caption on the face " << face.name().toStdString();
  const QColor ink = strongestInk(button, button.rect().adjusted(4, 4, -4, -4), face);
  EXPECT_GE(contrastRatio(ink, face), 4.5) << "the drawn caption " << ink.name().toStdString();
}

class AboutColours : public ::testing::TestWithParam<std::string> {};

// The desktop palette set before the window is made, and changed while it exists.
TEST_P(AboutColours, TextAndButtonReadableOnTheGreyBackground) {
  for (const bool before : {true, false}) {
    SCOPED_TRACE(before ? "palette set before" : "palette changed after");
    std::unique_ptr<ApplicationPalette> desktop;
    if (before) desktop = std::make_unique<ApplicationPalette>(ui::testing::desktopPalette(GetParam()));
    frmSplash splash([](const QUrl&) { return true; });
    splash.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&splash));
    if (!before) desktop = std::make_unique<ApplicationPalette>(ui::testing::desktopPalette(GetParam()));
    QApplication::processEvents();
    expectReadable(splash);
  }
}

INSTANTIATE_TEST_SUITE_P(DesktopPalettes, AboutColours, ::testing::ValuesIn(ui::testing::desktopPaletteNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace
}  // namespace pixelmote::app
