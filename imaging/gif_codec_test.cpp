// GIF beyond the shared contract and the reference files: ICC extensions,
// and the encoder's palette, dithering and comment.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "imaging/codec.h"
#include "testsupport/codec_testing.h"
#include "testsupport/colour_profiles.h"

namespace pixelmote::imaging {
namespace {

using namespace pixelmote::testing;

// The bytes of the colour table that follows the 13-byte header.
std::size_t globalTableBytes(const std::string& gif) {
  const auto packed = static_cast<std::uint8_t>(gif[10]);
  return (packed & 0x80) ? 3u << ((packed & 7) + 1) : 0;
}

Decoded decode(const std::string& gif, const DecodeRequest& request = {}) { return decodeWith(decodeGif, gif, request); }

TEST(GifDecode, IccApplicationExtensionIsHandedOnWhenUsable) {
  const Icc adobe = profileFile("adobe-like.icc");
  const struct {
    Icc inFile, handedOn;
  } cases[] = {{adobe, adobe}, {Icc(700, 0x5A), {}}, {profileFile("tinted-cmyk.icc"), {}}, {{}, {}}};
  const std::string plain = encodeGif(fewColours(4, 4, 2), 8).value();
  for (const auto& c : cases) {
    std::string extension = "\x21\xFF\x0B" "ICCRGBG1012";  // in sub-blocks of at most 255 bytes
    for (std::size_t at = 0; at < c.inFile.size(); at += 255) {
      const std::size_t n = std::min<std::size_t>(255, c.inFile.size() - at);
      extension += static_cast<char>(n) + std::string(c.inFile.begin() + at, c.inFile.begin() + at + n);
    }
    std::string gif = plain;
    gif.insert(13 + globalTableBytes(gif), extension + '\0');
    std::vector<std::uint8_t> profile = {9};
    DecodeRequest request;
    request.profile = &profile;
    const Decoded d = decode(gif, request);
    ASSERT_TRUE(d.status.ok()) << &c - cases << ": " << d.status.message();
    EXPECT_EQ(profile, c.handedOn) << &c - cases;
    EXPECT_EQ(d.raster, decode(plain).raster) << &c - cases;
  }
}

std::size_t coloursIn(const Raster& raster) {
  std::set<std::uint32_t> colours;
  for (std::size_t i = 0; i + 2 < raster.rgb.size(); i += 3)
    colours.insert(static_cast<std::uint32_t>(raster.rgb[i]) << 16 | raster.rgb[i + 1] << 8 | raster.rgb[i + 2]);
  return colours.size();
}

TEST(GifEncode, PhotographsAreReducedToAtMostTwoToTheBitsColoursKeepingTheirTones) {
  Raster photo({256, 192});
  for (int y = 0; y < 192; ++y)
    for (int x = 0; x < 256; ++x) {
      const Rgb c{static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(255 * y / 191),
                  static_cast<std::uint8_t>(127 + 100 * std::sin(x * 0.05 + y * 0.03))};
      std::memcpy(photo.row(y) + x * 3, &c, 3);
    }
  for (const int bits : {1, 4, 8}) {
    const std::string gif = encodeGif(photo, bits).value();
    EXPECT_LE(globalTableBytes(gif) / 3, 1u << bits);
    const Decoded d = decode(gif);
    ASSERT_TRUE(d.status.ok()) << d.status.message();
    EXPECT_LE(coloursIn(d.raster), 1u << bits);
    if (bits != 8) continue;
    EXPECT_GT(coloursIn(d.raster), 64u);
    // Dithering keeps every band of 16 rows, down to the last, at the original's mean.
    for (int i = 0; i < 12 * 3; ++i) {
      double original = 0, reduced = 0;
      for (int b = i / 3 * 16 * 256 * 3 + i % 3; b < (i / 3 + 1) * 16 * 256 * 3; b += 3) {
        original += photo.rgb[b];
        reduced += d.raster.rgb[b];
      }
      EXPECT_NEAR(reduced / (16 * 256), original / (16 * 256), 8.0) << "band " << i / 3 << ", channel " << i % 3;
    }
  }
  for (const int bits : {0, 9}) EXPECT_FALSE(encodeGif(photo, bits).ok()) << bits;
}

TEST(GifComment, StoredBeforeThePictureAndFoundAgain) {
  const Raster picture = fewColours(9, 4, 5);
  for (const std::string& text : {std::string("pixelmote thumbnail 1; picture 12 bytes"), std::string(700, 'c'), std::string()}) {
    const auto gif = text.empty() ? encodeGif(picture, 8) : encodeGif(picture, 8, text);
    ASSERT_TRUE(gif) << gif.message();
    EXPECT_EQ(leadingComment(bytesOf(gif.value())), text);
    EXPECT_EQ(decode(gif.value()).raster, picture);  // still an ordinary picture
  }
  EXPECT_EQ(leadingComment(bytesOf(std::string("GIF89a"))), "");
}

}  // namespace
}  // namespace pixelmote::imaging
