// The thumbnail box for a Size percentage, and area-averaging resampling
// into it, fed row by row, from full-size rows or rows a decoder reduced.
#include "imaging/reduce.h"

#include <cstring>
#include <string>
#include <gtest/gtest.h>

#include "imaging/geometry.h"
#include "testsupport/codec_testing.h"

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

Raster mirrored(const Raster& r, bool across, bool down) {
  Raster out(r.size);
  for (int y = 0; y < r.size.height; ++y) {
    for (int x = 0; x < r.size.width; ++x) {
      const int sx = across ? r.size.width - 1 - x : x;
      const int sy = down ? r.size.height - 1 - y : y;
      std::memcpy(out.row(y) + x * 3, r.row(sy) + sx * 3, 3);
    }
  }
  return out;
}

// What a decoder reducing a picture of flat 8 x 8 blocks to n/8 delivers:
// n x n pixels of each block's colour, rounded up at the right and bottom.
Raster deliveredAt(Size full, int n, unsigned seed) {
  Raster r({(full.width * n + 7) / 8, (full.height * n + 7) / 8});
  for (int y = 0; y < r.size.height; ++y) {
    for (int x = 0; x < r.size.width; ++x) {
      const Rgb c = testing::blockColour(x / n, y / n, seed);
      std::memcpy(r.row(y) + x * 3, &c, 3);
    }
  }
  return r;
}

Raster reduced(const Raster& rows, Size full, Coverage coverage, Size target) {
  BoxReducer reducer([target](Size, Size) { return target; });
  EXPECT_TRUE(reducer.begin(rows.size, full, coverage));
  for (int y = 0; y < rows.size.height; ++y) reducer.row(y, rows.row(y));
  EXPECT_EQ(reducer.rowsReceived(), rows.size.height);
  return reducer.takeResult();
}

// Every box pixel is the exact area average of the full-size picture,
// rounded to the nearest level (plus single-precision accumulation):
// from full-size rows at any ratio, and from reduced rows whatever their
// rounding and on whichever side the cut-off blocks lie after a turn.
TEST(BoxReducer, EveryPixelIsTheExactAreaAverageOfWhatItCovers) {
  const struct {
    Size full, box;
  } plain[] = {{{37, 23}, {37, 23}}, {{640, 480}, {123, 91}}, {{3, 1}, {2, 1}},     {{700, 10}, {200, 3}},
               {{1701, 1133}, {1, 1}}, {{1701, 1133}, {1700, 1}}, {{1701, 1133}, {1, 1133}}, {{1701, 1133}, {999, 777}}};
  for (const auto& c : plain) {
    SCOPED_TRACE(std::to_string(c.full.width) + "x" + std::to_string(c.full.height) + " to " +
                 std::to_string(c.box.width) + "x" + std::to_string(c.box.height));
    const Raster source = testing::noise(c.full, static_cast<unsigned>(c.box.width));
    const Raster out = reduced(source, c.full, Coverage{}, c.box);
    ASSERT_EQ(out.size, c.box);
    const testing::AverageError e = testing::compareToAverage(out, testing::exactAreaAverage(source, c.box));
    EXPECT_LE(e.worst, 0.51) << "at " << e.x << "," << e.y;
  }
  int checked = 0;
  for (const Size full : {Size{477, 13}, Size{13, 477}, Size{721, 1}, Size{1, 721}, Size{37, 29}, Size{720, 477},
                          Size{9, 9}}) {
    const auto seed = static_cast<unsigned>(full.width * 1000 + full.height);
    const Raster upright = testing::flatBlocks(full, seed);
    for (const double percent : {10.0, 25.0, 33.0, 50.0}) {
      const Size box = SizeThumb(percent, full);
      for (int n = 1; n <= 8; ++n) {
        // A decoder never reduces below the box.
        if (full.width * n < box.width * 8 || full.height * n < box.height * 8) continue;
        for (int flips = 0; flips < 4; ++flips) {
          const bool across = flips & 1, down = flips & 2;
          SCOPED_TRACE(std::to_string(full.width) + "x" + std::to_string(full.height) + " at " +
                       std::to_string(percent) + "%, " + std::to_string(n) + "/8, flips " + std::to_string(flips));
          const Raster rows = mirrored(deliveredAt(full, n, seed), across, down);
          const Raster out = reduced(rows, full, Coverage{8, n, across, down}, box);
          ASSERT_EQ(out.size, box);
          const testing::AverageError e =
              testing::compareToAverage(out, testing::exactAreaAverage(mirrored(upright, across, down), box));
          EXPECT_LE(e.worst, 0.51) << "at " << e.x << "," << e.y;
          ++checked;
        }
      }
    }
  }
  EXPECT_GT(checked, 200);
}

TEST(BoxReducer, HalvesRoundUpCutOffPixelsWeighByTheirShareAndEmptySizesAreRefused) {
  const Raster pairs = testing::rasterOf(4, 2, {{0, 255, 7}, {100, 155, 7}, {10, 245, 7}, {20, 235, 7},
                                                {200, 55, 7}, {50, 205, 7}, {30, 225, 7}, {40, 215, 7}});
  // 87.5 and 167.5 go up.
  EXPECT_EQ(reduced(pairs, {4, 2}, Coverage{}, {2, 1}), testing::rasterOf(2, 1, {{88, 168, 7}, {25, 230, 7}}));
  // 9 columns at 1/8: the second delivered pixel stands for one column, so
  // the second box pixel is (3.5 x block + 1 x cut) / 4.5.
  const Raster cutOff = testing::rasterOf(2, 1, {{200, 100, 0}, {0, 0, 252}});
  EXPECT_EQ(reduced(cutOff, {9, 1}, Coverage{8, 1}, {2, 1}), testing::rasterOf(2, 1, {{200, 100, 0}, {156, 78, 56}}));
  BoxReducer toEmpty([](Size, Size) { return Size{0, 5}; });
  EXPECT_FALSE(toEmpty.begin({10, 10}, {10, 10}, Coverage{}));
  BoxReducer fromEmpty([](Size, Size) { return Size{1, 1}; });
  EXPECT_FALSE(fromEmpty.begin({0, 10}, {0, 10}, Coverage{}));
}

}  // namespace
}  // namespace pixelmote::imaging
