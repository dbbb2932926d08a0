// The thumbnail box for a picture size and a Size percentage.
#include "imaging/geometry.h"

#include <gtest/gtest.h>

namespace pixelmote::imaging {
namespace {

TEST(SizeThumb, ScalesBothSidesAndRoundsToWholePixels) {
  EXPECT_EQ(SizeThumb(25, {640, 480}), (Size{160, 120}));
  EXPECT_EQ(SizeThumb(50, {300, 800}), (Size{150, 400}));
  EXPECT_EQ(SizeThumb(10, {333, 333}), (Size{33, 33}));   // 33.3
  EXPECT_EQ(SizeThumb(10, {336, 335}), (Size{34, 34}));   // 33.6 and 33.5 (a half goes up)
  EXPECT_EQ(SizeThumb(100, {4000, 3000}), (Size{4000, 3000}));
  EXPECT_EQ(SizeThumb(1, {65500, 65500}), (Size{655, 655}));
}

TEST(SizeThumb, ASideThatComesToZeroIsOnePixel) {
  EXPECT_EQ(SizeThumb(0, {640, 480}), (Size{1, 1}));
  EXPECT_EQ(SizeThumb(10, {1000, 3}), (Size{100, 1}));  // 0.3 rounds to 0
  EXPECT_EQ(SizeThumb(25, {1, 5000}), (Size{1, 1250}));
}

}  // namespace
}  // namespace pixelmote::imaging
