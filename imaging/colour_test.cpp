// Colour profiles through to the thumbnail: carried byte for byte by JPEG
// thumbnails, converted to sRGB for GIF ones, ignored when unusable; and
// the chroma resolution of JPEG thumbnails.
#include <gtest/gtest.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "imaging/codec.h"
#include "imaging/colour.h"
#include "imaging/imglib.h"
#include "imaging/pipeline.h"
#include "imaging/render.h"
#include "testsupport/codec_testing.h"
#include "testsupport/colour_profiles.h"
#include "testsupport/temp_tree.h"
#include "util/file_bytes.h"

namespace pixelmote::imaging {
namespace {

using namespace pixelmote::testing;

class QuietHost : public RenderHost {
 public:
  void Per(double, int) override {}
  void processEvents() override {}
  bool stopRequested() const override { return false; }
};

// 4 × 2 flat patches of 16 × 16 pixels in ordinary colours, inside sRGB.
constexpr Rgb kPatches[8] = {{200, 60, 50},  {60, 160, 70},  {50, 80, 190},  {220, 200, 80},
                             {90, 180, 190}, {170, 90, 160}, {230, 225, 215}, {40, 40, 45}};

Raster patches() {
  Raster r(Size{64, 32});
  for (int y = 0; y < 32; ++y) {
    for (int x = 0; x < 64; ++x) {
      const Rgb c = kPatches[(y / 16) * 4 + x / 16];
      std::uint8_t* p = r.row(y) + x * 3;
      p[0] = c.r;
      p[1] = c.g;
      p[2] = c.b;
    }
  }
  return r;
}

std::string fileText(const std::string& path) {
  auto bytes = util::readFileBytes(path);
  EXPECT_TRUE(bytes) << bytes.message();
  return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

Raster decoded(DecodeFn decode, const std::string& file) {
  RasterSink sink;
  const util::Status status = decode(bytesOf(file), {}, sink);
  EXPECT_TRUE(status) << status.message();
  return sink.raster;
}

int largestDifference(const Raster& a, const Raster& b) {
  EXPECT_EQ(a.size, b.size);
  if (a.rgb.size() != b.rgb.size()) return 256;
  int worst = 0;
  for (std::size_t i = 0; i < a.rgb.size(); ++i) worst = std::max(worst, std::abs(a.rgb[i] - b.rgb[i]));
  return worst;
}

class ColourRender : public ::testing::Test {
 protected:
  void SetUp() override { startImaging(); }

  // A JPEG picture of the patches (quality 100: the patches stay flat),
  // with `payloads` as APP2 segments.
  std::string picture(const std::string& name, const std::vector<Icc>& payloads) {
    auto jpeg = encodeJpeg(patches(), 100, 0);
    EXPECT_TRUE(jpeg) << jpeg.message();
    return tree.fileWith(name, withApp2Segments(jpeg.value(), payloads));
  }
  std::string thumbnail(const std::string& picturePath, const std::string& ext, double size = 100) {
    RenderSettings settings;
    settings.sizePercent = size;
    settings.thumbExt = ext;
    settings.quality = 85;
    QuietHost host;
    const RenderOutcome out = LoadSource(picturePath, settings, host);
    EXPECT_EQ(out.result, RenderResult::Written) << out.message;
    return out.thumbnailPath;
  }
  TempTree tree;
};

struct CarriedCase {
  const char* name;
  std::size_t padding;  // bytes added to the profile
  std::size_t segments;  // APP2 segments it takes
  double size;          // thumbnail size, percent
};

class ProfileCarried : public ColourRender, public ::testing::WithParamInterface<CarriedCase> {};

TEST_P(ProfileCarried, JpegThumbnailHoldsThePicturesProfileAndItsPixels) {
  const CarriedCase& c = GetParam();
  const Icc profile = adobeLikeProfile(c.padding);
  const std::string tagged = picture("tagged.jpg", iccSegments(profile));
  const std::string plain = picture("plain.jpg", {});
  const std::string thumb = fileText(thumbnail(tagged, "jpg", c.size));

  const std::vector<Icc> payloads = app2IccPayloads(thumb);
  ASSERT_EQ(payloads.size(), c.segments);
  for (const Icc& payload : payloads) EXPECT_LE(payload.size(), 14u + 65519u);
  EXPECT_EQ(reassembled(payloads), profile);

  // No conversion: the pixels are those of the same picture without a profile.
  EXPECT_EQ(decoded(decodeJpeg, thumb), decoded(decodeJpeg, fileText(thumbnail(plain, "jpg", c.size))));
  // The stamp still comes first, where the up-to-date check reads it.
  EXPECT_TRUE(carriesThumbnailStamp(thumbnailPathFor(tagged, "t_", "jpg")));
}

INSTANTIATE_TEST_SUITE_P(Sizes, ProfileCarried,
                         ::testing::Values(CarriedCase{"small", 0, 1, 100}, CarriedCase{"small_reduced", 0, 1, 50},
                                           CarriedCase{"two_segments", 70000, 2, 100},
                                           CarriedCase{"three_segments", 140000, 3, 50}),
                         [](const auto& info) { return std::string(info.param.name); });

struct IgnoredCase {
  const char* name;
  std::vector<Icc> (*payloads)();
};

constexpr IgnoredCase kIgnored[] = {
    {"not_a_profile",
     [] {
       Icc garbage(3000);
       for (std::size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<std::uint8_t>(i * 31 + 7);
       return iccSegments(garbage);
     }},
    {"segment_missing",
     [] {
       std::vector<Icc> firstOfTwo = iccSegments(adobeLikeProfile(70000));
       firstOfTwo.pop_back();
       return firstOfTwo;
     }},
    {"count_zero",
     [] {
       std::vector<Icc> badCount = iccSegments(adobeLikeProfile());
       badCount[0][13] = 0;
       return badCount;
     }},
    {"cmyk_profile_on_rgb", [] { return iccSegments(tintedCmykProfile()); }},
    {"gray_profile_on_rgb", [] { return iccSegments(linearGrayProfile()); }},
};

class ProfileIgnored : public ColourRender, public ::testing::WithParamInterface<IgnoredCase> {};

TEST_P(ProfileIgnored, PictureIsRenderedAsIfItHadNone) {
  const std::string tagged = picture("odd.jpg", GetParam().payloads());
  const std::string plain = picture("plain.jpg", {});
  for (const char* ext : {"jpg", "gif"}) {
    SCOPED_TRACE(ext);
    const std::string thumb = fileText(thumbnail(tagged, ext));
    EXPECT_TRUE(app2IccPayloads(thumb).empty());
    const DecodeFn decode = std::string(ext) == "jpg" ? decodeJpeg : decodeGif;
    EXPECT_EQ(decoded(decode, thumb), decoded(decode, fileText(thumbnail(plain, ext))));
  }
}

INSTANTIATE_TEST_SUITE_P(Unusable, ProfileIgnored, ::testing::ValuesIn(kIgnored),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ColourRender, GifThumbnailIsConvertedToSrgbBeforeItsPalette) {
  const Icc profile = adobeLikeProfile();
  const std::string tagged = picture("wide.jpg", iccSegments(profile));
  const std::string thumb = fileText(thumbnail(tagged, "gif"));
  EXPECT_TRUE(app2IccPayloads(thumb).empty());
  auto box = loadThumbnailBox(tagged, 100);
  ASSERT_TRUE(box) << box.message();
  const Raster expected = referenceToSrgb(profile, box->box);
  ASSERT_GT(largestDifference(expected, box->box), 20) << "the profile must move these colours";
  const Raster shown = decoded(decodeGif, thumb);
  ASSERT_EQ(shown.size, expected.size);
  for (int i = 0; i < 8; ++i) {
    const int x = (i % 4) * 16 + 8, y = (i / 4) * 16 + 8;
    const Rgb got = shown.at(x, y), want = expected.at(x, y);
    EXPECT_LE(std::max({std::abs(got.r - want.r), std::abs(got.g - want.g), std::abs(got.b - want.b)}), 2)
        << "patch " << i;
  }
}

TEST_F(ColourRender, ProfileComesThroughThePipelineToo) {
  const Icc profile = adobeLikeProfile(70000);
  const std::string first = picture("first.jpg", iccSegments(profile));
  const std::string second = picture("second.jpg", {});
  ThumbnailPipeline prefetcher(1, 2);
  RenderSettings settings;
  settings.sizePercent = 50;
  prefetcher.schedule({first, second}, settings);
  QuietHost host;
  for (const std::string& path : {first, second}) {
    const RenderOutcome out = LoadSource(path, settings, host, &prefetcher);
    ASSERT_EQ(out.result, RenderResult::Written) << out.message;
    EXPECT_EQ(reassembled(app2IccPayloads(fileText(out.thumbnailPath))), path == first ? profile : Icc{});
  }
}

TEST_F(ColourRender, LoadedBoxCarriesTheProfileOnlyWhenThereIsOne) {
  const Icc profile = adobeLikeProfile();
  auto tagged = loadThumbnailBox(picture("a.jpg", iccSegments(profile)), 50);
  auto plain = loadThumbnailBox(picture("b.jpg", {}), 50);
  ASSERT_TRUE(tagged && plain);
  EXPECT_EQ(tagged->iccProfile, profile);
  EXPECT_TRUE(plain->iccProfile.empty());
}

// ---------------------------------------------------------------------------
// Chroma resolution of JPEG thumbnails

struct Sampling {
  int h[3];
  int v[3];
};

struct ErrorJump {
  jpeg_error_mgr mgr;
  std::jmp_buf jump;
};

// The sampling factors of a JPEG's three components, read by libjpeg.
bool samplingOf(const std::string& file, Sampling& out) {
  jpeg_decompress_struct info;
  ErrorJump errors;
  info.err = jpeg_std_error(&errors.mgr);
  errors.mgr.error_exit = [](j_common_ptr i) { std::longjmp(static_cast<ErrorJump*>(i->client_data)->jump, 1); };
  info.client_data = &errors;
  if (setjmp(errors.jump) != 0) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(file.data()), file.size());
  jpeg_read_header(&info, TRUE);
  const bool three = info.num_components == 3;
  for (int c = 0; c < 3 && three; ++c) {
    out.h[c] = info.comp_info[c].h_samp_factor;
    out.v[c] = info.comp_info[c].v_samp_factor;
  }
  jpeg_destroy_decompress(&info);
  return three;
}

TEST(JpegChroma, FullResolutionFromQuality90HalvedBelow) {
  const struct {
    int quality;
    int lumaFactor;  // chroma stays at 1
  } cases[] = {{0, 2}, {75, 2}, {89, 2}, {90, 1}, {95, 1}, {100, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.quality);
    auto file = encodeJpeg(pattern(40, 24), c.quality, 0);
    ASSERT_TRUE(file) << file.message();
    Sampling s{};
    ASSERT_TRUE(samplingOf(file.value(), s));
    EXPECT_EQ(s.h[0], c.lumaFactor);
    EXPECT_EQ(s.v[0], c.lumaFactor);
    for (int k = 1; k < 3; ++k) EXPECT_TRUE(s.h[k] == 1 && s.v[k] == 1);
  }
}

}  // namespace
}  // namespace pixelmote::imaging
