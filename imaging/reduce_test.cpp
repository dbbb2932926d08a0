// Area-averaging resampling, fed row by row.
#include "imaging/reduce.h"

#include <cstdlib>
#include <gtest/gtest.h>

namespace pixelmote::imaging {
namespace {

Raster reduce(const Raster& source, Size target) {
  BoxReducer reducer([target](Size, Size) { return target; });
  EXPECT_TRUE(reducer.begin(source.size, source.size));
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
  EXPECT_FALSE(reducer.begin({10, 10}, {10, 10}));
  BoxReducer fromEmpty([](Size, Size) { return Size{1, 1}; });
  EXPECT_FALSE(fromEmpty.begin({0, 10}, {0, 10}));
}

}  // namespace
}  // namespace pixelmote::imaging
