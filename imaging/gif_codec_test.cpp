// GIF beyond the shared contract: frames on the screen, interlacing,
// transparency, colour tables, hostile geometry, ICC extensions, and the
// encoder's palette, dithering and comment.
#include <gif_lib.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "imaging/codec.h"
#include "testsupport/codec_testing.h"
#include "testsupport/colour_profiles.h"

namespace pixelmote::imaging {
namespace {

using namespace pixelmote::testing;

struct FrameLayout {
  int left = 0, top = 0, width = 0, height = 0;
  bool interlaced = false;
  std::vector<Rgb> localColours;      // none when empty; size a power of two
  std::vector<std::uint8_t> indices;  // width × height, top row first
  int transparentIndex = -1;          // a Graphic Control Extension when >= 0
};

struct GifLayout {
  int width = 0, height = 0;
  std::vector<Rgb> globalColours;  // none when empty; size a power of two
  std::vector<FrameLayout> frames;
};

int appendToString(GifFileType* gif, const GifByteType* bytes, int length) {
  static_cast<std::string*>(gif->UserData)->append(reinterpret_cast<const char*>(bytes), length);
  return length;
}

ColorMapObject* makeMap(const std::vector<Rgb>& colours) {
  if (colours.empty()) return nullptr;
  std::vector<GifColorType> table;
  for (const Rgb& c : colours) table.push_back({c.r, c.g, c.b});
  return GifMakeMapObject(static_cast<int>(table.size()), table.data());
}

// The file giflib's encoder writes for `layout`.
std::string buildGif(const GifLayout& layout) {
  std::string out;
  int error = 0;
  GifFileType* gif = EGifOpen(&out, appendToString, &error);
  EGifSetGifVersion(gif, true);
  ColorMapObject* global = makeMap(layout.globalColours);
  EXPECT_EQ(EGifPutScreenDesc(gif, layout.width, layout.height, 8, 0, global), GIF_OK);
  GifFreeMapObject(global);
  for (const FrameLayout& f : layout.frames) {
    if (f.transparentIndex >= 0) {
      GraphicsControlBlock control{DISPOSAL_UNSPECIFIED, false, 0, f.transparentIndex};
      GifByteType extension[4];
      const auto length = static_cast<int>(EGifGCBToExtension(&control, extension));
      EXPECT_EQ(EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, length, extension), GIF_OK);
    }
    ColorMapObject* local = makeMap(f.localColours);
    EXPECT_EQ(EGifPutImageDesc(gif, f.left, f.top, f.width, f.height, f.interlaced, local), GIF_OK);
    GifFreeMapObject(local);
    std::vector<int> rows;  // in the order the frame stores them
    for (int pass = f.interlaced ? 0 : 3; pass < 4; ++pass) {
      const int start[] = {0, 4, 2, 1}, step[] = {8, 8, 4, 2};
      for (int y = f.interlaced ? start[pass] : 0; y < f.height; y += f.interlaced ? step[pass] : 1) rows.push_back(y);
    }
    for (int y : rows) {
      std::vector<GifPixelType> line(f.indices.begin() + y * f.width, f.indices.begin() + (y + 1) * f.width);
      EXPECT_EQ(EGifPutLine(gif, line.data(), f.width), GIF_OK);
    }
  }
  EXPECT_EQ(EGifCloseFile(gif, &error), GIF_OK);
  return out;
}

// Indices of a frame whose pixel (x, y) is f(x, y).
template <class F>
std::vector<std::uint8_t> framePixels(int width, int height, F f) {
  std::vector<std::uint8_t> indices;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) indices.push_back(static_cast<std::uint8_t>(f(x, y)));
  return indices;
}

// `count` distinct colours: entry i = (i, 255 - i, 7 * i mod 256).
std::vector<Rgb> distinctColours(int count) {
  std::vector<Rgb> colours;
  for (int i = 0; i < count; ++i)
    colours.push_back({static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(255 - i), static_cast<std::uint8_t>(7 * i)});
  return colours;
}

// Byte offsets in a GIF as giflib writes it.
constexpr std::size_t kScreenWidthAt = 6, kScreenPackedAt = 10, kHeaderSize = 13;

std::size_t globalTableBytes(const std::string& gif) {
  const auto packed = static_cast<std::uint8_t>(gif[kScreenPackedAt]);
  return (packed & 0x80) ? 3u << ((packed & 7) + 1) : 0;
}

// Offset of the first image descriptor (its ',' byte), past any extensions.
std::size_t firstImageAt(const std::string& gif) {
  std::size_t at = kHeaderSize + globalTableBytes(gif);
  while (at < gif.size() && gif[at] == '!') {
    for (at += 2; at < gif.size() && gif[at] != 0;) at += 1 + static_cast<std::uint8_t>(gif[at]);
    ++at;
  }
  return at;
}

std::string withWord(std::string gif, std::size_t at, int value) {
  gif[at] = static_cast<char>(value & 0xff);
  gif[at + 1] = static_cast<char>(value >> 8);
  return gif;
}

Decoded decode(const std::string& gif, Rgb background = kSurfaceBackground, DecodeLimits limits = {}) {
  Decoded d = decodeWith(decodeGif, gif, background, limits);
  if (d.begun) { EXPECT_EQ(d.raster.size, d.full); }  // never reduced while decoding
  return d;
}

constexpr Rgb kBackdrop{10, 20, 30};
const std::vector<Rgb> kFour{kRed, kGreen, kBlue, kWhite};

GifLayout smallPicture(int width, int height) {
  return {width, height, {kRed, kGreen}, {{0, 0, width, height, false, {}, framePixels(width, height, [](int x, int) { return x & 1; })}}};
}

TEST(GifDecode, TheFirstFrameIsPlacedClippedAndColouredOnTheScreen) {
  const auto frame = [](int l, int t, int w, int h, bool i, std::vector<Rgb> local, std::vector<std::uint8_t> px,
                        int transparent = -1) { return FrameLayout{l, t, w, h, i, std::move(local), std::move(px), transparent}; };
  const Rgb B = kBackdrop;
  const std::vector<Rgb> many = distinctColours(32);
  const std::vector<std::uint8_t> ramp = framePixels(5, 4, [](int x, int y) { return 1 + x + 5 * y; });
  std::vector<Rgb> clipped(24, B);  // a 5 x 4 frame at (3, 2) on 6 x 4 shows its top-left 3 x 2
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 3; ++x) clipped[(2 + y) * 6 + 3 + x] = many[1 + x + 5 * y];
  const struct {
    const char* name;
    GifLayout layout;
    Raster expected;
  } cases[] = {
      {"frame at (2, 1) with index 1 transparent", {6, 3, kFour, {frame(2, 1, 3, 2, false, {}, {0, 1, 2, 1, 3, 0}, 1)}},
       rasterOf(6, 3, {B, B, B, B, B, B, B, B, kRed, B, kBlue, B, B, B, B, kWhite, kRed, B})},
      {"the same interlaced", {6, 3, kFour, {frame(2, 1, 3, 2, true, {}, {0, 1, 2, 1, 3, 0}, 1)}},
       rasterOf(6, 3, {B, B, B, B, B, B, B, B, kRed, B, kBlue, B, B, B, B, kWhite, kRed, B})},
      {"frame past the screen is clipped", {6, 4, many, {frame(3, 2, 5, 4, false, {}, ramp)}}, rasterOf(6, 4, clipped)},
      {"the same interlaced", {6, 4, many, {frame(3, 2, 5, 4, true, {}, ramp)}}, rasterOf(6, 4, clipped)},
      {"animation gives the first frame",
       {2, 1, kFour, {frame(0, 0, 2, 1, false, {}, {0, 0}), frame(0, 0, 2, 1, false, {}, {1, 2}, 0)}},
       rasterOf(2, 1, {kRed, kRed})},
      {"a control block for the second frame only",
       {2, 1, kFour, {frame(0, 0, 2, 1, false, {}, {0, 1}), frame(0, 0, 2, 1, false, {}, {0, 1}, 0)}},
       rasterOf(2, 1, {kRed, kGreen})},
      {"local table only", {4, 1, {}, {frame(0, 0, 4, 1, false, {kBlue, kRed, kGreen, kWhite}, {0, 1, 2, 3})}},
       rasterOf(4, 1, {kBlue, kRed, kGreen, kWhite})},
      {"local table wins", {4, 1, {kRed, kRed, kRed, kRed}, {frame(0, 0, 4, 1, false, {kBlue, kGreen, kWhite, kBlack}, {0, 1, 2, 3})}},
       rasterOf(4, 1, {kBlue, kGreen, kWhite, kBlack})},
      {"indices past the table are black", {4, 1, {kRed, kGreen}, {frame(0, 0, 4, 1, false, {}, {0, 1, 2, 3})}},
       rasterOf(4, 1, {kRed, kGreen, kBlack, kBlack})},
  };
  for (const auto& c : cases) {
    const std::string gif = buildGif(c.layout);
    for (const std::size_t cut : {std::size_t{0}, std::size_t{8}}) {  // damage in later frames is never read
      if (cut > 0 && c.layout.frames.size() < 2) continue;
      const Decoded d = decode(gif.substr(0, gif.size() - cut), kBackdrop);
      ASSERT_TRUE(d.status.ok()) << c.name << ": " << d.status.message();
      EXPECT_EQ(d.raster, c.expected) << c.name;
    }
  }
}

TEST(GifDecode, InterlacedRowsComeOutInPictureOrder) {
  for (int height : {1, 2, 3, 5, 8, 9, 19, 33}) {
    GifLayout layout{3, height, distinctColours(64), {{0, 0, 3, height, true, {}, framePixels(3, height, [](int x, int y) { return (y * 3 + x) % 64; })}}};
    const Decoded d = decode(buildGif(layout));
    ASSERT_TRUE(d.status.ok()) << d.status.message();
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < 3; ++x) ASSERT_EQ(d.raster.at(x, y), layout.globalColours[(y * 3 + x) % 64]) << height << " " << y;
  }
}

TEST(GifDecode, TransparencyNeedsTheControlBlocksFlagAndNoTableGivesAGreyRamp) {
  std::string gif = buildGif({2, 1, {kRed, kGreen}, {{0, 0, 2, 1, false, {}, {0, 1}}}});
  const std::size_t image = firstImageAt(gif);
  gif.insert(image, std::string("\x21\xf9\x04\x00\x00\x00\x01\x00", 8));  // names index 1, flag clear
  EXPECT_EQ(decode(gif, kBackdrop).raster, rasterOf(2, 1, {kRed, kGreen}));
  gif[image + 3] = 0x01;
  EXPECT_EQ(decode(gif, kBackdrop).raster, rasterOf(2, 1, {kRed, kBackdrop}));

  // Without any colour table, colour resolution 2 bits: four grey levels.
  gif = buildGif({4, 1, kFour, {{0, 0, 4, 1, false, {}, {0, 1, 2, 3}}}});
  gif.erase(kHeaderSize, globalTableBytes(gif));
  gif[kScreenPackedAt] = 0x10;
  const Decoded d = decode(gif);
  ASSERT_TRUE(d.status.ok()) << d.status.message();
  EXPECT_EQ(d.raster.at(0, 0), kBlack);
  EXPECT_EQ(d.raster.at(3, 0), kWhite);
  for (int x = 1; x < 4; ++x) {
    const Rgb c = d.raster.at(x, 0);
    EXPECT_TRUE(c.r == c.g && c.g == c.b && c.r > d.raster.at(x - 1, 0).r) << x;
  }
}

TEST(GifDecode, HostileGeometryAndDataFailBeforeOrWithoutAllRows) {
  const std::string small = buildGif(smallPicture(4, 4));
  const std::size_t image = firstImageAt(small), codeSize = image + 10;
  std::string shortData = buildGif({40, 30, distinctColours(256), {{0, 0, 40, 30, false, {}, framePixels(40, 30, [](int x, int y) { return x * 7 + y * 13; })}}});
  const std::size_t block = firstImageAt(shortData) + 11;
  shortData.resize(block + 1 + 10);  // the first data block cut to 10 bytes and closed
  shortData[block] = 10;
  shortData += std::string("\x00\x3b", 2);
  std::string badCodeSize = small;
  badCodeSize[codeSize] = 12;
  DecodeLimits limit400;
  limit400.maxPixels = 400;
  const struct {
    const char* name;
    std::string gif;
    const char* message;  // a part of it; empty: any
    bool mayBegin = false;
  } cases[] = {
      {"huge screen", withWord(withWord(small, kScreenWidthAt, 65535), kScreenWidthAt + 2, 65535), "too large"},
      {"huge frame", withWord(withWord(small, image + 5, 65535), image + 7, 65535), "too large"},
      {"frame beyond a lowered limit", buildGif({10, 10, {kRed, kGreen}, {{0, 0, 21, 20, false, {}, std::vector<std::uint8_t>(420, 1)}}}), "too large"},
      {"frame height 0", withWord(small, image + 7, 0), ""},
      {"frame width 0", withWord(small, image + 5, 0), ""},
      {"screen width 0", withWord(small, kScreenWidthAt, 0), ""},
      {"frame right of the screen", buildGif({4, 4, {kRed, kGreen}, {{4, 0, 2, 2, false, {}, {0, 1, 1, 0}}}}), ""},
      {"frame below the screen", buildGif({4, 4, {kRed, kGreen}, {{0, 9, 2, 2, false, {}, {0, 1, 1, 0}}}}), ""},
      {"no frame", buildGif({4, 4, {kRed, kGreen}, {}}), ""},
      {"data ending before the last pixel", shortData, "", true},
      {"code size 12", badCodeSize, "corrupt", true},
  };
  for (const auto& c : cases) {
    const Decoded d = decode(c.gif, kSurfaceBackground, limit400);
    EXPECT_FALSE(d.status.ok()) << c.name;
    EXPECT_NE(d.status.message().find(c.message), std::string::npos) << c.name << ": " << d.status.message();
    if (!c.mayBegin) { EXPECT_FALSE(d.begun) << c.name; }
    EXPECT_FALSE(d.complete()) << c.name;
  }
  EXPECT_TRUE(decode(buildGif(smallPicture(20, 20)), kSurfaceBackground, limit400).status.ok());
}

TEST(GifDecode, IccApplicationExtensionIsHandedOnWhenUsable) {
  const Icc adobe = adobeLikeProfile();
  const struct {
    const char* name;
    Icc inFile, handedOn;
  } cases[] = {{"rgb profile", adobe, adobe}, {"not a profile", Icc(700, 0x5A), {}}, {"cmyk profile", tintedCmykProfile(), {}}, {"empty", {}, {}}};
  const std::string plain = buildGif(smallPicture(4, 4));
  for (const auto& c : cases) {
    std::string extension = "\x21\xFF\x0B" "ICCRGBG1012";  // in sub-blocks of at most 255 bytes
    for (std::size_t at = 0; at < c.inFile.size(); at += 255) {
      const std::size_t n = std::min<std::size_t>(255, c.inFile.size() - at);
      extension += static_cast<char>(n) + std::string(c.inFile.begin() + at, c.inFile.begin() + at + n);
    }
    std::string gif = plain;
    gif.insert(kHeaderSize + globalTableBytes(gif), extension + '\0');
    std::vector<std::uint8_t> profile = {9};
    DecodeRequest request;
    request.profile = &profile;
    const Decoded d = decodeWith(decodeGif, gif, request);
    ASSERT_TRUE(d.status.ok()) << c.name << ": " << d.status.message();
    EXPECT_EQ(profile, c.handedOn) << c.name;
    EXPECT_EQ(d.raster, decode(plain).raster) << c.name;
  }
}

std::size_t coloursIn(const Raster& raster) {
  std::set<std::uint32_t> colours;
  for (std::size_t i = 0; i + 2 < raster.rgb.size(); i += 3)
    colours.insert(static_cast<std::uint32_t>(raster.rgb[i]) << 16 | raster.rgb[i + 1] << 8 | raster.rgb[i + 2]);
  return colours.size();
}

TEST(GifEncode, PhotographsAreReducedToAtMostTwoToTheBitsColours) {
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
    // Dithering keeps the tones: every band of rows, down to the last, has
    // the original's mean colour.
    for (int top = 0; top < 192; top += 16) {
      for (int channel = 0; channel < 3; ++channel) {
        double original = 0;
        double reduced = 0;
        for (int y = top; y < top + 16; ++y)
          for (int x = 0; x < 256; ++x) {
            original += photo.row(y)[x * 3 + channel];
            reduced += d.raster.row(y)[x * 3 + channel];
          }
        EXPECT_NEAR(reduced / (16 * 256), original / (16 * 256), 8.0) << "rows from " << top << ", channel " << channel;
      }
    }
  }
  for (const int bits : {0, 9}) EXPECT_FALSE(encodeGif(photo, bits).ok()) << bits;
  EXPECT_FALSE(encodeGif(Raster({0, 5}), 8).ok());
  EXPECT_FALSE(encodeGif(Raster({65536, 1}), 8).ok());
  EXPECT_TRUE(encodeGif(Raster({65535, 1}), 8).ok());
}

TEST(GifComment, StoredBeforeThePictureAndFoundAgain) {
  const Raster picture = fewColours(9, 4, 5);
  for (const std::string& text : {std::string("pixelmote thumbnail 1; picture 12 bytes"), std::string(700, 'c')}) {
    const auto gif = encodeGif(picture, 8, text);
    ASSERT_TRUE(gif) << gif.message();
    EXPECT_EQ(leadingComment(bytesOf(gif.value())), text);
    EXPECT_EQ(decode(gif.value()).raster, picture);  // still an ordinary picture
  }
  EXPECT_EQ(leadingComment(bytesOf(encodeGif(picture, 8).value())), "");
  EXPECT_EQ(leadingComment(bytesOf(std::string("GIF89a"))), "");
}

}  // namespace
}  // namespace pixelmote::imaging
