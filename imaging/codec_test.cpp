// The codec table, the contract every format keeps (what it writes it
// reads back, it refuses what is not its own, cut or damaged files and
// sizes beyond the limits, and it stops when the sink refuses), the forms
// the lossless encoders choose, and the reference files in testdata/.
#include "imaging/codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>

#include "testsupport/codec_testing.h"

namespace pixelmote::imaging {
namespace {

using testing::bytesOf;
using testing::Decoded;
using testing::decodeWith;

// Six colours in blocks: every format keeps them (JPEG nearly).
Raster sixColours(int w = 48, int h = 32) {
  static constexpr Rgb kColours[] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}, {0, 0, 0}, {90, 140, 200}};
  Raster r(Size{w, h});
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) std::memcpy(r.row(y) + 3 * x, &kColours[(x / 8 + y / 16) % 6], 3);
  return r;
}

// What each format's encoder takes, and how much of its file's end may be
// missing with the picture still whole (JPEG: the end marker; GIF: the
// trailer; BMP: the last row's padding).
struct Contract {
  const Codec* codec;
  std::vector<int> depths;  // `bits` settings; 24 and above is truecolour
  bool lossy;               // JPEG: close, not exact
  bool palettesOnly;        // GIF: more colours than the depth allows are dithered
  std::size_t optionalTail;  // for a picture 13 pixels wide
  std::size_t cutInData;     // a cut this far from the end falls in the last rows' data (0: none does)
  bool headGivesSize = true;  // TIFF: the directory may lie anywhere, the head check does not look
};

const Contract kContracts[] = {
    {&kJpegCodec, {24}, true, false, 2, 3},          {&kGifCodec, {1, 2, 4, 8}, false, true, 1, 2},
    {&kBmpCodec, {24}, false, false, 1, 2},          {&kPcxCodec, {8, 24}, false, false, 0, 2},
    {&kPngCodec, {1, 2, 4, 8, 24}, false, false, 0, 20}, {&kTiffCodec, {1, 2, 4, 8, 24}, false, false, 0, 0, false},
};

std::string encoded(const Contract& c, const Raster& picture, int bits) {
  EncodeSettings settings;
  settings.quality = 100;
  settings.bits = bits;
  const auto file = c.codec->encode(picture, settings);
  EXPECT_TRUE(file) << c.codec->name << ": " << file.message();
  return file ? file.value() : std::string();
}

// The pictures a depth must keep exactly: as many colours as it holds, and
// (where the format falls back to truecolour) one more.
std::vector<Raster> picturesFor(const Contract& c, Size size, int bits) {
  if (c.lossy) return {sixColours(size.width, size.height)};
  if (bits >= 24) return {testing::pattern(size.width, size.height)};
  std::vector<Raster> pictures{testing::fewColours(size.width, size.height, 1 << bits)};
  if (!c.palettesOnly) pictures.push_back(testing::fewColours(size.width, size.height, (1 << bits) + 1));
  return pictures;
}

int worstDifference(const Raster& a, const Raster& b) {
  int worst = 0;
  for (std::size_t i = 0; i < a.rgb.size(); ++i) worst = std::max(worst, std::abs(a.rgb[i] - b.rgb[i]));
  return worst;
}

TEST(CodecContract, EveryFormatReadsWhatItWritesAtEachDepthAndShape) {
  ASSERT_EQ(std::size(kContracts), allCodecs().size()) << "every format keeps the contract";
  for (const Contract& c : kContracts) {
    for (const Size size : {Size{1, 1}, Size{45, 29}, Size{3000, 1}, Size{1, 700}}) {
      for (const int bits : c.depths) {
        for (const Raster& picture : picturesFor(c, size, bits)) {
          SCOPED_TRACE(std::string(c.codec->name) + " " + std::to_string(size.width) + "x" +
                       std::to_string(size.height) + " at " + std::to_string(bits) + " bits");
          const std::string file = encoded(c, picture, bits);
          const auto check = c.codec->checkHead(bytesOf(file), file.size(), DecodeLimits{});
          ASSERT_TRUE(check) << check.message();
          EXPECT_EQ(check->needBytes, 0u);
          EXPECT_GE(check->readBound, file.size());
          const Decoded d = decodeWith(c.codec->decode, file, DecodeRequest{});
          ASSERT_TRUE(d.status) << d.status.message();
          ASSERT_EQ(d.raster.size, picture.size);
          EXPECT_EQ(d.full, picture.size);
          EXPECT_LE(worstDifference(d.raster, picture), c.lossy ? 48 : 0);
        }
      }
    }
  }
}

TEST(CodecContract, EveryPrefixOfAFileFailsUntilOnlyTheOptionalTailIsMissing) {
  for (const Contract& c : kContracts) {
    for (const int bits : c.depths) {
      const Raster picture = picturesFor(c, Size{13, 7}, bits).back();
      const std::string file = encoded(c, picture, bits);
      const Raster whole = decodeWith(c.codec->decode, file, DecodeRequest{}).raster;
      const std::string notOurs = "not a " + std::string(c.codec->name) + " file";
      for (std::size_t n = 0; n < file.size(); ++n) {
        SCOPED_TRACE(std::string(c.codec->name) + " at " + std::to_string(bits) + " bits cut to " +
                     std::to_string(n) + " of " + std::to_string(file.size()) + " bytes");
        const Decoded d = decodeWith(c.codec->decode, file.substr(0, n), DecodeRequest{});
        if (n + c.optionalTail >= file.size()) {
          ASSERT_TRUE(d.status) << d.status.message();
          EXPECT_EQ(d.raster, whole);
        } else {
          ASSERT_FALSE(d.status);
          EXPECT_FALSE(d.status.message().empty());
          if (n == 0) { EXPECT_EQ(d.status.message(), notOurs); }
          if (d.status.message() == notOurs) { EXPECT_FALSE(d.begun); }
        }
      }
      const Decoded garbage = decodeWith(c.codec->decode, "hello, this is no picture", DecodeRequest{});
      EXPECT_EQ(garbage.status.message(), notOurs);
      EXPECT_FALSE(garbage.begun);
      if (c.cutInData == 0 || bits != c.depths.back()) continue;
      const Decoded d = decodeWith(c.codec->decode, file.substr(0, file.size() - c.cutInData), DecodeRequest{});
      EXPECT_EQ(d.status.message(), "data ends early") << c.codec->name;
      EXPECT_LT(d.rows, picture.size.height) << c.codec->name;
    }
  }
}

TEST(CodecContract, ASizeBeyondTheLimitOrARefusingSinkStopsTheDecodeAndEmptyPicturesAreNotWritten) {
  Raster inconsistent(Size{4, 4});
  inconsistent.rgb.pop_back();
  for (const Contract& c : kContracts) {
    SCOPED_TRACE(c.codec->name);
    const std::string file = encoded(c, sixColours(20, 30), c.depths.back());
    DecodeLimits limits;
    limits.maxPixels = 600;
    EXPECT_TRUE(c.codec->checkHead(bytesOf(file), file.size(), limits));
    EXPECT_TRUE(decodeWith(c.codec->decode, file, kSurfaceBackground, limits).status);
    limits.maxPixels = 599;
    const auto check = c.codec->checkHead(bytesOf(file), file.size(), limits);
    EXPECT_EQ(check.message(), c.headGivesSize ? "picture of 20 x 30 pixels is too large" : "");
    const Decoded d = decodeWith(c.codec->decode, file, kSurfaceBackground, limits);
    EXPECT_EQ(d.status.message(), "picture of 20 x 30 pixels is too large");
    EXPECT_FALSE(d.begun);
    const Decoded refused = decodeWith(c.codec->decode, file, {}, false);
    EXPECT_FALSE(refused.status);
    EXPECT_EQ(refused.raster.size, (Size{20, 30}));  // what begin() was offered
    EXPECT_EQ(refused.rows, 0);
    for (const Raster& bad : {Raster(), Raster(Size{0, 5}), inconsistent}) {
      EXPECT_FALSE(c.codec->encode(bad, EncodeSettings{}).message().empty());
    }
  }
}

TEST(CodecTable, AFormatIsFoundByItsLastSuffixInAnyLetterCaseAndAnyOtherNameIsJpeg) {
  const struct {
    const char* path;
    const char* name;  // null: the suffix alone names no format
  } files[] = {{"a.JPEG", "JPEG"}, {"a.Pcx", "PCX"},        {"a.BMP", "BMP"},         {"a.TiFF", "TIFF"},
               {"a.jpg.gif", "GIF"}, {"/x.tif/b.Png", "PNG"}, {".bmp", "BMP"},          {"a.raw", nullptr},
               {"noextension", nullptr}, {"a.", nullptr},    {"/x.png/picture", nullptr}, {"a.gif.jpgx", nullptr}};
  for (const auto& f : files) {
    const std::string path = f.path;
    EXPECT_EQ(codecForFile(path).name, f.name != nullptr ? f.name : "JPEG") << path;
    if (path.find('/') != std::string::npos || path.find('.') == std::string::npos) continue;
    const Codec* bySuffix = codecForSuffix(path.substr(path.find_last_of('.') + 1));
    EXPECT_EQ(bySuffix != nullptr ? bySuffix->name : "none", f.name != nullptr ? f.name : "none") << path;
  }
  std::set<int> libraryTypes;
  for (const Codec* codec : allCodecs()) {
    libraryTypes.insert(codec->libraryType);
    for (const std::string_view suffix : codec->suffixes) EXPECT_EQ(&codecForFile("a." + std::string(suffix)), codec) << suffix;
  }
  EXPECT_EQ(libraryTypes.size(), allCodecs().size());  // the library tells every format apart
}

// The palette depth of a file `codec` wrote, 0 for 8-bit truecolour, -1
// for anything else. PNG is not interlaced; PCX is version 5, run-length
// coded, 8 bits a plane, its window at 0 and its lines of an even byte count.
int paletteDepth(const Codec& codec, const std::string& file) {
  const auto byte = [&file](std::size_t at) { return static_cast<int>(static_cast<std::uint8_t>(file[at])); };
  if (&codec == &kPngCodec) return byte(28) != 0 ? -1 : byte(25) == 3 ? byte(24) : byte(25) == 2 && byte(24) == 8 ? 0 : -1;
  const int width = byte(8) + 256 * byte(9) + 1, bytesPerLine = byte(66) + 256 * byte(67);
  if (file.compare(0, 4, "\x0A\x05\x01\x08") != 0 || byte(4) + byte(5) + byte(6) + byte(7) != 0) return -1;
  if (bytesPerLine != (width + 1) / 2 * 2) return -1;
  return byte(65) == 1 && file[file.size() - 769] == 0x0C ? 8 : byte(65) == 3 ? 0 : -1;
}

TEST(CodecForms, APaletteOfTheSmallestDepthOnlyWhenTheColoursFit) {
  const struct {
    const Codec* codec;
    int width, colours, bits, depth;  // depth 0: truecolour
  } cases[] = {
      {&kPngCodec, 40, 2, 8, 1},    {&kPngCodec, 40, 2, 1, 1},    {&kPngCodec, 40, 3, 1, 0},     {&kPngCodec, 40, 3, 2, 2},
      {&kPngCodec, 40, 16, 4, 4},   {&kPngCodec, 40, 17, 4, 0},   {&kPngCodec, 40, 17, 8, 8},    {&kPngCodec, 40, 256, 8, 8},
      {&kPngCodec, 40, 257, 8, 0},  {&kPngCodec, 40, 5, 24, 0},   {&kPngCodec, 40, 5, 0, 0},     {&kPcxCodec, 7, 5, 8, 8},
      {&kPcxCodec, 10, 5, 3, 8},    {&kPcxCodec, 7, 5, 2, 0},     {&kPcxCodec, 40, 256, 8, 8},   {&kPcxCodec, 7, 2, 1, 8},
      {&kPcxCodec, 7, 5, 24, 0},    {&kPcxCodec, 40, 257, 8, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.codec->name) + ": " + std::to_string(c.colours) + " colours at " + std::to_string(c.bits) + " bits");
    EncodeSettings settings;
    settings.bits = c.bits;
    EXPECT_EQ(paletteDepth(*c.codec, c.codec->encode(testing::fewColours(c.width, 9, c.colours), settings).value()), c.depth);
  }
  // Sides are 16-bit fields.
  EXPECT_NE(encodePcx(Raster(Size{70000, 1}), 8).message().find("too large"), std::string::npos);
  EXPECT_TRUE(encodeGif(Raster({65535, 1}), 8));
  EXPECT_EQ(encodeGif(Raster({65536, 1}), 8).message(), "picture of 65536 x 1 pixels is too large for GIF");
}

// A binary portable pixmap: "P6", width, height, 255, then the pixels.
Raster readPpm(const std::string& ppm) {
  std::istringstream in(ppm);
  std::string magic;
  int w = 0, h = 0, maximum = 0;
  in >> magic >> w >> h >> maximum;
  in.get();
  Raster r(Size{w, h});
  in.read(reinterpret_cast<char*>(r.rgb.data()), static_cast<std::streamsize>(r.rgb.size()));
  EXPECT_TRUE(magic == "P6" && maximum == 255 && in) << "not a 24-bit pixmap";
  return r;
}

// Every picture in testdata/ (from other writers, or built field by field)
// decodes over kGoldenBackground to the pixmap of its name, or fails with the
// message in the text file of its name, whose second line, when there is
// one, says how many rows came after begin(). JPEG may differ by 2 levels
// from one library version to the next. A "written-" file is what the
// encoder makes of the pixmap.
TEST(CodecGolden, EveryReferenceFileDecodesToItsPixmapOrFailsWithItsMessage) {
  constexpr Rgb kGoldenBackground{10, 250, 90};
  const std::filesystem::path folder = std::filesystem::path(PIXELMOTE_SOURCE_DIR) / "imaging" / "testdata";
  int pictures = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::filesystem::path& path = entry.path();
    if (path.extension() == ".ppm" || path.extension() == ".txt") continue;
    ++pictures;
    const std::string name = path.filename().string();
    SCOPED_TRACE(name);
    const Codec& codec = codecForFile(name);
    const std::string bytes = testing::referenceFile(name);
    const Decoded d = decodeWith(codec.decode, bytes, kGoldenBackground);
    const std::string stem = path.stem().string();
    if (!std::filesystem::exists(folder / (stem + ".ppm"))) {
      EXPECT_FALSE(d.status);
      const std::string rows = d.begun ? "begun, " + std::to_string(d.rows) + " rows\n" : "";
      testing::expectGolden("imaging/testdata/" + stem + ".txt", d.status.message() + "\n" + rows);
      continue;
    }
    ASSERT_TRUE(d.status) << d.status.message();
    const Raster picture = readPpm(testing::referenceFile(stem + ".ppm"));
    ASSERT_EQ(d.raster.size, picture.size);
    EXPECT_LE(worstDifference(d.raster, picture), &codec == &kJpegCodec ? 2 : 0);
    if (name.rfind("written-", 0) == 0) { EXPECT_EQ(codec.encode(picture, EncodeSettings{}).value(), bytes); }
  }
  EXPECT_GE(pictures, 100);
}

}  // namespace
}  // namespace pixelmote::imaging
