#include <gtest/gtest.h>

#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <libexif/exif-data.h>

#include "imaging/codec.h"
#include "imaging/exif_orientation.h"
#include "imaging/geometry.h"
#include "imaging/reduce.h"
#include "testsupport/codec_testing.h"
#include "testsupport/colour_profiles.h"

namespace pixelmote::imaging {
namespace {

using ByteVector = std::vector<std::uint8_t>;

using namespace pixelmote::testing;

// ---------------------------------------------------------------------------
// Test pictures

Raster gradient(int width, int height) {
  Raster r(Size{width, height});
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t* p = r.row(y) + x * 3;
      p[0] = static_cast<std::uint8_t>(width > 1 ? x * 255 / (width - 1) : 128);
      p[1] = static_cast<std::uint8_t>(height > 1 ? y * 255 / (height - 1) : 128);
      p[2] = static_cast<std::uint8_t>(255 - (p[0] + p[1]) / 2);
    }
  }
  return r;
}

// A gradient with fine deterministic noise: detail that JPEG settings affect.
Raster textured(int width, int height) {
  Raster r = gradient(width, height);
  std::uint32_t seed = 12345;
  for (std::size_t i = 0; i < r.rgb.size(); i += 3) {
    seed = seed * 1664525u + 1013904223u;
    const int noise = static_cast<int>((seed >> 24) % 41) - 20;  // brightness only
    for (std::size_t c = i; c < i + 3; ++c) r.rgb[c] = static_cast<std::uint8_t>(std::clamp(r.rgb[c] + noise, 0, 255));
  }
  return r;
}

constexpr Rgb kPalette[8] = {{220, 30, 30},  {30, 200, 40},  {30, 40, 220},  {230, 220, 40},
                             {40, 210, 210}, {210, 40, 200}, {250, 250, 250}, {20, 20, 20}};

// 4 × 2 solid blocks of 16 × 16 pixels (whole MCUs, so colours survive).
Raster blocks() {
  Raster r(Size{64, 32});
  for (int y = 0; y < 32; ++y) {
    for (int x = 0; x < 64; ++x) {
      const Rgb c = kPalette[(y / 16) * 4 + x / 16];
      std::uint8_t* p = r.row(y) + x * 3;
      p[0] = c.r;
      p[1] = c.g;
      p[2] = c.b;
    }
  }
  return r;
}

double meanError(const Raster& a, const Raster& b) {
  EXPECT_EQ(a.size, b.size);
  if (a.rgb.size() != b.rgb.size() || a.rgb.empty()) return 1e9;
  double sum = 0;
  for (std::size_t i = 0; i < a.rgb.size(); ++i) sum += std::abs(int{a.rgb[i]} - int{b.rgb[i]});
  return sum / static_cast<double>(a.rgb.size());
}

// Mean difference between horizontal neighbours: high for noise, low after smoothing.
double roughness(const Raster& r) {
  double sum = 0;
  std::size_t n = 0;
  for (int y = 0; y < r.size.height; ++y) {
    for (std::size_t i = 3; i < r.stride(); ++i, ++n) sum += std::abs(int{r.row(y)[i]} - int{r.row(y)[i - 3]});
  }
  return n ? sum / static_cast<double>(n) : 0;
}

::testing::AssertionResult near(Rgb actual, Rgb expected, int tolerance = 12) {
  if (std::abs(actual.r - expected.r) <= tolerance && std::abs(actual.g - expected.g) <= tolerance &&
      std::abs(actual.b - expected.b) <= tolerance) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "got (" << int{actual.r} << "," << int{actual.g} << "," << int{actual.b}
                                       << "), want (" << int{expected.r} << "," << int{expected.g} << ","
                                       << int{expected.b} << ")";
}

// ---------------------------------------------------------------------------
// A direct libjpeg encoder for the variants the program's encoder never makes.

struct Recipe {
  Size size;
  J_COLOR_SPACE input = JCS_RGB;  // JCS_RGB, JCS_GRAYSCALE or JCS_CMYK
  int components = 3;
  ByteVector samples;             // size.pixels() × components
  std::optional<J_COLOR_SPACE> stored;  // colour space in the file; libjpeg's default if unset
  int lumaH = 2;                  // sampling factors of the first component
  int lumaV = 2;
  bool progressive = false;
  bool adobeMarker = true;        // only meaningful for CMYK / YCCK
  int quality = 95;
  std::vector<std::pair<int, ByteVector>> markers;  // written after the header
};

Recipe rgbRecipe(const Raster& r) {
  Recipe recipe;
  recipe.size = r.size;
  recipe.samples = r.rgb;
  return recipe;
}

struct TestErrors {
  jpeg_error_mgr mgr;
  std::jmp_buf jump;
};

void testErrorExit(j_common_ptr info) { std::longjmp(static_cast<TestErrors*>(info->client_data)->jump, 1); }

// Plain C-style body so that a longjmp skips no destructor.
bool compress(const Recipe& recipe, unsigned char** out, unsigned long* outSize) {
  jpeg_compress_struct c;
  TestErrors errors;
  c.err = jpeg_std_error(&errors.mgr);
  errors.mgr.error_exit = testErrorExit;
  c.client_data = &errors;
  if (setjmp(errors.jump) != 0) {
    jpeg_destroy_compress(&c);
    return false;
  }
  jpeg_create_compress(&c);
  jpeg_mem_dest(&c, out, outSize);
  c.image_width = static_cast<JDIMENSION>(recipe.size.width);
  c.image_height = static_cast<JDIMENSION>(recipe.size.height);
  c.input_components = recipe.components;
  c.in_color_space = recipe.input;
  jpeg_set_defaults(&c);
  if (recipe.stored) jpeg_set_colorspace(&c, *recipe.stored);
  c.write_Adobe_marker = c.write_Adobe_marker && recipe.adobeMarker;
  jpeg_set_quality(&c, recipe.quality, TRUE);
  c.comp_info[0].h_samp_factor = recipe.lumaH;
  c.comp_info[0].v_samp_factor = recipe.lumaV;
  if (recipe.progressive) jpeg_simple_progression(&c);
  jpeg_start_compress(&c, TRUE);
  for (const auto& marker : recipe.markers) {
    jpeg_write_marker(&c, marker.first, marker.second.data(), static_cast<unsigned>(marker.second.size()));
  }
  const std::size_t stride = static_cast<std::size_t>(recipe.size.width) * recipe.components;
  while (c.next_scanline < c.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(recipe.samples.data() + stride * c.next_scanline);
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  return true;
}

std::string makeJpeg(const Recipe& recipe) {
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  if (!compress(recipe, &buffer, &size)) {
    ADD_FAILURE() << "libjpeg refused the test picture";
    return {};
  }
  std::string file(reinterpret_cast<const char*>(buffer), size);
  std::free(buffer);
  return file;
}

std::string encodeOrFail(const Raster& r, int quality = 90, int smoothing = 0) {
  auto file = encodeJpeg(r, quality, smoothing);
  EXPECT_TRUE(file.ok()) << file.message();
  return file.ok() ? file.value() : std::string();
}

// Offset of the first marker `code` (walking the marker segments), or npos.
std::size_t markerOffset(const std::string& file, std::uint8_t code) {
  std::size_t pos = 2;
  while (pos + 4 <= file.size() && static_cast<std::uint8_t>(file[pos]) == 0xFF) {
    const auto marker = static_cast<std::uint8_t>(file[pos + 1]);
    if (marker == code) return pos;
    if (marker == 0xDA) break;  // entropy-coded data follows
    pos += 2 + (static_cast<std::uint8_t>(file[pos + 2]) << 8 | static_cast<std::uint8_t>(file[pos + 3]));
  }
  return std::string::npos;
}

// Offset of the first entropy-coded byte.
std::size_t scanDataOffset(const std::string& file) {
  const std::size_t sos = markerOffset(file, 0xDA);
  if (sos == std::string::npos) return sos;
  return sos + 2 + (static_cast<std::uint8_t>(file[sos + 2]) << 8 | static_cast<std::uint8_t>(file[sos + 3]));
}

// Rewrites the frame header's declared height and width.
std::string withDeclaredSize(std::string file, std::uint8_t sofCode, int width, int height) {
  const std::size_t sof = markerOffset(file, sofCode);
  EXPECT_NE(sof, std::string::npos);
  if (sof == std::string::npos) return file;
  file[sof + 5] = static_cast<char>(height >> 8);
  file[sof + 6] = static_cast<char>(height & 0xFF);
  file[sof + 7] = static_cast<char>(width >> 8);
  file[sof + 8] = static_cast<char>(width & 0xFF);
  return file;
}

// ---------------------------------------------------------------------------
// Sinks

// Counts without keeping anything: for pictures declared huge.
class CountingSink : public RowSink {
 public:
  bool begin(Size rows, Size, const imaging::Coverage&) override {
    ++begins;
    declared = rows;
    return true;
  }
  void row(int, const std::uint8_t*) override { ++rowsSeen; }
  int begins = 0;
  long rowsSeen = 0;
  Size declared;
};

Decoded decode(const std::string& file, const DecodeRequest& request = {}) {
  return decodeWith(decodeJpeg, file, request);
}

DecodeRequest needing(Size need) {
  DecodeRequest request;
  request.minimumSize = [need](Size) { return need; };
  return request;
}

// ---------------------------------------------------------------------------
// EXIF blocks

ByteVector exifBlock(int orientation, ExifByteOrder order = EXIF_BYTE_ORDER_INTEL) {
  const std::string block = exifOrientationBlock(orientation, order == EXIF_BYTE_ORDER_MOTOROLA);
  return ByteVector(block.begin(), block.end());
}

// A hand-made TIFF structure behind "Exif\0\0", little or big endian.
class TiffBuilder {
 public:
  explicit TiffBuilder(bool bigEndian) : m_big(bigEndian) {
    m_bytes = {'E', 'x', 'i', 'f', 0, 0};
    m_bytes.push_back(m_big ? 'M' : 'I');
    m_bytes.push_back(m_big ? 'M' : 'I');
    put16(42);
  }
  TiffBuilder& put16(unsigned v) {
    const std::uint8_t lo = v & 0xFF, hi = (v >> 8) & 0xFF;
    m_bytes.insert(m_bytes.end(), m_big ? std::initializer_list<std::uint8_t>{hi, lo}
                                        : std::initializer_list<std::uint8_t>{lo, hi});
    return *this;
  }
  TiffBuilder& put32(std::uint32_t v) {
    return m_big ? put16(v >> 16).put16(v & 0xFFFF) : put16(v & 0xFFFF).put16(v >> 16);
  }
  // A directory entry holding one SHORT value (or a count/offset as given).
  TiffBuilder& entry(unsigned tag, unsigned type, std::uint32_t count, unsigned value) {
    put16(tag).put16(type).put32(count);
    return put16(value).put16(0);  // a SHORT sits in the first two bytes of the field
  }
  ByteVector bytes() const { return m_bytes; }

 private:
  bool m_big;
  ByteVector m_bytes;
};

constexpr unsigned kOrientationTag = 0x0112;
constexpr unsigned kShort = 3;

// IFD0 at offset 8 with `entries` entries, the first being the orientation.
ByteVector handMadeExif(bool bigEndian, unsigned orientation) {
  TiffBuilder b(bigEndian);
  b.put32(8).put16(1).entry(kOrientationTag, kShort, 1, orientation).put32(0);
  return b.bytes();
}

// ---------------------------------------------------------------------------
// Encoding

TEST(JpegEncode, GradientRoundTripsCloselyAtQuality90) {
  const Raster original = gradient(256, 192);
  const Decoded d = decode(encodeOrFail(original, 90));
  ASSERT_TRUE(d.status.ok()) << d.status.message();
  EXPECT_EQ(d.raster.size, original.size);
  EXPECT_EQ(d.full, original.size);
  EXPECT_LT(meanError(d.raster, original), 2.0);
}

TEST(JpegEncode, LowerQualityGivesSmallerFilesAndLargerErrors) {
  const Raster original = textured(256, 192);
  const std::string low = encodeOrFail(original, 15);
  const std::string high = encodeOrFail(original, 95);
  EXPECT_LT(low.size() * 3, high.size());
  const Decoded lowDecoded = decode(low);
  const Decoded highDecoded = decode(high);
  ASSERT_TRUE(lowDecoded.status.ok() && highDecoded.status.ok());
  EXPECT_GT(meanError(lowDecoded.raster, original), 2 * meanError(highDecoded.raster, original));
}

TEST(JpegEncode, SmoothingFlattensNoise) {
  const Raster original = textured(128, 128);
  const std::string sharp = encodeOrFail(original, 90, 0);
  const std::string smooth = encodeOrFail(original, 90, 80);
  EXPECT_NE(sharp, smooth);
  const Decoded sharpDecoded = decode(sharp);
  const Decoded smoothDecoded = decode(smooth);
  ASSERT_TRUE(sharpDecoded.status.ok() && smoothDecoded.status.ok());
  EXPECT_LT(roughness(smoothDecoded.raster), 0.7 * roughness(sharpDecoded.raster));
}

TEST(JpegEncode, SettingsOutsideTheirRangeAreClamped) {
  const Raster original = textured(64, 48);
  EXPECT_EQ(encodeOrFail(original, 250, 0), encodeOrFail(original, 100, 0));
  EXPECT_EQ(encodeOrFail(original, -4, 0), encodeOrFail(original, 0, 0));
  EXPECT_EQ(encodeOrFail(original, 80, 400), encodeOrFail(original, 80, 100));
}

TEST(JpegEncode, RefusesPicturesItCannotWrite) {
  EXPECT_FALSE(encodeJpeg(Raster(), 90, 0).ok());
  EXPECT_FALSE(encodeJpeg(Raster(Size{0, 10}), 90, 0).ok());

  Raster inconsistent(Size{4, 4});
  inconsistent.rgb.resize(5);
  EXPECT_FALSE(encodeJpeg(inconsistent, 90, 0).ok());

  // Wider than the format allows: libjpeg itself refuses, and we report it.
  const auto tooWide = encodeJpeg(Raster(Size{70000, 1}), 90, 0);
  ASSERT_FALSE(tooWide.ok());
  EXPECT_NE(tooWide.message().find("65500"), std::string::npos) << tooWide.message();
}

TEST(JpegEncode, ExtremeShapesRoundTrip) {
  for (const Size size : {Size{1, 1}, Size{1, 5000}, Size{5000, 1}}) {
    SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height));
    const Raster original(size, Rgb{200, 60, 30});
    const Decoded d = decode(encodeOrFail(original));
    ASSERT_TRUE(d.status.ok()) << d.status.message();
    EXPECT_EQ(d.raster.size, size);
    EXPECT_TRUE(near(d.raster.at(0, 0), Rgb{200, 60, 30}));
    EXPECT_TRUE(near(d.raster.at(size.width - 1, size.height - 1), Rgb{200, 60, 30}));
  }
}

// ---------------------------------------------------------------------------
// Colour formats

void expectBlocks(const Decoded& d, int tolerance = 12) {
  ASSERT_TRUE(d.status.ok()) << d.status.message();
  ASSERT_EQ(d.raster.size, (Size{64, 32}));
  for (int i = 0; i < 8; ++i) {
    EXPECT_TRUE(near(d.raster.at((i % 4) * 16 + 8, (i / 4) * 16 + 8), kPalette[i], tolerance)) << "block " << i;
  }
}

struct Sampling {
  const char* name;
  int h;
  int v;
};

class JpegSampling : public ::testing::TestWithParam<Sampling> {};

TEST_P(JpegSampling, YCbCrDecodesToTheRightColours) {
  Recipe recipe = rgbRecipe(blocks());
  recipe.lumaH = GetParam().h;
  recipe.lumaV = GetParam().v;
  expectBlocks(decode(makeJpeg(recipe)));
}

INSTANTIATE_TEST_SUITE_P(AllSubsamplings, JpegSampling,
                         ::testing::Values(Sampling{"s444", 1, 1}, Sampling{"s422", 2, 1},
                                           Sampling{"s420", 2, 2}, Sampling{"s440", 1, 2},
                                           Sampling{"s411", 4, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(JpegColour, RgbStoredFileDecodes) {
  Recipe recipe = rgbRecipe(blocks());
  recipe.stored = JCS_RGB;
  recipe.lumaH = recipe.lumaV = 1;
  expectBlocks(decode(makeJpeg(recipe)), 4);
}

TEST(JpegColour, ProgressiveMatchesBaseline) {
  const Raster original = textured(200, 150);
  Recipe recipe = rgbRecipe(original);
  const Decoded baseline = decode(makeJpeg(recipe));
  recipe.progressive = true;
  const Decoded progressive = decode(makeJpeg(recipe));
  ASSERT_TRUE(baseline.status.ok() && progressive.status.ok()) << progressive.status.message();
  EXPECT_LT(meanError(progressive.raster, original), 4.0);
  EXPECT_LT(meanError(progressive.raster, baseline.raster), 1.0);
  expectBlocks(decode([] {
    Recipe r = rgbRecipe(blocks());
    r.progressive = true;
    return makeJpeg(r);
  }()));
}

TEST(JpegColour, GrayscaleExpandsToEqualChannels) {
  Recipe recipe;
  recipe.size = Size{64, 16};
  recipe.input = JCS_GRAYSCALE;
  recipe.components = 1;
  recipe.lumaH = recipe.lumaV = 1;
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 64; ++x) recipe.samples.push_back(static_cast<std::uint8_t>((x / 16) * 80));
  const Decoded d = decode(makeJpeg(recipe));
  ASSERT_TRUE(d.status.ok()) << d.status.message();
  ASSERT_EQ(d.raster.size, (Size{64, 16}));
  for (int i = 0; i < 4; ++i) {
    const Rgb p = d.raster.at(i * 16 + 8, 8);
    EXPECT_EQ(p.r, p.g);
    EXPECT_EQ(p.g, p.b);
    EXPECT_NEAR(p.r, i * 80, 3);
  }
}

// Ink amounts (0 = none) for each block colour's stand-in: pure inks mixed.
struct Ink {
  std::uint8_t c, m, y, k;
  Rgb expected;
};
constexpr Ink kInks[4] = {
    {0, 255, 255, 0, {255, 0, 0}},      // magenta + yellow = red
    {255, 0, 0, 0, {0, 255, 255}},      // cyan
    {0, 0, 0, 128, {127, 127, 127}},    // half black
    {0, 0, 0, 0, {255, 255, 255}},      // paper
};

Recipe cmykRecipe(bool invertedValues) {
  Recipe recipe;
  recipe.size = Size{64, 16};
  recipe.input = JCS_CMYK;
  recipe.components = 4;
  recipe.lumaH = recipe.lumaV = 1;
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 64; ++x) {
      const Ink& ink = kInks[x / 16];
      for (std::uint8_t v : {ink.c, ink.m, ink.y, ink.k}) {
        recipe.samples.push_back(invertedValues ? static_cast<std::uint8_t>(255 - v) : v);
      }
    }
  }
  return recipe;
}

void expectInks(const Decoded& d) {
  ASSERT_TRUE(d.status.ok()) << d.status.message();
  ASSERT_EQ(d.raster.size, (Size{64, 16}));
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(near(d.raster.at(i * 16 + 8, 8), kInks[i].expected, 6)) << "ink " << i;
}

TEST(JpegColour, PlainCmykConvertsInkToLight) {
  Recipe recipe = cmykRecipe(false);
  recipe.adobeMarker = false;
  expectInks(decode(makeJpeg(recipe)));
}

TEST(JpegColour, AdobeCmykIsReadAsInverted) {
  expectInks(decode(makeJpeg(cmykRecipe(true))));
}

TEST(JpegColour, AdobeYcckIsReadAsInverted) {
  Recipe recipe = cmykRecipe(true);
  recipe.stored = JCS_YCCK;
  expectInks(decode(makeJpeg(recipe)));
}

TEST(JpegColour, CmykIsTurnedByOrientationToo) {
  Recipe recipe = cmykRecipe(true);
  recipe.markers.push_back({JPEG_APP0 + 1, exifBlock(3)});
  const Decoded d = decode(makeJpeg(recipe));
  ASSERT_TRUE(d.status.ok()) << d.status.message();
  ASSERT_EQ(d.raster.size, (Size{64, 16}));
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(near(d.raster.at(63 - (i * 16 + 8), 8), kInks[i].expected, 6));
}

// CMYK and gray pictures with a profile are converted through it; the rows
// delivered are sRGB and no profile is handed on.
struct ProfiledInkCase {
  const char* name;
  bool adobe;           // Adobe marker: values stored as 255 - ink
  J_COLOR_SPACE stored;
};

class JpegCmykProfile : public ::testing::TestWithParam<ProfiledInkCase> {};

TEST_P(JpegCmykProfile, ConvertedThroughTheProfile) {
  const ProfiledInkCase& c = GetParam();
  const Icc profile = tintedCmykProfile();
  Recipe recipe = cmykRecipe(c.adobe);
  recipe.adobeMarker = c.adobe;
  recipe.stored = c.stored;
  for (const Icc& payload : iccSegments(profile)) recipe.markers.push_back({JPEG_APP0 + 2, payload});
  std::vector<std::uint8_t> inks;
  for (const Ink& ink : kInks) inks.insert(inks.end(), {ink.c, ink.m, ink.y, ink.k});
  const std::vector<std::uint8_t> expected = referenceToSrgb(profile, TYPE_CMYK_8, inks, 4);

  std::vector<std::uint8_t> handedOn = {1};
  DecodeRequest request;
  request.profile = &handedOn;
  const Decoded d = decode(makeJpeg(recipe), request);
  ASSERT_TRUE(d.status.ok()) << d.status.message();
  EXPECT_TRUE(handedOn.empty());
  for (int i = 0; i < 4; ++i) {
    const Rgb want{expected[i * 3], expected[i * 3 + 1], expected[i * 3 + 2]};
    EXPECT_TRUE(near(d.raster.at(i * 16 + 8, 8), want, 6)) << "ink " << i;
  }
  // Cyan ink under this profile is dimmer in blue than the naive conversion says.
  EXPECT_FALSE(near(d.raster.at(1 * 16 + 8, 8), kInks[1].expected, 30));
}

INSTANTIATE_TEST_SUITE_P(Kinds, JpegCmykProfile,
                         ::testing::Values(ProfiledInkCase{"plain_cmyk", false, JCS_CMYK},
                                           ProfiledInkCase{"adobe_cmyk", true, JCS_CMYK},
                                           ProfiledInkCase{"adobe_ycck", true, JCS_YCCK}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(JpegGrayProfile, ConvertedThroughTheProfile) {
  const Icc profile = linearGrayProfile();
  Recipe recipe;
  recipe.size = Size{32, 8};
  recipe.input = JCS_GRAYSCALE;
  recipe.components = 1;
  recipe.lumaH = recipe.lumaV = 1;
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 32; ++x) recipe.samples.push_back(x < 16 ? 64 : 128);
  }
  const Decoded plain = decode(makeJpeg(recipe));
  for (const Icc& payload : iccSegments(profile)) recipe.markers.push_back({JPEG_APP0 + 2, payload});
  const std::vector<std::uint8_t> expected = referenceToSrgb(profile, TYPE_GRAY_8, {64, 128}, 2);
  const Decoded d = decode(makeJpeg(recipe));
  ASSERT_TRUE(d.status.ok() && plain.status.ok()) << d.status.message();
  for (int i = 0; i < 2; ++i) {
    const Rgb want{expected[i * 3], expected[i * 3 + 1], expected[i * 3 + 2]};
    EXPECT_TRUE(near(d.raster.at(i * 16 + 8, 4), want, 2)) << i;
    EXPECT_FALSE(near(plain.raster.at(i * 16 + 8, 4), want, 20)) << "the profile must move this grey";
  }
}

// ---------------------------------------------------------------------------
// Reduced decoding

class JpegScaling : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { s_file = new std::string(encodeOrFail(gradient(1600, 1200), 75)); }
  static void TearDownTestSuite() {
    delete s_file;
    s_file = nullptr;
  }
  static const std::string& file() { return *s_file; }
  static std::string* s_file;
};
std::string* JpegScaling::s_file = nullptr;

TEST_F(JpegScaling, DeliversTheSmallestEighthThatCoversTheNeed) {
  struct Case {
    Size need;
    Size expected;
  };
  for (const Case& c : {Case{{400, 300}, {400, 300}}, Case{{401, 300}, {600, 450}}, Case{{400, 301}, {600, 450}},
                        Case{{1, 1}, {200, 150}}, Case{{200, 151}, {400, 300}}, Case{{1599, 10}, {1600, 1200}},
                        Case{{1600, 1200}, {1600, 1200}}, Case{{5000, 5000}, {1600, 1200}},
                        Case{{0, 0}, {200, 150}}}) {
    SCOPED_TRACE(std::to_string(c.need.width) + "x" + std::to_string(c.need.height));
    const Decoded d = decode(file(), needing(c.need));
    ASSERT_TRUE(d.status.ok()) << d.status.message();
    EXPECT_EQ(d.raster.size, c.expected);
    EXPECT_EQ(d.full, (Size{1600, 1200}));
  }
}

TEST_F(JpegScaling, WithoutANeedDeliversFullSize) {
  const Decoded d = decode(file());
  ASSERT_TRUE(d.status.ok());
  EXPECT_EQ(d.raster.size, (Size{1600, 1200}));
  EXPECT_EQ(d.full, (Size{1600, 1200}));
}

TEST_F(JpegScaling, ReducedPictureKeepsItsContent) {
  const Decoded d = decode(file(), needing({400, 300}));
  ASSERT_TRUE(d.status.ok());
  const Raster expected = gradient(400, 300);
  EXPECT_LT(meanError(d.raster, expected), 3.0);
}

TEST_F(JpegScaling, AskedWithTheFullDisplayedSize) {
  std::optional<Size> asked;
  DecodeRequest request;
  request.minimumSize = [&asked](Size full) {
    asked = full;
    return Size{100, 100};
  };
  CountingSink sink;
  ASSERT_TRUE(decodeJpeg(bytesOf(file()), request, sink).ok());
  EXPECT_EQ(asked, (Size{1600, 1200}));
}

TEST(JpegScalingOdd, ReducedSizesRoundUp) {
  const Decoded d = decode(encodeOrFail(gradient(1001, 999)), needing({1, 1}));
  ASSERT_TRUE(d.status.ok());
  EXPECT_EQ(d.raster.size, (Size{126, 125}));
  EXPECT_EQ(d.full, (Size{1001, 999}));
}

TEST(JpegScalingTurned, NeedIsComparedInTheStoredFrame) {
  Recipe recipe = rgbRecipe(gradient(1600, 1200));
  recipe.quality = 75;
  recipe.markers.push_back({JPEG_APP0 + 1, exifBlock(6)});
  const std::string file = makeJpeg(recipe);
  std::optional<Size> asked;
  DecodeRequest request;
  request.minimumSize = [&asked](Size full) {
    asked = full;
    return Size{300, 401};  // displayed frame: 401 rows of the stored width
  };
  const Decoded d = decode(file, request);
  ASSERT_TRUE(d.status.ok()) << d.status.message();
  EXPECT_EQ(asked, (Size{1200, 1600}));
  EXPECT_EQ(d.raster.size, (Size{450, 600}));
  EXPECT_EQ(d.full, (Size{1200, 1600}));
}

// ---------------------------------------------------------------------------
// Orientation

Raster flipH(const Raster& r) {
  Raster out(r.size);
  for (int y = 0; y < r.size.height; ++y)
    for (int x = 0; x < r.size.width; ++x)
      std::memcpy(out.row(y) + x * 3, r.row(y) + (r.size.width - 1 - x) * 3, 3);
  return out;
}

Raster flipV(const Raster& r) {
  Raster out(r.size);
  for (int y = 0; y < r.size.height; ++y) std::memcpy(out.row(y), r.row(r.size.height - 1 - y), r.stride());
  return out;
}

Raster transpose(const Raster& r) {
  Raster out(Size{r.size.height, r.size.width});
  for (int y = 0; y < out.size.height; ++y)
    for (int x = 0; x < out.size.width; ++x) std::memcpy(out.row(y) + x * 3, r.row(x) + y * 3, 3);
  return out;
}

// The stored picture a camera writes with `orientation` when the scene is
// `upright`. By the EXIF definitions: 2 mirrors left-right, 3 is a half
// turn, 4 mirrors top-bottom, 5 has stored rows as displayed columns from
// the left (a transpose), 6 was turned a quarter to the left (the viewer
// turns it right), 7 is the transpose turned a half, 8 was turned a quarter
// to the right.
Raster storedFor(const Raster& upright, int orientation) {
  switch (orientation) {
    case 2: return flipH(upright);
    case 3: return flipH(flipV(upright));
    case 4: return flipV(upright);
    case 5: return transpose(upright);
    case 6: return flipV(transpose(upright));
    case 7: return flipH(flipV(transpose(upright)));
    case 8: return flipH(transpose(upright));
    default: return upright;
  }
}

class JpegOrientation : public ::testing::TestWithParam<int> {};

TEST_P(JpegOrientation, DeliversUprightPixels) {
  const int orientation = GetParam();
  const Raster stored = storedFor(blocks(), orientation);
  Recipe recipe = rgbRecipe(stored);
  recipe.markers.push_back({JPEG_APP0 + 1, exifBlock(orientation)});
  const Decoded d = decode(makeJpeg(recipe));
  expectBlocks(d);
  EXPECT_EQ(d.full, (Size{64, 32}));
}

TEST_P(JpegOrientation, ReducedDecodingIsTurnedToo) {
  const int orientation = GetParam();
  Recipe recipe = rgbRecipe(storedFor(blocks(), orientation));
  recipe.markers.push_back({JPEG_APP0 + 1, exifBlock(orientation)});
  const Decoded d = decode(makeJpeg(recipe), needing({16, 8}));
  ASSERT_TRUE(d.status.ok()) << d.status.message();
  ASSERT_EQ(d.raster.size, (Size{16, 8}));
  EXPECT_EQ(d.full, (Size{64, 32}));
  for (int i = 0; i < 8; ++i) EXPECT_TRUE(near(d.raster.at((i % 4) * 4 + 2, (i / 4) * 4 + 2), kPalette[i], 16));
}

INSTANTIATE_TEST_SUITE_P(AllEight, JpegOrientation, ::testing::Range(1, 9));

// ---------------------------------------------------------------------------
// Thumbnails of reduced decodes against the exact average of the full decode

// The thumbnail box at `percent` made as the picture loader makes it: the
// decoder reduces while decoding, the reducer averages into the box.
struct Reduced {
  util::Status status = util::Status::success();
  Raster box;
};
Reduced thumbnailOf(const std::string& file, double percent) {
  DecodeRequest request;
  request.minimumSize = [percent](Size full) { return SizeThumb(percent, full); };
  BoxReducer reducer([percent](Size, Size full) { return SizeThumb(percent, full); });
  Reduced r;
  r.status = decodeJpeg(bytesOf(file), request, reducer);
  r.box = reducer.takeResult();
  return r;
}

TEST(JpegThumbnailGeometry, OddSizesAverageExactlyTheDecodedPicture) {
  // Flat 8 x 8 blocks decode to the same flat colours at every scale, so
  // the thumbnail of a reduced decode can match the exact area average of
  // the full decode however the picture's edge cuts its last blocks, and
  // wherever turning the picture puts them.
  struct Case {
    Size upright;
    int orientation;
  };
  const Case cases[] = {{{477, 13}, 1}, {{13, 477}, 1}, {{721, 1}, 1},  {{1, 721}, 1}, {{213, 117}, 1},
                        {{213, 117}, 6}, {{117, 213}, 8}, {{213, 117}, 3}, {{213, 117}, 2}, {{213, 117}, 4},
                        {{213, 117}, 5}, {{213, 117}, 7}, {{477, 61}, 6}, {{61, 477}, 8}};
  const double percents[] = {10, 25, 33, 50};
  for (const Case& c : cases) {
    // Flat in the blocks of the stored picture, which the decoder turns.
    const Size stored = orientationSwapsAxes(c.orientation) ? Size{c.upright.height, c.upright.width} : c.upright;
    Recipe recipe = rgbRecipe(flatBlocks(stored, static_cast<unsigned>(stored.width + 7 * c.orientation)));
    recipe.lumaH = recipe.lumaV = 1;  // no chroma shared across blocks
    recipe.quality = 100;
    recipe.markers.push_back({JPEG_APP0 + 1, exifBlock(c.orientation)});
    const std::string file = makeJpeg(recipe);
    const Decoded full = decode(file);
    ASSERT_TRUE(full.status.ok()) << full.status.message();
    ASSERT_EQ(full.raster.size, c.upright);
    for (const double percent : percents) {
      SCOPED_TRACE(std::to_string(c.upright.width) + "x" + std::to_string(c.upright.height) + " orientation " +
                   std::to_string(c.orientation) + " at " + std::to_string(percent) + "%");
      const Reduced thumb = thumbnailOf(file, percent);
      ASSERT_TRUE(thumb.status.ok()) << thumb.status.message();
      const Size box = SizeThumb(percent, c.upright);
      ASSERT_EQ(thumb.box.size, box);
      const AverageError e = compareToAverage(thumb.box, exactAreaAverage(full.raster, box));
      // The scaled inverse transforms round a flat block's level on their own.
      EXPECT_LE(e.worst, 1.6) << "at " << e.x << "," << e.y;
    }
  }
}

TEST(JpegThumbnailGeometry, ScaleIsChosenByThePictureNotItsRoundedUpBlocks) {
  // 1001 x 999 at 1/8 is 125.125 x 124.875 pixels of picture, rounded up to
  // 126 x 125: too few for a 126 x 125 box, so 2/8 is needed.
  struct Case {
    Size need;
    Size delivered;
  };
  const std::string file = encodeOrFail(gradient(1001, 999));
  for (const Case& c : {Case{{125, 124}, {126, 125}}, Case{{126, 124}, {251, 250}}, Case{{125, 125}, {251, 250}},
                        Case{{250, 249}, {251, 250}}, Case{{251, 249}, {376, 375}}, Case{{1001, 999}, {1001, 999}}}) {
    SCOPED_TRACE(std::to_string(c.need.width) + "x" + std::to_string(c.need.height));
    const Decoded d = decode(file, needing(c.need));
    ASSERT_TRUE(d.status.ok()) << d.status.message();
    EXPECT_EQ(d.raster.size, c.delivered);
    // What the rows cover of the picture, in delivered pixels, holds the need.
    EXPECT_GE(1001.0 * d.coverage.delivered / d.coverage.source, c.need.width);
    EXPECT_GE(999.0 * d.coverage.delivered / d.coverage.source, c.need.height);
  }
}

TEST(JpegOrientationMarkers, StoredSizeIsReportedSwappedForQuarterTurns) {
  Recipe recipe = rgbRecipe(gradient(40, 24));
  recipe.markers.push_back({JPEG_APP0 + 1, exifBlock(8)});
  const Decoded d = decode(makeJpeg(recipe));
  ASSERT_TRUE(d.status.ok());
  EXPECT_EQ(d.raster.size, (Size{24, 40}));
  EXPECT_EQ(d.full, (Size{24, 40}));
}

TEST(JpegOrientationMarkers, UnknownOrientationLeavesThePictureAsStored) {
  Recipe recipe = rgbRecipe(blocks());
  recipe.markers.push_back({JPEG_APP0 + 1, exifBlock(9)});
  expectBlocks(decode(makeJpeg(recipe)));
}

TEST(JpegOrientationMarkers, MalformedExifLeavesThePictureAsStored) {
  Recipe recipe = rgbRecipe(blocks());
  TiffBuilder broken(false);
  broken.put32(8).put16(0xFFFF).entry(kOrientationTag, kShort, 0x40000000, 6);
  recipe.markers.push_back({JPEG_APP0 + 1, broken.bytes()});
  expectBlocks(decode(makeJpeg(recipe)));
}

TEST(JpegOrientationMarkers, ExifIsFoundAfterOtherApp1Blocks) {
  Recipe recipe = rgbRecipe(storedFor(blocks(), 3));
  const std::string xmp = "http://ns.adobe.com/xap/1.0/";
  ByteVector xmpBlock(xmp.begin(), xmp.end());
  xmpBlock.push_back(0);
  recipe.markers.push_back({JPEG_APP0 + 1, xmpBlock});
  recipe.markers.push_back({JPEG_APP0 + 1, exifBlock(3)});
  expectBlocks(decode(makeJpeg(recipe)));
}

TEST(ExifOrientation, ReadsEveryValidValueInBothByteOrders) {
  for (int o = 1; o <= 8; ++o) {
    EXPECT_EQ(exifOrientation(exifBlock(o)), o);
    EXPECT_EQ(exifOrientation(exifBlock(o, EXIF_BYTE_ORDER_MOTOROLA)), o);
    EXPECT_EQ(exifOrientation(handMadeExif(false, o)), o);
    EXPECT_EQ(exifOrientation(handMadeExif(true, o)), o);
  }
}

TEST(ExifOrientation, OutOfRangeValuesMeanUpright) {
  EXPECT_EQ(exifOrientation(exifBlock(9)), 1);
  EXPECT_EQ(exifOrientation(exifBlock(0)), 1);
  EXPECT_EQ(exifOrientation(handMadeExif(true, 0xFFFF)), 1);
}

TEST(ExifOrientation, MissingOrForeignBlocksMeanUpright) {
  EXPECT_EQ(exifOrientation({}), 1);
  const ByteVector headerOnly = {'E', 'x', 'i', 'f', 0, 0};
  EXPECT_EQ(exifOrientation(headerOnly), 1);
  // The TIFF structure without the EXIF header is not taken for one.
  ByteVector bare = handMadeExif(false, 6);
  bare.erase(bare.begin(), bare.begin() + 6);
  EXPECT_EQ(exifOrientation(bare), 1);
  // A block without an orientation entry (XResolution only).
  TiffBuilder noOrientation(false);
  noOrientation.put32(8).put16(1).entry(0x011A, 5, 1, 0).put32(0);
  EXPECT_EQ(exifOrientation(noOrientation.bytes()), 1);
}

TEST(ExifOrientation, MalformedStructuresMeanUpright) {
  {
    SCOPED_TRACE("unknown byte order");
    ByteVector b = handMadeExif(false, 6);
    b[6] = b[7] = 'X';
    EXPECT_EQ(exifOrientation(b), 1);
  }
  {
    SCOPED_TRACE("directory beyond the end");
    TiffBuilder b(false);
    b.put32(0x7FFFFFF0).put16(1).entry(kOrientationTag, kShort, 1, 6).put32(0);
    EXPECT_EQ(exifOrientation(b.bytes()), 1);
  }
  {
    SCOPED_TRACE("huge value count");
    TiffBuilder b(false);
    b.put32(8).put16(1).entry(kOrientationTag, kShort, 0x7FFFFFFF, 0xFF00).put32(0);
    EXPECT_EQ(exifOrientation(b.bytes()), 1);
  }
  {
    SCOPED_TRACE("wrong value type");
    TiffBuilder b(false);
    b.put32(8).put16(1).entry(kOrientationTag, 2 /* ASCII */, 2, '6').put32(0);
    EXPECT_EQ(exifOrientation(b.bytes()), 1);
  }
  {
    SCOPED_TRACE("directory that claims 65535 entries");
    TiffBuilder b(false);
    b.put32(8).put16(0xFFFF).entry(0x011A, 5, 1, 0).put32(0);
    EXPECT_EQ(exifOrientation(b.bytes()), 1);
  }
  {
    SCOPED_TRACE("directories that point at themselves");
    TiffBuilder b(false);
    // IFD0 holds an EXIF sub-directory pointer back to itself, and its
    // next-directory link also loops.
    b.put32(8).put16(2).entry(kOrientationTag, kShort, 1, 6);
    b.put16(0x8769).put16(4).put32(1).put32(8).put32(8);
    EXPECT_EQ(exifOrientation(b.bytes()), 6);
  }
}

TEST(ExifOrientation, EveryTruncationOfARealBlockIsSafe) {
  const ByteVector block = exifBlock(6);
  for (std::size_t n = 0; n < block.size(); ++n) {
    const int o = exifOrientation(std::span(block.data(), n));
    EXPECT_TRUE(o == 1 || o == 6) << "cut at " << n << " gave " << o;
  }
}

// ---------------------------------------------------------------------------
// Damaged and hostile files

class JpegDamage : public ::testing::Test {
 protected:
  void SetUp() override { m_file = encodeOrFail(textured(256, 192), 85); }
  std::string m_file;
};

TEST_F(JpegDamage, TruncatedFilesFail) {
  ASSERT_GT(scanDataOffset(m_file), 0u);
  ASSERT_LT(scanDataOffset(m_file), m_file.size() / 10) << "cuts must fall in the entropy-coded data";
  for (const double fraction : {0.10, 0.50, 0.99}) {
    SCOPED_TRACE(fraction);
    const Decoded d = decode(m_file.substr(0, static_cast<std::size_t>(m_file.size() * fraction)));
    ASSERT_FALSE(d.status.ok());
    EXPECT_EQ(d.status.message(), "data ends early");
    EXPECT_LT(d.rows, 192);
  }
  for (const std::size_t keep : {std::size_t{2}, std::size_t{20}, scanDataOffset(m_file)}) {
    SCOPED_TRACE(keep);
    EXPECT_EQ(decode(m_file.substr(0, keep)).status.message(), "data ends early");
  }
}

// libjpeg-turbo decodes most invalid codes as zero without a word; what
// gives the damage away is a decoder that stops short of its data.
TEST_F(JpegDamage, RunOfInvalidCodesIsCorrupt) {
  std::string damaged = m_file;
  const std::size_t middle = scanDataOffset(m_file) + (m_file.size() - scanDataOffset(m_file)) / 2;
  for (std::size_t i = 0; i < 64; i += 2) {
    damaged[middle + i] = static_cast<char>(0xFF);  // stuffed 0xFF bytes: all-one bit runs, never a code
    damaged[middle + i + 1] = 0;
  }
  const Decoded d = decode(damaged);
  ASSERT_FALSE(d.status.ok());
  EXPECT_EQ(d.status.message(), "corrupt data");
}

TEST_F(JpegDamage, ManyStrayBytesAfterTheScanAreCorruptAFewAreNot) {
  const std::size_t end = m_file.size() - 2;
  ASSERT_EQ(m_file.substr(end), "\xFF\xD9");
  std::string padded = m_file;
  padded.insert(end, 2, '\0');
  EXPECT_TRUE(decode(padded).status.ok());
  std::string strayed = m_file;
  strayed.insert(end, 100, '\x55');
  EXPECT_EQ(decode(strayed).status.message(), "corrupt data");
}

TEST_F(JpegDamage, MarkerInsideEntropyDataIsCorrupt) {
  std::string damaged = m_file;
  const std::size_t middle = scanDataOffset(m_file) + (m_file.size() - scanDataOffset(m_file)) / 3;
  damaged[middle] = static_cast<char>(0xFF);
  damaged[middle + 1] = static_cast<char>(0xD9);
  const Decoded d = decode(damaged);
  ASSERT_FALSE(d.status.ok());
  EXPECT_EQ(d.status.message(), "corrupt data");
}

TEST_F(JpegDamage, DamagedProgressiveFileIsCorrupt) {
  Recipe recipe = rgbRecipe(textured(256, 192));
  recipe.progressive = true;
  std::string damaged = makeJpeg(recipe);
  const std::size_t middle = scanDataOffset(damaged) + 40;
  for (std::size_t i = 0; i < 64; i += 2) {
    damaged[middle + i] = static_cast<char>(0xFF);
    damaged[middle + i + 1] = 0;
  }
  EXPECT_FALSE(decode(damaged).status.ok());
}

// A file missing only its end marker holds every pixel: both kinds are read
// as if it were there. Data missing from a scan, or whole scans missing,
// still fail.
class JpegEndMarker : public ::testing::TestWithParam<bool> {
 protected:
  std::string file() const {
    Recipe recipe = rgbRecipe(textured(256, 192));
    recipe.progressive = GetParam();
    return makeJpeg(recipe);
  }
};

TEST_P(JpegEndMarker, MissingEndMarkerGivesTheSamePixels) {
  const std::string whole = file();
  ASSERT_EQ(whole.substr(whole.size() - 2), "\xFF\xD9");
  const Decoded complete = decode(whole);
  const Decoded unended = decode(whole.substr(0, whole.size() - 2));
  ASSERT_TRUE(complete.status.ok()) << complete.status.message();
  ASSERT_TRUE(unended.status.ok()) << unended.status.message();
  EXPECT_EQ(unended.raster, complete.raster);
}

TEST_P(JpegEndMarker, CutInsideTheLastScanFails) {
  const std::string whole = file();
  for (const std::size_t cut : {std::size_t{3}, std::size_t{40}, std::size_t{400}}) {
    SCOPED_TRACE(cut);
    const Decoded d = decode(whole.substr(0, whole.size() - cut));
    EXPECT_EQ(d.status.message(), "data ends early");
  }
}

INSTANTIATE_TEST_SUITE_P(BaselineAndProgressive, JpegEndMarker, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "progressive" : "baseline"); });

TEST(JpegEndMarkerProgressive, FileEndingBetweenScansFails) {
  Recipe recipe = rgbRecipe(textured(256, 192));
  recipe.progressive = true;
  const std::string whole = makeJpeg(recipe);
  // Cut just before each scan header after the first (the tables before it
  // included): every scan that is there is whole, later ones are missing.
  int cuts = 0;
  for (std::size_t at = scanDataOffset(whole); (at = whole.find("\xFF\xDA", at + 1)) != std::string::npos;) {
    SCOPED_TRACE(at);
    ++cuts;
    EXPECT_EQ(decode(whole.substr(0, at)).status.message(), "data ends early");
  }
  EXPECT_GE(cuts, 5);
}

// The size of the process's address space, from /proc/self/status.
std::int64_t mappedKilobytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmSize:", 0) == 0) return std::stoll(line.substr(7));
  }
  return -1;
}

TEST_F(JpegDamage, ProgressiveCoefficientsAreGivenBackWhateverTheEnding) {
  // 1536 × 1536 progressive: 6.8 MB of coefficients per decode. The rows go
  // to sinks that keep nothing, so the address space measures the decoder.
  Recipe recipe = rgbRecipe(textured(1536, 1536));
  recipe.progressive = true;
  const std::string whole = makeJpeg(recipe);
  std::string damaged = whole;
  for (std::size_t i = 0; i < 64; i += 2) {
    damaged[scanDataOffset(whole) + 40 + i] = static_cast<char>(0xFF);
    damaged[scanDataOffset(whole) + 41 + i] = 0;
  }
  const std::string cut = whole.substr(0, whole.size() / 2);
  struct Refusing : RowSink {
    bool begin(Size, Size, const imaging::Coverage&) override { return false; }
    void row(int, const std::uint8_t*) override {}
  };
  CountingSink counting;
  ASSERT_TRUE(decodeJpeg(bytesOf(whole), {}, counting).ok());  // anything made once is made before measuring
  const std::int64_t before = mappedKilobytes();
  ASSERT_GT(before, 0);
  for (int round = 0; round < 8; ++round) {
    EXPECT_TRUE(decodeJpeg(bytesOf(whole), {}, counting).ok());
    EXPECT_FALSE(decodeJpeg(bytesOf(damaged), {}, counting).ok());
    EXPECT_EQ(decodeJpeg(bytesOf(cut), {}, counting).message(), "data ends early");
    Refusing refusing;  // refuses after the whole file was read
    EXPECT_FALSE(decodeJpeg(bytesOf(whole), {}, refusing).ok());
  }
  // Keeping the coefficients of 32 decodes would add over 200 MB.
  EXPECT_LT(mappedKilobytes() - before, 16 * 1024);
}

TEST_F(JpegDamage, BrokenHeaderFailsWithoutRows) {
  std::string damaged = m_file;
  const std::size_t dqt = markerOffset(damaged, 0xDB);
  ASSERT_NE(dqt, std::string::npos);
  damaged[dqt + 4] = 0x7F;  // precision 7, table 15
  const Decoded d = decode(damaged);
  ASSERT_FALSE(d.status.ok());
  EXPECT_EQ(d.status.message().rfind("corrupt data", 0), 0u) << d.status.message();
  EXPECT_EQ(d.rows, 0);
}

TEST_F(JpegDamage, HarmlessOddBytesAreTolerated) {
  const Decoded clean = decode(m_file);
  ASSERT_TRUE(clean.status.ok());
  {
    SCOPED_TRACE("garbage after the end marker");
    const Decoded d = decode(m_file + "trailing junk \xFF\xFF\x01 more");
    ASSERT_TRUE(d.status.ok()) << d.status.message();
    EXPECT_EQ(d.raster, clean.raster);
  }
  {
    SCOPED_TRACE("extraneous bytes before a marker");
    std::string padded = m_file;
    const std::size_t dqt = markerOffset(padded, 0xDB);
    ASSERT_NE(dqt, std::string::npos);
    padded.insert(dqt, "\x01\x02\x03\x04", 4);
    const Decoded d = decode(padded);
    ASSERT_TRUE(d.status.ok()) << d.status.message();
    EXPECT_EQ(d.raster, clean.raster);
  }
}

TEST(JpegMarkers, UnknownApplicationMarkersAndCommentsAreIgnored) {
  Recipe recipe = rgbRecipe(blocks());
  recipe.markers.push_back({JPEG_APP0 + 9, ByteVector{1, 2, 3, 4, 5}});
  recipe.markers.push_back({JPEG_COM, ByteVector{'h', 'i'}});
  recipe.markers.push_back({JPEG_APP0 + 1, ByteVector{'E', 'x', 'i', 'f', 0, 0, 'M', 'M'}});
  expectBlocks(decode(makeJpeg(recipe)));
}

TEST(JpegNotJpeg, OtherBytesFail) {
  const std::string png("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x10\0\0\0\x10\x08\x02\0\0\0\x90\x91\x68\x36", 33);
  const std::string text = "This is a plain text file, not a picture.\n";
  for (const std::string& file : {png, text, std::string(), std::string("\xFF"), std::string("\xFF\xD8")}) {
    const Decoded d = decode(file);
    EXPECT_FALSE(d.status.ok());
    EXPECT_FALSE(d.status.message().empty());
    EXPECT_FALSE(d.begun);
  }
  EXPECT_EQ(decode(text).status.message(), "not a JPEG file");
}

// ---------------------------------------------------------------------------
// Limits

TEST(JpegLimits, DeclaredPixelsAreCheckedBeforeDecoding) {
  const std::string file = encodeOrFail(gradient(100, 100));
  DecodeRequest request;
  request.limits.maxPixels = 10000;
  EXPECT_TRUE(decode(file, request).status.ok());
  request.limits.maxPixels = 9999;
  CountingSink sink;
  const util::Status status = decodeJpeg(bytesOf(file), request, sink);
  EXPECT_EQ(status.message(), "picture of 100 x 100 pixels is too large");
  EXPECT_EQ(sink.begins, 0);
}

TEST(JpegLimits, ProgressiveScanCountIsBounded) {
  Recipe recipe = rgbRecipe(gradient(64, 64));
  recipe.progressive = true;  // libjpeg's simple progression: 10 scans for colour
  const std::string file = makeJpeg(recipe);
  DecodeRequest request;
  request.limits.maxProgressiveScans = 10;
  EXPECT_TRUE(decode(file, request).status.ok());
  request.limits.maxProgressiveScans = 9;
  const Decoded d = decode(file, request);
  EXPECT_EQ(d.status.message(), "more than 9 progressive scans");
  EXPECT_EQ(d.rows, 0);
}

TEST(JpegLimits, DecoderMemoryIsCapped) {
  Recipe recipe = rgbRecipe(gradient(1024, 1024));
  recipe.progressive = true;  // keeps all coefficients: about 3 MB here
  const std::string file = makeJpeg(recipe);
  EXPECT_TRUE(decode(file).status.ok());
  DecodeRequest request;
  request.limits.maxDecoderMemory = 1 << 20;
  EXPECT_EQ(decode(file, request).status.message(), "decoding needs more memory than allowed");
}

class JpegHugeHeader : public ::testing::TestWithParam<bool> {
 protected:
  // A small real file whose frame header declares 65500 × 65500 pixels.
  static std::string hugeFile(bool progressive) {
    Recipe recipe = rgbRecipe(textured(32, 32));
    recipe.progressive = progressive;
    return withDeclaredSize(makeJpeg(recipe), progressive ? 0xC2 : 0xC0, 65500, 65500);
  }
};

TEST_P(JpegHugeHeader, IsRefusedByThePixelLimit) {
  const std::string file = hugeFile(GetParam());
  ASSERT_LT(file.size(), 4096u);
  CountingSink sink;
  const util::Status status = decodeJpeg(bytesOf(file), {}, sink);
  EXPECT_EQ(status.message(), "picture of 65500 x 65500 pixels is too large");
  EXPECT_EQ(sink.begins, 0);
}

TEST_P(JpegHugeHeader, FailsWithinTheMemoryCapWhenThePixelLimitAllowsIt) {
  const std::string file = hugeFile(GetParam());
  DecodeRequest request;
  request.limits.maxPixels = std::int64_t{1} << 40;
  CountingSink sink;
  const util::Status status = decodeJpeg(bytesOf(file), request, sink);
  ASSERT_FALSE(status.ok());
  if (GetParam()) {
    // Progressive: all coefficients would be kept, far beyond the cap.
    EXPECT_EQ(status.message(), "decoding needs more memory than allowed");
    EXPECT_EQ(sink.begins, 0);
  } else {
    // Baseline streams: the data runs out within the first rows.
    EXPECT_LT(sink.rowsSeen, 64);
  }
}

INSTANTIATE_TEST_SUITE_P(BaselineAndProgressive, JpegHugeHeader, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "progressive" : "baseline"); });

TEST(JpegSink, RefusalStopsDecoding) {
  const Decoded d = decodeRefused(decodeJpeg, encodeOrFail(gradient(40, 30)));
  EXPECT_FALSE(d.status.ok());
  EXPECT_EQ(d.raster.size, (Size{40, 30}));  // the size begin() was offered
  EXPECT_EQ(d.rows, 0);
}

TEST(JpegComment, StoredInAMarkerAndFoundAgain) {
  const Raster picture(Size{16, 8}, Rgb{10, 200, 30});
  const std::string text = "pixelmote thumbnail 1; picture 1234 bytes, modified 1.5; size 25";
  const auto jpeg = encodeJpeg(picture, 75, 0, text);
  ASSERT_TRUE(jpeg) << jpeg.message();
  EXPECT_EQ(leadingComment(bytesOf(jpeg.value())), text);
  EXPECT_EQ(leadingComment(bytesOf(encodeJpeg(picture, 75, 0).value())), "");
  // A file cut before its comment, or not a JPEG at all, has none.
  EXPECT_EQ(leadingComment(bytesOf(jpeg.value().substr(0, 20))), "");
  EXPECT_EQ(leadingComment(bytesOf(std::string("\x89PNG\r\n"))), "");
}

}  // namespace
}  // namespace pixelmote::imaging
