// Under the desktop palettes a user may have: the About window's grey
// background stays and its text and button stay readable on it; the slider
// knobs stay visible on their dark blue track.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <memory>
#include <string>

#include "app/frmsplash.h"
#include "ui/colour_contrast.h"
#include "ui/palette_testing.h"
#include "ui/slider_widgets.h"

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
    const QRect where(label->mapTo(&splash, QPoint(0, 0)), label->size());
    EXPECT_EQ(window.pixelColor(where.topLeft()), kGrey) << "the label's background";
    const QColor ink = strongestInk(window, where, kGrey);
    EXPECT_GE(contrastRatio(ink, kGrey), 4.5) << label->objectName().toStdString() << " " << ink.name().toStdString();
  }
  // The button's caption on its face, just inside the border, left of the caption.
  const QImage button = splash.cmdSplash[2]->grab().toImage();
  const QColor face = button.pixelColor(6, button.height() / 2);
  const QColor ink = strongestInk(button, button.rect().adjusted(4, 4, -4, -4), face);
  EXPECT_GE(contrastRatio(ink, face), 4.5) << "the drawn caption " << ink.name().toStdString();
}

class PaletteColours : public ::testing::TestWithParam<std::string> {};

// The desktop palette set before the window is made, and changed while it exists.
TEST_P(PaletteColours, AboutTextAndButtonReadableOnTheGreyBackground) {
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

// A track of the window's size with its knob in the middle: the knob's face
// and its edges stand out from the track around it.
TEST_P(PaletteColours, SliderKnobStandsOutFromTheTrack) {
  ApplicationPalette desktop(ui::testing::desktopPalette(GetParam()));
  QWidget panel;
  panel.resize(200, 40);
  ui::SliderTrack track(&panel);
  track.setGeometry(10, 10, 169, 9);
  track.knob()->setGeometry(0, 0, 17, 9);
  track.knob()->setOffset(60);
  panel.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&panel));
  const QImage image = track.grab().toImage();
  const QColor trackColour = image.pixelColor(20, 4);
  EXPECT_EQ(trackColour, QColor(0, 0, 192)) << "the track keeps its dark blue";
  EXPECT_GE(contrastRatio(image.pixelColor(60 + 8, 4), trackColour), 3.0) << "the knob's face";
  for (const int x : {60, 60 + 16}) EXPECT_GE(contrastRatio(image.pixelColor(x, 4), trackColour), 1.5) << "edge " << x;
}

INSTANTIATE_TEST_SUITE_P(DesktopPalettes, PaletteColours, ::testing::ValuesIn(ui::testing::desktopPaletteNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace
}  // namespace pixelmote::app
