// Helpers shared by the picture-format tests: decoding through a sink that
// checks the row protocol, test pictures of known content, and files made
// by ImageMagick's convert.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "imaging/codec.h"
#include "imaging/raster.h"
#include "testsupport/exif_block.h"
#include "util/result.h"

namespace pixelmote::testing {

using DecodeFn = util::Status (*)(imaging::Bytes, const imaging::DecodeRequest&, imaging::RowSink&);

// The bytes of `s`, as a decoder takes them.
imaging::Bytes bytesOf(const std::string& s);

inline constexpr imaging::Rgb kRed{255, 0, 0};
inline constexpr imaging::Rgb kGreen{0, 255, 0};
inline constexpr imaging::Rgb kBlue{0, 0, 255};
inline constexpr imaging::Rgb kBlack{0, 0, 0};
inline constexpr imaging::Rgb kWhite{255, 255, 255};

// What one decode did.
struct Decoded {
  util::Status status = util::Status::success();
  imaging::Raster raster;  // rows as delivered; the others a colour no test picture uses
  imaging::Size full;      // the full size given to begin()
  imaging::Coverage coverage;  // and the coverage
  bool begun = false;      // begin() was called
  int rows = 0;            // rows delivered, in order
  bool complete() const { return begun && rows == raster.size.height; }
};

// Decodes `bytes` with `decode` into a sink that checks the row protocol:
// begin once, then each row once, top to bottom, none before begin; a
// decode that succeeds must have delivered every row.
Decoded decodeWith(DecodeFn decode, const std::string& bytes, const imaging::DecodeRequest& request);
Decoded decodeWith(DecodeFn decode, const std::string& bytes, imaging::Rgb background = imaging::kSurfaceBackground,
                   imaging::DecodeLimits limits = {});
// The same with a sink that refuses the picture when begin() offers it.
Decoded decodeRefused(DecodeFn decode, const std::string& bytes);

// How libjpeg itself is to write a test JPEG.
struct JpegRecipe {
  bool progressive = false;
  int quality = 90;
  bool fullChroma = false;   // 4:4:4 instead of libjpeg's 4:2:0
  int metadataSegments = 0;  // APP2 segments of 60,000 bytes before the frame
};

// `picture` written by libjpeg as `recipe` says.
std::string libjpegFile(const imaging::Raster& picture, const JpegRecipe& recipe = {});

// Every pixel different from its neighbours in all three channels.
imaging::Raster pattern(int w, int h);

// Exactly `colours` distinct colours (when w * h allows), widely spread,
// repeating pixel by pixel.
imaging::Raster fewColours(int w, int h, int colours);

// A w x h picture of `pixels`, rows top to bottom.
imaging::Raster rasterOf(int w, int h, const std::vector<imaging::Rgb>& pixels);

// Eight RGBA pixels, four bytes each, whose alpha rises from 0 to 252.
std::string risingAlphaPixels();

// One row of raw RGBA pixels composed over `background`, rounded to nearest.
imaging::Raster composedOver(const std::string& rgba, imaging::Rgb background);

// A picture of flat 8 x 8 blocks of seeded random colours; the blocks at
// the right and bottom edges are cut off where `size` is not a multiple of
// 8. Block (bx, by) is `blockColour(bx, by, seed)`.
imaging::Raster flatBlocks(imaging::Size size, unsigned seed);
imaging::Rgb blockColour(int bx, int by, unsigned seed);

// The exact area average of `source` over the cells of an even `target`
// grid laid across the whole picture, in double precision: per target
// pixel, three channel values.
std::vector<double> exactAreaAverage(const imaging::Raster& source, imaging::Size target);

// The largest per-channel difference between `actual` and the exact average
// `expected`, with where it is.
struct AverageError {
  double worst = 0;
  int x = 0;
  int y = 0;
};
AverageError compareToAverage(const imaging::Raster& actual, const std::vector<double>& expected);

// ImageMagick's conversion of raw 8-bit pixels (`layout` "rgb" or "rgba")
// into `format` (e.g. "PNG24", "TIFF") with `options`; empty if convert failed.
std::string magick(const std::string& raw, imaging::Size size, const std::string& layout,
                   const std::string& options, const std::string& format);
std::string magick(const imaging::Raster& source, const std::string& options, const std::string& format);

}  // namespace pixelmote::testing
