#include "ui/knob.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>

namespace pixelmote::ui {
namespace {

TEST(KnobTest, ClampKeepsTheOffsetOnTheTrack) {
  EXPECT_EQ(clampKnobOffset(500.0f), 152.0f);
  EXPECT_EQ(clampKnobOffset(152.5f), 152.0f);
  EXPECT_EQ(clampKnobOffset(-50.0f), 0.0f);
  EXPECT_EQ(clampKnobOffset(76.0f), 76.0f);
  EXPECT_EQ(clampKnobOffset(0.25f), 0.25f);
  EXPECT_EQ(clampKnobOffset(std::numeric_limits<float>::quiet_NaN()), 0.0f);
  EXPECT_FALSE(std::signbit(clampKnobOffset(-0.0f)));
}

TEST(KnobTest, ValueIsThePercentageOfTheTrackRoundedHalfUp) {
  EXPECT_EQ(knobValue(0.0f), 0);
  EXPECT_EQ(knobValue(1.0f), 1);  // 0.66 shows as 1
  EXPECT_EQ(knobValue(76.0f), 50);
  EXPECT_EQ(knobValue(152.0f), 100);
  EXPECT_EQ(knobValue(151.0f), 99);
  EXPECT_EQ(knobValue(0.75f), 0);  // 0.49
  // These offsets give exactly 0.5, 1.5 and 2.5 in single precision; halves
  // go up, never to the even neighbour.
  EXPECT_EQ(knobValue(0.76f), 1);
  EXPECT_EQ(knobValue(2.28f), 2);
  EXPECT_EQ(knobValue(3.8f), 3);
  // Offsets off the track show the value of the nearest end.
  EXPECT_EQ(knobValue(500.0f), 100);
  EXPECT_EQ(knobValue(-50.0f), 0);
}

TEST(KnobTest, ParsesSignedDecimalNumbers) {
  EXPECT_EQ(parseKnobOffset("76", '.'), 76.0f);
  EXPECT_EQ(parseKnobOffset("  -50\t", '.'), -50.0f);
  EXPECT_EQ(parseKnobOffset("+12.5", '.'), 12.5f);
  EXPECT_EQ(parseKnobOffset("12,5", ','), 12.5f);
  EXPECT_EQ(parseKnobOffset(".5", '.'), 0.5f);
  EXPECT_EQ(parseKnobOffset("5.", '.'), 5.0f);
  EXPECT_EQ(parseKnobOffset("-0", '.'), 0.0f);
  EXPECT_EQ(parseKnobOffset("500", '.'), 500.0f);
  EXPECT_EQ(parseKnobOffset("0.1", '.'), 0.1f);
}

TEST(KnobTest, RejectsTextThatIsNoPlainNumber) {
  for (const char* text : {"abc", "", "   ", "1.2.3", "12,5", "1e3", "1E3", "inf", "nan", "-", "+", ".", "+-1",
                           "12abc", "0x10", "1 2", "--1"}) {
    EXPECT_EQ(parseKnobOffset(text, '.'), std::nullopt) << '"' << text << '"';
  }
  EXPECT_EQ(parseKnobOffset("12.5", ','), std::nullopt);
  EXPECT_EQ(parseKnobOffset(std::string(50, '9'), '.'), std::nullopt);  // beyond the float range
}

TEST(KnobTest, FormatsTheShortestPlainDecimal) {
  EXPECT_EQ(formatKnobOffset(76.0f, '.'), "76");
  EXPECT_EQ(formatKnobOffset(0.0f, '.'), "0");
  EXPECT_EQ(formatKnobOffset(-0.0f, '.'), "0");
  EXPECT_EQ(formatKnobOffset(152.0f, '.'), "152");
  EXPECT_EQ(formatKnobOffset(12.5f, '.'), "12.5");
  EXPECT_EQ(formatKnobOffset(12.5f, ','), "12,5");
  EXPECT_EQ(formatKnobOffset(0.1f, '.'), "0.1");
  EXPECT_EQ(formatKnobOffset(-50.0f, '.'), "-50");
  EXPECT_EQ(formatKnobOffset(1e-7f, '.'), "0.0000001");
}

TEST(KnobTest, FormattedOffsetsReadBackExactly) {
  for (float offset : {0.1f, 1.0f / 3.0f, 76.25f, 151.99999f, 1e-7f, 123456.78f, -3.75f}) {
    for (char mark : {'.', ','}) {
      const auto back = parseKnobOffset(formatKnobOffset(offset, mark), mark);
      ASSERT_TRUE(back.has_value()) << offset;
      EXPECT_EQ(*back, offset) << formatKnobOffset(offset, mark);
    }
  }
}

}  // namespace
}  // namespace pixelmote::ui
