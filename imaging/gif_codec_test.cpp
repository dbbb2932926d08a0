#include <gif_lib.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
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

// ---------------------------------------------------------------------------
// Test GIFs, written with giflib's encoder.

struct FrameLayout {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
  bool interlaced = false;
  std::vector<Rgb> localColours;      // none when empty; size a power of two
  std::vector<std::uint8_t> indices;  // width × height, top row first
  int transparentIndex = -1;          // a Graphic Control Extension when >= 0
};

struct GifLayout {
  int width = 0;
  int height = 0;
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
  ColorMapObject* map = GifMakeMapObject(static_cast<int>(table.size()), table.data());
  EXPECT_NE(map, nullptr) << "colour table size must be a power of two";
  return map;
}

// Frame rows in the order an interlaced frame stores them.
std::vector<int> interlacedOrder(int height) {
  std::vector<int> order;
  const int start[] = {0, 4, 2, 1};
  const int step[] = {8, 8, 4, 2};
  for (int pass = 0; pass < 4; ++pass) {
    for (int y = start[pass]; y < height; y += step[pass]) order.push_back(y);
  }
  return order;
}

std::string buildGif(const GifLayout& layout) {
  std::string out;
  int error = 0;
  GifFileType* gif = EGifOpen(&out, appendToString, &error);
  EXPECT_NE(gif, nullptr);
  if (gif == nullptr) return out;
  EGifSetGifVersion(gif, true);
  ColorMapObject* global = makeMap(layout.globalColours);
  EXPECT_EQ(EGifPutScreenDesc(gif, layout.width, layout.height, 8, 0, global), GIF_OK);
  GifFreeMapObject(global);
  for (const FrameLayout& frame : layout.frames) {
    if (frame.transparentIndex >= 0) {
      GraphicsControlBlock control{DISPOSAL_UNSPECIFIED, false, 0, frame.transparentIndex};
      GifByteType extension[4];
      const std::size_t length = EGifGCBToExtension(&control, extension);
      EXPECT_EQ(EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, static_cast<int>(length), extension), GIF_OK);
    }
    ColorMapObject* local = makeMap(frame.localColours);
    EXPECT_EQ(EGifPutImageDesc(gif, frame.left, frame.top, frame.width, frame.height, frame.interlaced, local),
              GIF_OK);
    GifFreeMapObject(local);
    std::vector<int> rows;
    for (int y = 0; y < frame.height; ++y) rows.push_back(y);
    if (frame.interlaced) rows = interlacedOrder(frame.height);
    for (int y : rows) {
      std::vector<GifPixelType> line(frame.indices.begin() + y * frame.width,
                                     frame.indices.begin() + (y + 1) * frame.width);
      EXPECT_EQ(EGifPutLine(gif, line.data(), frame.width), GIF_OK);
    }
  }
  EXPECT_EQ(EGifCloseFile(gif, &error), GIF_OK);
  return out;
}

// Indices of a frame whose pixel (x, y) is f(x, y).
template <class F>
std::vector<std::uint8_t> framePixels(int width, int height, F f) {
  std::vector<std::uint8_t> indices;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) indices.push_back(static_cast<std::uint8_t>(f(x, y)));
  }
  return indices;
}

// A palette of `count` distinct colours, entry i = (i, 255 - i, 7 * i mod 256).
std::vector<Rgb> distinctColours(int count) {
  std::vector<Rgb> colours;
  for (int i = 0; i < count; ++i) {
    colours.push_back({static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(255 - i),
                       static_cast<std::uint8_t>(7 * i % 256)});
  }
  return colours;
}

// Byte offsets in a GIF as giflib writes it.
constexpr std::size_t kScreenWidthAt = 6;
constexpr std::size_t kScreenPackedAt = 10;
constexpr std::size_t kHeaderSize = 13;

std::size_t globalTableBytes(const std::string& gif) {
  const auto packed = static_cast<std::uint8_t>(gif[kScreenPackedAt]);
  return (packed & 0x80) ? 3u << ((packed & 7) + 1) : 0;
}

// Offset of the first image descriptor (its ',' byte), past any extensions.
std::size_t firstImageAt(const std::string& gif) {
  std::size_t at = kHeaderSize + globalTableBytes(gif);
  while (at < gif.size() && gif[at] == '!') {
    at += 2;  // introducer and label
    while (at < gif.size() && gif[at] != 0) at += 1 + static_cast<std::uint8_t>(gif[at]);
    ++at;  // block terminator
  }
  EXPECT_LT(at, gif.size());
  EXPECT_EQ(gif[at], ',');
  return at;
}

// Offset of the first frame's LZW minimum code size byte.
std::size_t firstCodeSizeAt(const std::string& gif) {
  const std::size_t image = firstImageAt(gif);
  const auto packed = static_cast<std::uint8_t>(gif[image + 9]);
  const std::size_t localTable = (packed & 0x80) ? 3u << ((packed & 7) + 1) : 0;
  return image + 10 + localTable;
}

void putWord(std::string& gif, std::size_t at, int value) {
  gif[at] = static_cast<char>(value & 0xff);
  gif[at + 1] = static_cast<char>(value >> 8);
}

// The same file with its global colour table removed.
std::string withoutGlobalTable(std::string gif) {
  const std::size_t bytes = globalTableBytes(gif);
  gif.erase(kHeaderSize, bytes);
  gif[kScreenPackedAt] = static_cast<char>(static_cast<std::uint8_t>(gif[kScreenPackedAt]) & 0x70);
  return gif;
}

// GIF pictures are never reduced while decoding: rows come at full size.
Decoded decode(const std::string& gif, const DecodeRequest& request = {}) {
  Decoded d = decodeWith(decodeGif, gif, request);
  if (d.begun) {
    EXPECT_EQ(d.raster.size, d.full);
  }
  return d;
}

// Decodes the encoder's output; the test fails if that is not possible.
Raster readBack(const util::Result<std::string>& encoded) {
  EXPECT_TRUE(encoded.ok()) << encoded.message();
  if (!encoded.ok()) return {};
  Decoded d = decode(encoded.value());
  EXPECT_TRUE(d.status.ok()) << d.status.message();
  return d.raster;
}

std::set<std::uint32_t> coloursOf(const Raster& raster) {
  std::set<std::uint32_t> colours;
  for (std::size_t i = 0; i + 2 < raster.rgb.size(); i += 3) {
    colours.insert(static_cast<std::uint32_t>(raster.rgb[i]) << 16 | raster.rgb[i + 1] << 8 | raster.rgb[i + 2]);
  }
  return colours;
}

// Entries in the colour table the encoder wrote.
int globalTableSize(const std::string& gif) { return static_cast<int>(globalTableBytes(gif) / 3); }

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

constexpr Rgb kBackdrop{10, 20, 30};

// ---------------------------------------------------------------------------
// Reading well-formed files

TEST(GifDecode, FrameFillingTheScreenGivesItsPixels) {
  GifLayout layout{7, 5, distinctColours(64), {}};
  layout.frames.push_back({0, 0, 7, 5, false, {}, framePixels(7, 5, [](int x, int y) { return x + 7 * y; })});
  Decoded d = decode(buildGif(layout));
  ASSERT_TRUE(d.status.ok()) << d.status.message();
  EXPECT_EQ(d.raster.size, (Size{7, 5}));
  for (int y = 0; y < 5; ++y) {
    for (int x = 0; x < 7; ++x) EXPECT_EQ(d.raster.at(x, y), layout.globalColours[x + 7 * y]);
  }
}

TEST(GifDecode, AnimationGivesTheFirstFrameOnly) {
  GifLayout layout{6, 4, {kRed, kGreen, kBlue, kWhite}, {}};
  layout.frames.push_back({0, 0, 6, 4, false, {}, std::vector<std::uint8_t>(24, 0)});
  layout.frames.push_back({0, 0, 6, 4, false, {}, std::vector<std::uint8_t>(24, 1), 0});
  layout.frames.push_back({1, 1, 2, 2, false, {}, std::vector<std::uint8_t>(4, 2)});
  const std::string gif = buildGif(layout);
  Decoded d = decode(gif);
  ASSERT_TRUE(d.status.ok()) << d.status.message();
  EXPECT_EQ(d.raster, Raster({6, 4}, kRed));

  // Later frames are not read at all: damage there does not matter.
  const std::string cut = gif.substr(0, gif.size() - 12);
  Decoded fromCut = decode(cut);
  ASSERT_TRUE(fromCut.status.ok()) << fromCut.status.message();
  EXPECT_EQ(fromCut.raster, Raster({6, 4}, kRed));
}

TEST(GifDecode, InterlacedRowsComeOutInPictureOrder) {
  for (int height : {1, 2, 3, 5, 8, 9, 19, 33}) {
    SCOPED_TRACE("height " + std::to_string(height));
    GifLayout layout{3, height, distinctColours(64), {}};
    layout.frames.push_back({0, 0, 3, height, true, {}, framePixels(3, height, [](int x, int y) { return (y * 3 + x) % 64; })});
    Decoded d = decode(buildGif(layout));
    ASSERT_TRUE(d.status.ok()) << d.status.message();
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < 3; ++x) ASSERT_EQ(d.raster.at(x, y), layout.globalColours[(y * 3 + x) % 64]) << y;
    }
  }
}

TEST(GifDecode, ScreenOutsideTheFrameAndTransparentPixelsBecomeTheBackground) {
  // A 3 x 2 frame at (2, 1) on a 6 x 4 screen; index 1 is transparent.
  for (bool interlaced : {false, true}) {
    SCOPED_TRACE(interlaced ? "interlaced" : "sequential");
    GifLayout layout{6, 4, {kRed, kGreen, kBlue, kWhite}, {}};
    layout.frames.push_back({2, 1, 3, 2, interlaced, {}, {0, 1, 2, 1, 3, 0}, 1});
    DecodeRequest request;
    request.background = kBackdrop;
    Decoded d = decode(buildGif(layout), request);
    ASSERT_TRUE(d.status.ok()) << d.status.message();
    Raster expected({6, 4}, kBackdrop);
    const Rgb frame[2][3] = {{kRed, kBackdrop, kBlue}, {kBackdrop, kWhite, kRed}};
    for (int y = 0; y < 2; ++y) {
      for (int x = 0; x < 3; ++x) std::memcpy(expected.row(1 + y) + (2 + x) * 3, &frame[y][x], 3);
    }
    EXPECT_EQ(d.raster, expected);
  }
}

TEST(GifDecode, TransparencyComesOnlyFromAControlBlockWithTheFlag) {
  GifLayout layout{2, 1, {kRed, kGreen}, {}};
  layout.frames.push_back({0, 0, 2, 1, false, {}, {0, 1}});
  layout.frames.push_back({0, 0, 2, 1, false, {}, {0, 1}, 0});  // affects the second frame only
  std::string gif = buildGif(layout);
  DecodeRequest request;
  request.background = kBackdrop;
  Decoded plain = decode(gif, request);
  ASSERT_TRUE(plain.status.ok()) << plain.status.message();
  EXPECT_EQ(plain.raster.at(0, 0), kRed);
  EXPECT_EQ(plain.raster.at(1, 0), kGreen);

  // A control block naming index 1 without the transparency flag.
  const std::size_t image = firstImageAt(gif);
  const std::string control("\x21\xf9\x04\x00\x00\x00\x01\x00", 8);
  gif.insert(image, control);
  Decoded unflagged = decode(gif, request);
  ASSERT_TRUE(unflagged.status.ok()) << unflagged.status.message();
  EXPECT_EQ(unflagged.raster.at(1, 0), kGreen);

  gif[image + 3] = 0x01;  // now with the flag
  Decoded flagged = decode(gif, request);
  ASSERT_TRUE(flagged.status.ok()) << flagged.status.message();
  EXPECT_EQ(flagged.raster.at(0, 0), kRed);
  EXPECT_EQ(flagged.raster.at(1, 0), kBackdrop);
}

TEST(GifDecode, FrameReachingPastTheScreenIsClipped) {
  // A 5 x 4 frame at (3, 2) on a 6 x 4 screen shows its top-left 3 x 2.
  for (bool interlaced : {false, true}) {
    SCOPED_TRACE(interlaced ? "interlaced" : "sequential");
    GifLayout layout{6, 4, distinctColours(32), {}};
    layout.frames.push_back({3, 2, 5, 4, interlaced, {}, framePixels(5, 4, [](int x, int y) { return 1 + x + 5 * y; })});
    Decoded d = decode(buildGif(layout));
    ASSERT_TRUE(d.status.ok()) << d.status.message();
    Raster expected({6, 4}, kSurfaceBackground);
    for (int y = 0; y < 2; ++y) {
      for (int x = 0; x < 3; ++x) std::memcpy(expected.row(2 + y) + (3 + x) * 3, &layout.globalColours[1 + x + 5 * y], 3);
    }
    EXPECT_EQ(d.raster, expected);
  }
}

TEST(GifDecode, ColourTables) {
  const std::vector<std::uint8_t> indices{0, 1, 2, 3};
  {
    SCOPED_TRACE("local table only");
    GifLayout layout{4, 1, {}, {}};
    layout.frames.push_back({0, 0, 4, 1, false, {kBlue, kRed, kGreen, kWhite}, indices});
    Decoded d = decode(buildGif(layout));
    ASSERT_TRUE(d.status.ok()) << d.status.message();
    EXPECT_EQ(d.raster.at(0, 0), kBlue);
    EXPECT_EQ(d.raster.at(1, 0), kRed);
    EXPECT_EQ(d.raster.at(3, 0), kWhite);
  }
  {
    SCOPED_TRACE("local table wins over the global one");
    GifLayout layout{4, 1, {kRed, kRed, kRed, kRed}, {}};
    layout.frames.push_back({0, 0, 4, 1, false, {kBlue, kGreen, kWhite, kBlack}, indices});
    Decoded d = decode(buildGif(layout));
    ASSERT_TRUE(d.status.ok()) << d.status.message();
    EXPECT_EQ(d.raster.at(0, 0), kBlue);
    EXPECT_EQ(d.raster.at(2, 0), kWhite);
  }
  {
    SCOPED_TRACE("indices past a two-entry table are black");
    GifLayout layout{4, 1, {kRed, kGreen}, {}};
    layout.frames.push_back({0, 0, 4, 1, false, {}, indices});
    Decoded d = decode(buildGif(layout));
    ASSERT_TRUE(d.status.ok()) << d.status.message();
    EXPECT_EQ(d.raster.at(0, 0), kRed);
    EXPECT_EQ(d.raster.at(1, 0), kGreen);
    EXPECT_EQ(d.raster.at(2, 0), kBlack);
    EXPECT_EQ(d.raster.at(3, 0), kBlack);
  }
}

TEST(GifDecode, NoColourTableGivesAGreyRamp) {
  // Colour resolution 2 bits: four grey levels.
  GifLayout layout{4, 1, {kRed, kGreen, kBlue, kWhite}, {}};
  layout.frames.push_back({0, 0, 4, 1, false, {}, {0, 1, 2, 3}});
  std::string gif = withoutGlobalTable(buildGif(layout));
  gif[kScreenPackedAt] = 0x10;
  Decoded d = decode(gif);
  ASSERT_TRUE(d.status.ok()) << d.status.message();
  EXPECT_EQ(d.raster.at(0, 0), kBlack);
  EXPECT_EQ(d.raster.at(3, 0), kWhite);
  for (int x = 0; x < 4; ++x) {
    const Rgb c = d.raster.at(x, 0);
    EXPECT_TRUE(c.r == c.g && c.g == c.b) << x;
    if (x > 0) {
      EXPECT_GT(c.r, d.raster.at(x - 1, 0).r) << x;
    }
  }
}

// ---------------------------------------------------------------------------
// Refusing sizes

GifLayout smallPicture(int width, int height) {
  GifLayout layout{width, height, {kRed, kGreen}, {}};
  layout.frames.push_back({0, 0, width, height, false, {}, framePixels(width, height, [](int x, int) { return x & 1; })});
  return layout;
}

TEST(GifDecode, DeclaredSizesBeyondTheLimitAreRefusedBeforeDecoding) {
  {
    SCOPED_TRACE("huge screen around a small frame");
    std::string gif = buildGif(smallPicture(4, 4));
    putWord(gif, kScreenWidthAt, 65535);
    putWord(gif, kScreenWidthAt + 2, 65535);
    Decoded d = decode(gif);
    EXPECT_FALSE(d.status.ok());
    EXPECT_TRUE(contains(d.status.message(), "too large")) << d.status.message();
    EXPECT_FALSE(d.begun);
  }
  {
    SCOPED_TRACE("huge frame on a small screen");
    std::string gif = buildGif(smallPicture(4, 4));
    const std::size_t image = firstImageAt(gif);
    putWord(gif, image + 5, 65535);
    putWord(gif, image + 7, 65535);
    Decoded d = decode(gif);
    EXPECT_FALSE(d.status.ok());
    EXPECT_TRUE(contains(d.status.message(), "too large")) << d.status.message();
    EXPECT_FALSE(d.begun);
  }
}

TEST(GifDecode, TheLimitComesFromTheRequest) {
  DecodeRequest request;
  request.limits.maxPixels = 400;
  EXPECT_TRUE(decode(buildGif(smallPicture(20, 20)), request).status.ok());
  Decoded screenTooLarge = decode(buildGif(smallPicture(20, 21)), request);
  EXPECT_FALSE(screenTooLarge.status.ok());
  EXPECT_FALSE(screenTooLarge.begun);

  // The screen fits, the frame (clipped to it) declares more.
  GifLayout layout{10, 10, {kRed, kGreen}, {}};
  layout.frames.push_back({0, 0, 21, 20, false, {}, std::vector<std::uint8_t>(420, 1)});
  Decoded frameTooLarge = decode(buildGif(layout), request);
  EXPECT_FALSE(frameTooLarge.status.ok());
  EXPECT_TRUE(contains(frameTooLarge.status.message(), "too large")) << frameTooLarge.status.message();
  EXPECT_FALSE(frameTooLarge.begun);
}

TEST(GifDecode, EmptyOrMisplacedGeometryIsRefused) {
  {
    SCOPED_TRACE("frame of height 0");
    std::string gif = buildGif(smallPicture(4, 4));
    putWord(gif, firstImageAt(gif) + 7, 0);
    Decoded d = decode(gif);
    EXPECT_FALSE(d.status.ok());
    EXPECT_FALSE(d.begun);
  }
  {
    SCOPED_TRACE("frame of width 0");
    std::string gif = buildGif(smallPicture(4, 4));
    putWord(gif, firstImageAt(gif) + 5, 0);
    EXPECT_FALSE(decode(gif).status.ok());
  }
  {
    SCOPED_TRACE("screen of width 0");
    std::string gif = buildGif(smallPicture(4, 4));
    putWord(gif, kScreenWidthAt, 0);
    EXPECT_FALSE(decode(gif).status.ok());
  }
  {
    SCOPED_TRACE("frame entirely right of the screen");
    GifLayout layout{4, 4, {kRed, kGreen}, {}};
    layout.frames.push_back({4, 0, 2, 2, false, {}, {0, 1, 1, 0}});
    Decoded d = decode(buildGif(layout));
    EXPECT_FALSE(d.status.ok());
    EXPECT_FALSE(d.begun);
  }
  {
    SCOPED_TRACE("frame entirely below the screen");
    GifLayout layout{4, 4, {kRed, kGreen}, {}};
    layout.frames.push_back({0, 9, 2, 2, false, {}, {0, 1, 1, 0}});
    EXPECT_FALSE(decode(buildGif(layout)).status.ok());
  }
}

// ---------------------------------------------------------------------------
// Damaged files

std::string noisyGif(bool interlaced) {
  std::mt19937 random(7);
  GifLayout layout{40, 30, distinctColours(256), {}};
  layout.frames.push_back({0, 0, 40, 30, interlaced, {}, framePixels(40, 30, [&](int, int) { return random() & 255; })});
  return buildGif(layout);
}

TEST(GifDecode, FileCutAnywhereBeforeTheTrailerFails) {
  for (bool interlaced : {false, true}) {
    const std::string gif = noisyGif(interlaced);
    ASSERT_TRUE(decode(gif).status.ok());
    // Only the trailer byte may go: the frame is complete without it.
    EXPECT_TRUE(decode(gif.substr(0, gif.size() - 1)).status.ok());
    for (std::size_t length = 0; length + 1 < gif.size(); ++length) {
      SCOPED_TRACE("cut to " + std::to_string(length) + " bytes" + (interlaced ? ", interlaced" : ""));
      Decoded d = decode(gif.substr(0, length));
      ASSERT_FALSE(d.status.ok());
      const std::string expected = length < 6 ? "not a GIF file" : "data ends early";
      ASSERT_EQ(d.status.message(), expected);
    }
  }
}

TEST(GifDecode, PictureDataEndingBeforeTheLastPixelFails) {
  // The first data block shortened and closed, followed by a proper trailer.
  std::string gif = noisyGif(false);
  const std::size_t blockAt = firstCodeSizeAt(gif) + 1;
  const int kept = static_cast<std::uint8_t>(gif[blockAt]) / 2;
  gif.resize(blockAt + 1 + kept);
  gif[blockAt] = static_cast<char>(kept);
  gif += std::string("\x00\x3b", 2);
  Decoded d = decode(gif);
  EXPECT_FALSE(d.status.ok());
  EXPECT_FALSE(d.complete());
}

TEST(GifDecode, CodeSizeOf12IsCorrupt) {
  std::string gif = noisyGif(false);
  gif[firstCodeSizeAt(gif)] = 12;
  Decoded d = decode(gif);
  EXPECT_FALSE(d.status.ok());
  EXPECT_TRUE(contains(d.status.message(), "corrupt")) << d.status.message();
}

// The file with an ICC application extension holding `profile` (in
// sub-blocks of at most 255 bytes) right after the global colour table.
std::string withIccExtension(std::string gif, const std::vector<std::uint8_t>& profile) {
  std::string extension = "\x21\xFF\x0B" "ICCRGBG1012";
  for (std::size_t at = 0; at < profile.size(); at += 255) {
    const std::size_t n = std::min<std::size_t>(255, profile.size() - at);
    extension += static_cast<char>(n);
    extension.append(profile.begin() + static_cast<std::ptrdiff_t>(at),
                     profile.begin() + static_cast<std::ptrdiff_t>(at + n));
  }
  extension += '\0';
  gif.insert(kHeaderSize + globalTableBytes(gif), extension);
  return gif;
}

TEST(GifDecode, IccApplicationExtensionIsHandedOnWhenUsable) {
  const testing::Icc adobe = testing::adobeLikeProfile();
  testing::Icc garbage(700, 0x5A);
  const struct {
    const char* name;
    testing::Icc inFile;
    testing::Icc handedOn;
  } cases[] = {{"rgb profile", adobe, adobe},
               {"not a profile", garbage, {}},
               {"cmyk profile", testing::tintedCmykProfile(), {}},
               {"empty", {}, {}}};
  const std::string plain = buildGif(smallPicture(4, 4));
  const Raster pixels = decode(plain).raster;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> profile = {9};
    DecodeRequest request;
    request.profile = &profile;
    const std::string gif = withIccExtension(plain, c.inFile);
    const Decoded d = decode(gif, request);
    ASSERT_TRUE(d.status.ok()) << d.status.message();
    EXPECT_EQ(profile, c.handedOn);
    EXPECT_EQ(d.raster, pixels);
    EXPECT_TRUE(decode(gif).status.ok());  // no one asking: read as before
  }
}

TEST(GifDecode, NotAGif) {
  for (const std::string& bytes :
       {std::string(), std::string("GIF"), std::string("GIF90a\x04\x00\x04\x00\x00\x00\x00;", 14),
        std::string("\x89PNG\r\n\x1a\n\x00\x00\x00\x0dIHDR", 16), std::string(100, 'G')}) {
    Decoded d = decode(bytes);
    EXPECT_EQ(d.status.message(), "not a GIF file");
    EXPECT_FALSE(d.begun);
  }
}

TEST(GifDecode, FileWithoutAFrameFails) {
  GifLayout layout{4, 4, {kRed, kGreen}, {}};
  Decoded d = decode(buildGif(layout));
  EXPECT_FALSE(d.status.ok());
  EXPECT_FALSE(d.begun);
}

TEST(GifDecode, RefusalByTheSinkFails) {
  const Decoded d = decodeRefused(decodeGif, buildGif(smallPicture(4, 4)));
  EXPECT_FALSE(d.status.ok());
  EXPECT_EQ(d.rows, 0);
}

TEST(GifDecode, RandomDamageNeverBreaksTheSinkContract) {
  std::mt19937 random(42);
  for (bool interlaced : {false, true}) {
    const std::string original = noisyGif(interlaced);
    for (int round = 0; round < 300; ++round) {
      std::string gif = original;
      const int changes = 1 + static_cast<int>(random() % 4);
      for (int i = 0; i < changes; ++i) gif[random() % gif.size()] = static_cast<char>(random());
      Decoded d = decode(gif);  // checks order and completeness of rows on success
      if (!d.status.ok()) {
        EXPECT_FALSE(d.status.message().empty());
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Writing

// A smooth, photograph-like picture with many thousands of colours.
Raster gradientPicture(int width, int height) {
  Raster raster({width, height});
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t* p = raster.row(y) + x * 3;
      p[0] = static_cast<std::uint8_t>(255 * x / (width - 1));
      p[1] = static_cast<std::uint8_t>(255 * y / (height - 1));
      p[2] = static_cast<std::uint8_t>(127 + 100 * std::sin(x * 0.05 + y * 0.03));
    }
  }
  return raster;
}

Raster pictureWithColours(int width, int height, int count) {
  const std::vector<Rgb> colours = distinctColours(count);
  Raster raster({width, height});
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) std::memcpy(raster.row(y) + x * 3, &colours[(x * 5 + y * 3) % count], 3);
  }
  return raster;
}

TEST(GifEncode, PictureWithinThePaletteComesBackExactly) {
  struct Case {
    int bits;
    int colours;
  };
  for (const Case c : {Case{8, 256}, Case{8, 3}, Case{8, 1}, Case{4, 16}, Case{1, 2}, Case{1, 1}}) {
    SCOPED_TRACE(std::to_string(c.colours) + " colours in " + std::to_string(c.bits) + " bits");
    const Raster original = pictureWithColours(37, 23, c.colours);
    const util::Result<std::string> encoded = encodeGif(original, c.bits);
    EXPECT_EQ(readBack(encoded), original);
    ASSERT_TRUE(encoded.ok());
    EXPECT_EQ(encoded.value().substr(0, 6), "GIF89a");
    EXPECT_GE(globalTableSize(encoded.value()), 2);
    EXPECT_LE(globalTableSize(encoded.value()), 1 << c.bits);
    EXPECT_GE(globalTableSize(encoded.value()), c.colours);
  }
}

// Mean difference between the 8 x 8 block averages of two pictures, over
// all blocks and channels. Error diffusion keeps block averages close to the
// original even where single pixels differ a lot.
double blockAverageError(const Raster& a, const Raster& b) {
  double total = 0;
  int blocks = 0;
  for (int by = 0; by + 8 <= a.size.height; by += 8) {
    for (int bx = 0; bx + 8 <= a.size.width; bx += 8) {
      for (int channel = 0; channel < 3; ++channel) {
        double sumA = 0;
        double sumB = 0;
        for (int y = by; y < by + 8; ++y) {
          for (int x = bx; x < bx + 8; ++x) {
            sumA += a.row(y)[x * 3 + channel];
            sumB += b.row(y)[x * 3 + channel];
          }
        }
        total += std::abs(sumA - sumB) / 64;
        ++blocks;
      }
    }
  }
  return total / blocks;
}

double pixelError(const Raster& a, const Raster& b) {
  double total = 0;
  for (std::size_t i = 0; i < a.rgb.size(); ++i) total += std::abs(a.rgb[i] - b.rgb[i]);
  return total / static_cast<double>(a.rgb.size());
}

// Thresholds below: the quantizer without dithering gives block average
// errors of 2.6 (photograph, 8 bits), 2.8 (ramp, 4 bits) and 32 (ramp,
// 1 bit); with error diffusion 1.6, 0.5 and 18.5.

TEST(GifEncode, PhotographIsDitheredNotBanded) {
  const Raster original = gradientPicture(256, 192);
  const Raster decoded = readBack(encodeGif(original, 8));
  ASSERT_EQ(decoded.size, original.size);
  EXPECT_LT(pixelError(original, decoded), 10.0);
  EXPECT_LT(blockAverageError(original, decoded), 2.0);
  EXPECT_GT(coloursOf(decoded).size(), 64u);
  EXPECT_LE(coloursOf(decoded).size(), 256u);
}

TEST(GifEncode, FewerBitsGiveFewerColoursButKeepTheTones) {
  Raster ramp({256, 64});
  for (int y = 0; y < 64; ++y) {
    for (int x = 0; x < 256; ++x) std::memset(ramp.row(y) + x * 3, x, 3);
  }
  for (int bits : {1, 4}) {
    SCOPED_TRACE(std::to_string(bits) + " bits");
    const util::Result<std::string> encoded = encodeGif(ramp, bits);
    const Raster decoded = readBack(encoded);
    ASSERT_EQ(decoded.size, ramp.size);
    EXPECT_LE(coloursOf(decoded).size(), static_cast<std::size_t>(1) << bits);
    EXPECT_LE(globalTableSize(encoded.value()), 1 << bits);
    EXPECT_LT(blockAverageError(ramp, decoded), bits == 1 ? 25.0 : 1.5);

    const Raster photograph = readBack(encodeGif(gradientPicture(120, 80), bits));
    EXPECT_LE(coloursOf(photograph).size(), static_cast<std::size_t>(1) << bits);
  }
}

TEST(GifEncode, BadRequestsFail) {
  const Raster picture = pictureWithColours(4, 4, 3);
  EXPECT_FALSE(encodeGif(picture, 0).ok());
  EXPECT_FALSE(encodeGif(picture, 9).ok());
  EXPECT_FALSE(encodeGif(Raster(), 8).ok());
  EXPECT_FALSE(encodeGif(Raster({0, 5}), 8).ok());
  Raster inconsistent = picture;
  inconsistent.rgb.pop_back();
  EXPECT_FALSE(encodeGif(inconsistent, 8).ok());
  EXPECT_FALSE(encodeGif(Raster({65536, 1}), 8).ok());
  EXPECT_TRUE(encodeGif(Raster({65535, 1}), 8).ok());
}

TEST(GifComment, StoredBeforeThePictureAndFoundAgain) {
  const Raster picture = fewColours(9, 4, 5);
  const std::string longText(700, 'c');  // more than one sub-block
  for (const std::string& text : {std::string("pixelmote thumbnail 1; picture 12 bytes"), longText}) {
    const auto gif = encodeGif(picture, 8, text);
    ASSERT_TRUE(gif) << gif.message();
    EXPECT_EQ(leadingComment(bytesOf(gif.value())), text);
    RasterSink sink;
    ASSERT_TRUE(decodeGif(bytesOf(gif.value()), {}, sink));  // still an ordinary picture
    EXPECT_EQ(sink.raster, picture);
  }
  EXPECT_EQ(leadingComment(bytesOf(encodeGif(picture, 8).value())), "");
  EXPECT_EQ(leadingComment(bytesOf(std::string("GIF89a"))), "");
}

}  // namespace
}  // namespace pixelmote::imaging
