// Helpers shared by the picture-format tests: decoding through a sink that
// checks the row protocol, test pictures of known content, and the
// reference files checked in under imaging/testdata/.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "imaging/codec.h"
#include "imaging/raster.h"
#include "testsupport/exif_block.h"
#include "testsupport/golden.h"
#include "util/result.h"

namespace pixelmote::testing {

using DecodeFn = util::Status (*)(imaging::Bytes, const imaging::DecodeRequest&, imaging::RowSink&);

// The bytes of `s`, as a decoder takes them.
imaging::Bytes bytesOf(const std::string& s);

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
  bool finerChroma = false;  // luma 1 x 1, chroma 2 x 2: chroma sampled more finely than luma
  int metadataSegments = 0;  // APP2 segments of 60,000 bytes before the frame
  int storedAs = -1;         // the J_COLOR_SPACE to store; -1: libjpeg's choice for the input
  bool adobeMarker = true;   // CMYK and YCCK: values stored as 255 - ink, as the marker says
  std::vector<std::pair<int, std::vector<std::uint8_t>>> markers{};  // after the header
};

// `picture` written by libjpeg as `recipe` says.
std::string libjpegFile(const imaging::Raster& picture, const JpegRecipe& recipe = {});
// The same for samples of 1 (gray), 3 (RGB) or 4 (CMYK) components a
// pixel, rows top to bottom. libjpeg's own error handling ends the test
// program on a recipe it refuses.
std::string libjpegFile(imaging::Size size, int components, const std::vector<std::uint8_t>& samples,
                        const JpegRecipe& recipe);

// Every pixel different from its neighbours in all three channels.
imaging::Raster pattern(int w, int h);

// Seeded random bytes: compresses as badly as a picture can.
imaging::Raster noise(imaging::Size size, unsigned seed = 12345);

// A picture of w × h pixels given row by row.
imaging::Raster rasterOf(int w, int h, const std::vector<imaging::Rgb>& pixels);

// Exactly `colours` distinct colours (when w * h allows), widely spread,
// repeating pixel by pixel.
imaging::Raster fewColours(int w, int h, int colours);

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

// A figure from /proc/self/status in kilobytes ("VmSize", "VmHWM"), -1 if
// there is none: what the process maps, or its peak resident memory.
std::int64_t processKilobytes(const std::string& field);

#ifdef PIXELMOTE_SOURCE_DIR
// The bytes of imaging/testdata/`name`.
inline std::string referenceFile(const std::string& name) { return sourceFile("imaging/testdata/" + name); }
#endif

}  // namespace pixelmote::testing
