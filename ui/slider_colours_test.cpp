// Slider knobs that stay visible on their dark
// blue track whatever the desktop's palette.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QTest>
#include <string>

#include "ui/colour_contrast.h"
#include "ui/palette_testing.h"
#include "ui/slider_widgets.h"

namespace pixelmote::ui {
namespace {

class KnobColours : public ::testing::TestWithParam<std::string> {};

// A track of the window's size with its knob somewhere in the middle, drawn
// under the desktop palette: the knob's face and its edges stand out from
// the track around it.
TEST_P(KnobColours, KnobStandsOutFromTheTrack) {
  testing::ApplicationPalette desktop(testing::desktopPalette(GetParam()));
  QWidget panel;
  panel.resize(200, 40);
  SliderTrack track(&panel);
  track.setGeometry(10, 10, 169, 9);
  track.knob()->setGeometry(0, 0, 17, 9);
  track.knob()->setOffset(60);
  panel.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&panel));

  const QImage image = track.grab().toImage();
  const QColor trackColour = image.pixelColor(20, 4);
  EXPECT_EQ(trackColour, QColor(0, 0, 192)) << "the track keeps its dark blue";
  const QColor face = image.pixelColor(60 + 8, 4);
  EXPECT_GE(contrastRatio(face, trackColour), 3.0) << "knob face " << face.name().toStdString();
  // The knob's outline, on either side, is told from the track too.
  for (const int x : {60, 60 + 16}) {
    const QColor edge = image.pixelColor(x, 4);
    EXPECT_GE(contrastRatio(edge, trackColour), 1.5) << "knob edge at " << x << ": " << edge.name().toStdString();
  }
}

INSTANTIATE_TEST_SUITE_P(DesktopPalettes, KnobColours, ::testing::ValuesIn(testing::desktopPaletteNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace
}  // namespace pixelmote::ui
