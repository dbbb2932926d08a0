// The codec table: each format found by its names, each row's functions of
// one format, and each format refusing what is not its own.
#include "imaging/codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <string>

#include "imaging/estimate.h"
#include "imaging/imglib.h"
#include "testsupport/codec_testing.h"
#include "testsupport/temp_tree.h"

namespace pixelmote::imaging {
namespace {

using testing::bytesOf;

std::string upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  return out;
}

// Six colours in blocks: every format keeps them (JPEG nearly).
Raster sixColours() {
  static constexpr Rgb kColours[] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}, {0, 0, 0}, {90, 140, 200}};
  Raster r(Size{48, 32});
  for (int y = 0; y < r.size.height; ++y) {
    for (int x = 0; x < r.size.width; ++x) {
      const Rgb c = kColours[(x / 8 + y / 16) % 6];
      std::uint8_t* p = r.row(y) + 3 * x;
      p[0] = c.r;
      p[1] = c.g;
      p[2] = c.b;
    }
  }
  return r;
}

TEST(CodecTable, EveryFormatIsFoundByEachOfItsSuffixesInAnyLetterCase) {
  const struct {
    const char* suffix;
    const char* name;
  } spellings[] = {{"jpg", "JPEG"}, {"JPEG", "JPEG"}, {"Jpeg", "JPEG"}, {"gif", "GIF"}, {"Pcx", "PCX"},
                   {"BMP", "BMP"},  {"png", "PNG"},   {"tif", "TIFF"},  {"TiFF", "TIFF"}};
  for (const auto& s : spellings) {
    const Codec* bySuffix = codecForSuffix(s.suffix);
    ASSERT_NE(bySuffix, nullptr) << s.suffix;
    EXPECT_EQ(bySuffix->name, s.name) << s.suffix;
    EXPECT_EQ(&codecForFile(std::string("/pictures/2024.06/Beach.") + s.suffix), bySuffix) << s.suffix;
  }
  std::set<int> libraryTypes;
  for (const Codec* codec : allCodecs()) {
    libraryTypes.insert(codec->libraryType);
    for (const std::string_view suffix : codec->suffixes) {
      EXPECT_EQ(codecForSuffix(upper(suffix)), codec) << suffix;
      EXPECT_EQ(&codecForFile("a." + upper(suffix)), codec) << suffix;
    }
  }
  EXPECT_EQ(libraryTypes.size(), allCodecs().size());  // the library tells every format apart
}

TEST(CodecTable, NamesWithoutAKnownSuffixAreDecodedAsJpeg) {
  for (const char* suffix : {"", "raw", "jp", "jpgx", ".gif", "gif ", "tiff2"}) {
    EXPECT_EQ(codecForSuffix(suffix), nullptr) << '"' << suffix << '"';
  }
  const struct {
    const char* path;
    const char* name;
  } files[] = {{"a.raw", "JPEG"}, {"noextension", "JPEG"}, {"a.", "JPEG"},          {"/x.png/picture", "JPEG"},
               {"a.gif.jpg", "JPEG"}, {"a.jpg.gif", "GIF"}, {"/x.tif/b.Png", "PNG"}, {".bmp", "BMP"}};
  for (const auto& f : files) EXPECT_EQ(codecForFile(f.path).name, f.name) << f.path;
}

TEST(CodecTable, EachRowReadsWhatItWrites) {
  const Raster picture = sixColours();
  for (const Codec* codec : allCodecs()) {
    SCOPED_TRACE(codec->name);
    EncodeSettings settings;
    settings.quality = 100;
    const auto file = codec->encode(picture, settings);
    ASSERT_TRUE(file) << file.message();
    const auto check = codec->checkHead(bytesOf(file.value()), file->size(), DecodeLimits{});
    ASSERT_TRUE(check) << check.message();
    EXPECT_EQ(check->needBytes, 0u);
    const testing::Decoded decoded = testing::decodeWith(codec->decode, file.value(), DecodeRequest{});
    ASSERT_TRUE(decoded.status) << decoded.status.message();
    ASSERT_EQ(decoded.raster.size, picture.size);
    int worst = 0;
    for (std::size_t i = 0; i < picture.rgb.size(); ++i) {
      worst = std::max(worst, std::abs(decoded.raster.rgb[i] - picture.rgb[i]));
    }
    EXPECT_LE(worst, codec == &kJpegCodec ? 48 : 0);
  }
}

TEST(CodecTable, EveryFormatRefusesEmptyGarbageAndOtherFormatsWithItsMessage) {
  const Raster picture = sixColours();
  std::vector<std::pair<const Codec*, std::string>> inputs = {{nullptr, ""}, {nullptr, "hello, this is no picture"}};
  for (const Codec* codec : allCodecs()) inputs.emplace_back(codec, codec->encode(picture, EncodeSettings{}).value());
  for (const Codec* codec : allCodecs()) {
    const std::string expected = "not a " + std::string(codec->name) + " file";
    for (const auto& [maker, bytes] : inputs) {
      if (maker == codec) continue;
      const std::string given = maker != nullptr ? std::string(maker->name) : '"' + bytes + '"';
      const std::string what = std::string(codec->name) + " given " + given;
      const auto check = codec->checkHead(bytesOf(bytes), bytes.size(), DecodeLimits{});
      ASSERT_FALSE(check) << what;
      EXPECT_EQ(check.message(), expected) << what;
      const testing::Decoded decoded = testing::decodeWith(codec->decode, bytes, DecodeRequest{});
      EXPECT_EQ(decoded.status.message(), expected) << what;
      EXPECT_FALSE(decoded.begun) << what;
    }
  }
}

TEST(CodecTable, EachEstimateReadsOnlyItsOwnHeaders) {
  const Raster picture(Size{300, 200});
  for (const Codec* maker : allCodecs()) {
    const std::string file = maker->encode(picture, EncodeSettings{}).value();
    for (const Codec* codec : allCodecs()) {
      if (codec == maker) continue;
      const LoadEstimate e = codec->estimateLoad(bytesOf(file), 100);
      EXPECT_EQ(e.box, 0u) << codec->name << " given " << maker->name;
      EXPECT_LE(e.working, kSmallLoad) << codec->name << " given " << maker->name;
    }
  }
}

TEST(CodecTable, AFileIsEstimatedAsTheFormatItsNameGives) {
  // Decoding goes by the name, so a PNG named .jpg fails at once: it costs
  // little, whatever its header declares.
  testing::TempTree tree;
  const std::string png = encodePng(Raster(Size{1000, 800}), 8).value();
  const LoadEstimate named = estimateLoadBytes(tree.fileWith("a.png", png), 100);
  EXPECT_EQ(named.box, 1000u * 800u * 3u);
  EXPECT_GE(named.working, 1000u * 800u * 4u);
  const LoadEstimate misnamed = estimateLoadBytes(tree.fileWith("a.jpg", png), 100);
  EXPECT_EQ(misnamed.box, 0u);
  EXPECT_LE(misnamed.working, kSmallLoad + png.size());
}

}  // namespace
}  // namespace pixelmote::imaging
