// The thumbnail box for a Size percentage, and area-averaging resampling
// into it, fed row by row, from full-size rows or rows a decoder reduced.
#include "imaging/reduce.h"

#include <cstring>
#include <string>
#include <gtest/gtest.h>

#include "imaging/geometry.h"

namespace pixelmote::imaging {
namespace {

TEST(SizeThumb, ScalesBothSidesRoundsHalvesUpAndKeepsAtLeastOnePixel) {
  const struct {
    double percent;
    Size full, box;
  } cases[] = {{25, {640, 480}, {160, 120}},   {50, {300, 800}, {150, 400}}, {10, {333, 333}, {33, 33}},
               {10, {336, 335}, {34, 34}},     {100, {4000, 3000}, {4000, 3000}}, {1, {65500, 65500}, {655, 655}},
               {0, {640, 480}, {1, 1}},        {10, {1000, 3}, {100, 1}},    {25, {1, 5000}, {1, 1250}}};
  for (const auto& c : cases) EXPECT_EQ(SizeThumb(c.percent, c.full), c.box) << c.percent << "% of " << c.full.width;
}

// A picture of w × h pixels given row by row.
Raster rasterOf(int w, int h, const std::vector<Rgb>& pixels) {
  Raster r(Size{w, h});
  for (int i = 0; i < w * h; ++i) std::memcpy(&r.rgb[i * 3], &pixels[i], 3);
  return r;
}

TEST(BoxReducer, HalvesRoundUpCutOffPixelsWeighByTheirShareAndEmptySizesAreRefused) {
  // 87.5 and 167.5 go up. 9 columns at 1/8: the cut-off delivered pixel
  // stands for one column, so its box pixel is (3.5 x block + 1 x cut) / 4.5,
  // on the left when the picture was turned across.
  const Raster pairs = rasterOf(4, 2, {{0, 255, 7}, {100, 155, 7}, {10, 245, 7}, {20, 235, 7},
                                       {200, 55, 7}, {50, 205, 7}, {30, 225, 7}, {40, 215, 7}});
  const struct {
    Raster rows;
    Size full;
    Coverage coverage;
    Raster box;
  } cases[] = {
      {pairs, {4, 2}, Coverage{}, rasterOf(2, 1, {{88, 168, 7}, {25, 230, 7}})},
      {rasterOf(2, 1, {{200, 100, 0}, {0, 0, 252}}), {9, 1}, Coverage{8, 1}, rasterOf(2, 1, {{200, 100, 0}, {156, 78, 56}})},
      {rasterOf(2, 1, {{0, 0, 252}, {200, 100, 0}}), {9, 1}, Coverage{8, 1, true, false},
       rasterOf(2, 1, {{156, 78, 56}, {200, 100, 0}})},
  };
  for (const auto& c : cases) {
    BoxReducer reducer([&c](Size, Size) { return c.box.size; });
    ASSERT_TRUE(reducer.begin(c.rows.size, c.full, c.coverage));
    for (int y = 0; y < c.rows.size.height; ++y) reducer.row(y, c.rows.row(y));
    EXPECT_EQ(reducer.takeResult(), c.box) << &c - cases;
  }
  BoxReducer toEmpty([](Size, Size) { return Size{0, 5}; });
  EXPECT_FALSE(toEmpty.begin({10, 10}, {10, 10}, Coverage{}));
  BoxReducer fromEmpty([](Size, Size) { return Size{1, 1}; });
  EXPECT_FALSE(fromEmpty.begin({0, 10}, {0, 10}, Coverage{}));
}

}  // namespace
}  // namespace pixelmote::imaging
