// Reading the orientation from an EXIF block: every valid value in both
// byte orders, and anything invalid or cut short taken as upright.
#include "imaging/exif_orientation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "testsupport/exif_block.h"

namespace pixelmote::imaging {
namespace {

int orientationIn(const std::string& block, std::size_t length = std::string::npos) {
  const std::vector<std::uint8_t> bytes(block.begin(), block.begin() + std::min(length, block.size()));
  return exifOrientation(bytes);
}

TEST(ExifOrientation, ReadsValidValuesAndTakesAnythingElseAsUpright) {
  for (const bool bigEndian : {false, true}) {
    for (int o = 0; o <= 10; ++o) {
      EXPECT_EQ(orientationIn(testing::exifOrientationBlock(o, bigEndian)), o >= 1 && o <= 8 ? o : 1) << o;
    }
    EXPECT_EQ(orientationIn(testing::exifOrientationBlock(0xFFFF, bigEndian)), 1);
    std::string badOrder = testing::exifOrientationBlock(6, bigEndian);
    badOrder[6] = badOrder[7] = 'X';
    EXPECT_EQ(orientationIn(badOrder), 1);
    EXPECT_EQ(orientationIn(testing::exifOrientationBlock(6, bigEndian).substr(6)), 1);  // no "Exif\0\0"
  }
  const std::string block = testing::exifOrientationBlock(6);
  EXPECT_EQ(orientationIn(block + std::string(0x10000, '\0')), 1);  // longer than any marker segment
  for (std::size_t n = 0; n < block.size(); ++n) {
    const int o = orientationIn(block, n);
    EXPECT_TRUE(o == 1 || o == 6) << "cut at " << n << " gave " << o;
  }
}

}  // namespace
}  // namespace pixelmote::imaging
