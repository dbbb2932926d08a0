// Area-averaging resampling, fed row by row.
#include "imaging/reduce.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <gtest/gtest.h>

#include "imaging/geometry.h"
#include "testsupport/codec_testing.h"

namespace pixelmote::imaging {
namespace {

Raster reduce(const Raster& source, Size target) {
  BoxReducer reducer([target](Size, Size) { return target; });
  EXPECT_TRUE(reducer.begin(source.size, source.size, Coverage{}));
  for (int y = 0; y < source.size.height; ++y) reducer.row(y, source.row(y));
  EXPECT_EQ(reducer.rowsReceived(), source.size.height);
  return reducer.takeResult();
}

Raster noise(Size size, unsigned seed) {
  Raster r(size);
  std::srand(seed);
  for (auto& byte : r.rgb) byte = static_cast<std::uint8_t>(std::rand() % 256);
  return r;
}

double meanOf(const Raster& r, int channel) {
  double sum = 0;
  for (std::size_t i = static_cast<std::size_t>(channel); i < r.rgb.size(); i += 3) sum += r.rgb[i];
  return sum / static_cast<double>(r.size.pixels());
}

TEST(BoxReducer, SameSizeCopiesExactly) {
  const Raster source = noise({37, 23}, 1);
  EXPECT_EQ(reduce(source, source.size), source);
}

TEST(BoxReducer, HalvingAveragesEachTwoByTwoBlock) {
  Raster source({4, 2});
  const std::uint8_t values[8] = {0, 100, 10, 20, 200, 50, 30, 40};
  for (int i = 0; i < 8; ++i) {
    source.rgb[i * 3] = values[i];
    source.rgb[i * 3 + 1] = static_cast<std::uint8_t>(255 - values[i]);
    source.rgb[i * 3 + 2] = 7;
  }
  const Raster out = reduce(source, {2, 1});
  EXPECT_EQ(out.at(0, 0), (Rgb{88, 168, 7}));   // 87.5 and 167.5: halves go up
  EXPECT_EQ(out.at(1, 0), (Rgb{25, 230, 7}));   // (10 + 20 + 30 + 40) / 4
}

TEST(BoxReducer, FractionalCoverageIsWeighted) {
  // Three pixels into two: the middle pixel is shared half and half.
  Raster source({3, 1});
  const std::uint8_t values[3] = {0, 90, 180};
  for (int i = 0; i < 3; ++i) source.rgb[i * 3] = source.rgb[i * 3 + 1] = source.rgb[i * 3 + 2] = values[i];
  const Raster out = reduce(source, {2, 1});
  EXPECT_EQ(out.at(0, 0).r, 30);   // (0 * 1 + 90 * 0.5) / 1.5
  EXPECT_EQ(out.at(1, 0).r, 150);  // (90 * 0.5 + 180 * 1) / 1.5
}

TEST(BoxReducer, UniformPicturesStayUniformAtAnyRatio) {
  for (const Size target : {Size{400, 267}, Size{1, 1}, Size{1700, 1}, Size{1, 1133}, Size{999, 777}}) {
    const Raster source({1701, 1133}, Rgb{12, 200, 99});
    const Raster out = reduce(source, target);
    ASSERT_EQ(out.size, target);
    for (int y = 0; y < target.height; y += std::max(1, target.height / 7)) {
      for (int x = 0; x < target.width; x += std::max(1, target.width / 7)) {
        EXPECT_EQ(out.at(x, y), (Rgb{12, 200, 99})) << x << "," << y << " of " << target.width << "x" << target.height;
      }
    }
  }
}

TEST(BoxReducer, MeanBrightnessIsKept) {
  const Raster source = noise({640, 480}, 7);
  const Raster out = reduce(source, {123, 91});
  for (int c = 0; c < 3; ++c) EXPECT_NEAR(meanOf(out, c), meanOf(source, c), 0.6) << c;
}

TEST(BoxReducer, FineDetailBecomesItsAverageNotAliasing) {
  // One-pixel stripes of black and white reduced by 3.5 give even grey, not
  // the stripes a nearest-pixel pick would keep.
  Raster source({700, 10});
  for (int y = 0; y < 10; ++y) {
    for (int x = 0; x < 700; ++x) {
      const std::uint8_t v = x % 2 ? 255 : 0;
      std::uint8_t* p = source.row(y) + x * 3;
      p[0] = p[1] = p[2] = v;
    }
  }
  const Raster out = reduce(source, {200, 3});
  for (int x = 0; x < 200; ++x) EXPECT_NEAR(out.at(x, 1).r, 128, 20) << x;
}

TEST(BoxReducer, RefusesEmptySizes) {
  BoxReducer reducer([](Size, Size) { return Size{0, 5}; });
  EXPECT_FALSE(reducer.begin({10, 10}, {10, 10}, Coverage{}));
  BoxReducer fromEmpty([](Size, Size) { return Size{1, 1}; });
  EXPECT_FALSE(fromEmpty.begin({0, 10}, {0, 10}, Coverage{}));
}

// ---------------------------------------------------------------------------
// Rows a decoder reduced while decoding

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
// n x n pixels of each block's colour, the output rounded up so that the
// cut-off blocks at the right and bottom still give whole pixels.
Raster deliveredAt(Size full, int n, unsigned seed) {
  const Size rows{(full.width * n + 7) / 8, (full.height * n + 7) / 8};
  Raster r(rows);
  for (int y = 0; y < rows.height; ++y) {
    for (int x = 0; x < rows.width; ++x) {
      const Rgb c = testing::blockColour(x / n, y / n, seed);
      std::memcpy(r.row(y) + x * 3, &c, 3);
    }
  }
  return r;
}

TEST(BoxReducerCoverage, ReducedRowsAverageExactlyThePictureTheyCover) {
  // Every thumbnail pixel must be the exact area average of the full-size
  // picture, whatever the rounding of the reduced rows and on whichever
  // side the cut-off blocks come after the picture was turned.
  const Size sizes[] = {{477, 13}, {13, 477}, {721, 1}, {1, 721}, {37, 29}, {720, 477}, {9, 9}};
  const double percents[] = {10, 25, 33, 50};
  int checked = 0;
  for (const Size full : sizes) {
    const unsigned seed = static_cast<unsigned>(full.width * 1000 + full.height);
    const Raster upright = testing::flatBlocks(full, seed);
    for (const double percent : percents) {
      const Size box = SizeThumb(percent, full);
      for (int n = 1; n <= 8; ++n) {
        // Only scales at which the picture itself spans the box: the decoder
        // never reduces further.
        if (full.width * n < box.width * 8 || full.height * n < box.height * 8) continue;
        const Raster delivered = deliveredAt(full, n, seed);
        for (int flips = 0; flips < 4; ++flips) {
          const bool across = flips & 1;
          const bool down = flips & 2;
          SCOPED_TRACE(std::to_string(full.width) + "x" + std::to_string(full.height) + " at " +
                       std::to_string(percent) + "%, " + std::to_string(n) + "/8, mirrored " +
                       std::to_string(across) + std::to_string(down));
          const Raster shown = mirrored(upright, across, down);
          const Raster rows = mirrored(delivered, across, down);
          BoxReducer reducer([percent](Size, Size f) { return SizeThumb(percent, f); });
          ASSERT_TRUE(reducer.begin(rows.size, full, Coverage{8, n, across, down}));
          for (int y = 0; y < rows.size.height; ++y) reducer.row(y, rows.row(y));
          ASSERT_EQ(reducer.result().size, box);
          const testing::AverageError e =
              testing::compareToAverage(reducer.result(), testing::exactAreaAverage(shown, box));
          // Rounded to the nearest level, plus single-precision accumulation.
          EXPECT_LE(e.worst, 0.51) << "at " << e.x << "," << e.y;
          ++checked;
        }
      }
    }
  }
  EXPECT_GT(checked, 200);
}

TEST(BoxReducerCoverage, ACutOffEdgePixelWeighsOnlyByWhatItCovers) {
  // 9 source columns at 1/8 give 2 delivered pixels, the second standing
  // for one source column only. In a 2-pixel box each pixel covers 4.5
  // source columns: the first all of the first block, the second 3.5 of
  // the first block and the cut-off column.
  Raster delivered({2, 1});
  const Rgb block{200, 100, 0};
  const Rgb cut{0, 0, 252};
  std::memcpy(delivered.row(0), &block, 3);
  std::memcpy(delivered.row(0) + 3, &cut, 3);
  BoxReducer reducer([](Size, Size) { return Size{2, 1}; });
  ASSERT_TRUE(reducer.begin(delivered.size, {9, 1}, Coverage{8, 1}));
  reducer.row(0, delivered.row(0));
  EXPECT_EQ(reducer.result().at(0, 0), block);
  EXPECT_EQ(reducer.result().at(1, 0), (Rgb{156, 78, 56}));  // (3.5 × block + 1 × cut) / 4.5
}

}  // namespace
}  // namespace pixelmote::imaging
