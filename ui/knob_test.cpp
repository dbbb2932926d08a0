#include "ui/knob.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <optional>
#include <string>

namespace pixelmote::ui {
namespace {

TEST(KnobTest, ClampAndValueKeepToTheTrack) {
  const struct {
    float offset, clamped;
    int value;
  } cases[] = {
      {500.0f, 152.0f, 100}, {152.5f, 152.0f, 100}, {-50.0f, 0.0f, 0}, {76.0f, 76.0f, 50}, {151.0f, 151.0f, 99},
      {1.0f, 1.0f, 1},       {0.75f, 0.75f, 0},     // 0.66 shows as 1, 0.49 as 0
      {0.76f, 0.76f, 1},     {2.28f, 2.28f, 2},     {3.8f, 3.8f, 3},  // exactly .5 in single precision: halves go up
      {std::numeric_limits<float>::quiet_NaN(), 0.0f, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(clampKnobOffset(c.offset), c.clamped) << c.offset;
    EXPECT_EQ(knobValue(c.offset), c.value) << c.offset;
  }
  EXPECT_FALSE(std::signbit(clampKnobOffset(-0.0f)));
}

TEST(KnobTest, ParsesOnlyPlainSignedDecimals) {
  const struct {
    std::string text;
    char mark;
    std::optional<float> offset;
  } cases[] = {
      {"76", '.', 76.0f}, {"  -50\t", '.', -50.0f}, {"+12.5", '.', 12.5f}, {"12,5", ',', 12.5f}, {".5", '.', 0.5f},
      {"5.", '.', 5.0f},  {"-0", '.', 0.0f},        {"0.1", '.', 0.1f},    {"12.5", ',', std::nullopt},
      {std::string(50, '9'), '.', std::nullopt},  // beyond the float range
  };
  for (const auto& c : cases) EXPECT_EQ(parseKnobOffset(c.text, c.mark), c.offset) << '"' << c.text << '"';
  for (const char* text : {"abc", "", "   ", "1.2.3", "12,5", "1e3", "inf", "nan", "-", ".", "+-1", "12abc", "0x10",
                           "1 2", "--1"}) {
    EXPECT_EQ(parseKnobOffset(text, '.'), std::nullopt) << '"' << text << '"';
  }
}

TEST(KnobTest, FormatsTheShortestPlainDecimalThatReadsBackExactly) {
  const struct {
    float offset;
    char mark;
    const char* text;
  } cases[] = {{76.0f, '.', "76"},     {-0.0f, '.', "0"},     {12.5f, ',', "12,5"},
               {0.1f, '.', "0.1"},     {-50.0f, '.', "-50"}, {1e-7f, '.', "0.0000001"}};
  for (const auto& c : cases) EXPECT_EQ(formatKnobOffset(c.offset, c.mark), c.text);
  for (float offset : {0.1f, 1.0f / 3.0f, 151.99999f, 1e-7f, 123456.78f, -3.75f}) {
    for (char mark : {'.', ','}) EXPECT_EQ(parseKnobOffset(formatKnobOffset(offset, mark), mark), offset);
  }
}

}  // namespace
}  // namespace pixelmote::ui
