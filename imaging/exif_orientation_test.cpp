// Reading the orientation from an EXIF block: every valid value in both
// byte orders, and anything malformed taken as upright.
#include "imaging/exif_orientation.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "testsupport/exif_block.h"

namespace pixelmote::imaging {
namespace {

using ByteVector = std::vector<std::uint8_t>;

// "Exif\0\0" and a TIFF structure whose IFD0 at offset 8 holds `entries`
// entries (tag, type, count, SHORT value) and a next-directory link.
ByteVector handMadeExif(bool big, std::vector<std::array<std::uint32_t, 4>> entries, std::uint32_t ifd = 8,
                        int declaredEntries = -1, std::uint32_t next = 0) {
  const auto order = static_cast<std::uint8_t>(big ? 'M' : 'I');
  ByteVector b = {'E', 'x', 'i', 'f', 0, 0, order, order};
  auto put16 = [&](std::uint32_t v) {
    b.insert(b.end(), big ? std::initializer_list<std::uint8_t>{std::uint8_t(v >> 8), std::uint8_t(v)}
                          : std::initializer_list<std::uint8_t>{std::uint8_t(v), std::uint8_t(v >> 8)});
  };
  auto put32 = [&](std::uint32_t v) { big ? (put16(v >> 16), put16(v & 0xFFFF)) : (put16(v & 0xFFFF), put16(v >> 16)); };
  put16(42);
  put32(ifd);
  put16(declaredEntries >= 0 ? static_cast<std::uint32_t>(declaredEntries) : static_cast<std::uint32_t>(entries.size()));
  for (const auto& [tag, type, count, value] : entries) {
    put16(tag), put16(type), put32(count);
    type == 4 ? put32(value) : (put16(value), put16(0));
  }
  put32(next);
  return b;
}

constexpr std::uint32_t kOrientationTag = 0x0112, kShort = 3;

TEST(ExifOrientation, ReadsValidValuesAndTakesAnythingElseAsUpright) {
  for (int o = 1; o <= 8; ++o) {
    const std::string made = testing::exifOrientationBlock(o, true);  // with the other entries libexif writes
    EXPECT_EQ(exifOrientation(ByteVector(made.begin(), made.end())), o);
    EXPECT_EQ(exifOrientation(handMadeExif(false, {{kOrientationTag, kShort, 1, std::uint32_t(o)}})), o);
    EXPECT_EQ(exifOrientation(handMadeExif(true, {{kOrientationTag, kShort, 1, std::uint32_t(o)}})), o);
  }
  ByteVector bare = handMadeExif(false, {{kOrientationTag, kShort, 1, 6}});
  bare.erase(bare.begin(), bare.begin() + 6);
  ByteVector badOrder = handMadeExif(false, {{kOrientationTag, kShort, 1, 6}});
  badOrder[6] = badOrder[7] = 'X';
  const struct {
    const char* name;
    ByteVector block;
    int expected;
  } cases[] = {
      {"9", handMadeExif(false, {{kOrientationTag, kShort, 1, 9}}), 1},
      {"0", handMadeExif(false, {{kOrientationTag, kShort, 1, 0}}), 1},
      {"0xFFFF", handMadeExif(true, {{kOrientationTag, kShort, 1, 0xFFFF}}), 1},
      {"empty", {}, 1},
      {"header only", {'E', 'x', 'i', 'f', 0, 0}, 1},
      {"no EXIF header", bare, 1},
      {"no orientation entry", handMadeExif(false, {{0x011A, 5, 1, 0}}), 1},
      {"unknown byte order", badOrder, 1},
      {"directory beyond the end", handMadeExif(false, {{kOrientationTag, kShort, 1, 6}}, 0x7FFFFFF0), 1},
      {"huge value count", handMadeExif(false, {{kOrientationTag, kShort, 0x7FFFFFFF, 0xFF00}}), 1},
      {"ASCII value", handMadeExif(false, {{kOrientationTag, 2, 2, '6'}}), 1},
      {"65535 entries declared", handMadeExif(false, {{0x011A, 5, 1, 0}}, 8, 0xFFFF), 1},
      {"directories pointing at themselves", handMadeExif(false, {{kOrientationTag, kShort, 1, 6}, {0x8769, 4, 1, 8}}, 8, -1, 8), 6},
  };
  for (const auto& c : cases) EXPECT_EQ(exifOrientation(c.block), c.expected) << c.name;
  const std::string made = testing::exifOrientationBlock(6);
  const ByteVector block(made.begin(), made.end());
  for (std::size_t n = 0; n < block.size(); ++n) {
    const int o = exifOrientation(std::span(block.data(), n));
    EXPECT_TRUE(o == 1 || o == 6) << "cut at " << n << " gave " << o;
  }
}

}  // namespace
}  // namespace pixelmote::imaging
