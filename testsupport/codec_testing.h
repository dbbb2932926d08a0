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
#include "testsupport/golden.h"
#include "util/result.h"

namespace pixelmote::testing {

using DecodeFn = util::Status (*)(imaging::Bytes, const imaging::DecodeRequest&, imaging::RowSink&);

imaging::Bytes bytesOf(const std::string& s);

// What one decode did.
struct Decoded {
  util::Status status = util::Status::success();
  imaging::Raster raster;  // rows as delivered; the others a colour no test picture uses
  imaging::Size full;      // the full size given to begin()
  imaging::Coverage coverage;
  bool begun = false;
  int rows = 0;  // rows delivered, in order
};

// Decodes `bytes` with `decode` into a sink that checks the row protocol:
// begin once, then each row once, top to bottom; a decode that succeeds
// must have delivered every row. `accept` is what begin() answers.
Decoded decodeWith(DecodeFn decode, const std::string& bytes, const imaging::DecodeRequest& request,
                   bool accept = true);
Decoded decodeWith(DecodeFn decode, const std::string& bytes, imaging::Rgb background = imaging::kSurfaceBackground,
                   imaging::DecodeLimits limits = {});

// How libjpeg itself is to write a test JPEG.
struct JpegRecipe {
  bool progressive = false;
  int quality = 90;
  bool fullChroma = false;   // 4:4:4 instead of libjpeg's 4:2:0
  bool finerChroma = false;  // luma 1 x 1, chroma 2 x 2
  std::vector<std::pair<int, std::vector<std::uint8_t>>> markers{};  // after the header
};

// `picture` written by libjpeg as `recipe` says; libjpeg ends the test
// program on a recipe it refuses.
std::string libjpegFile(const imaging::Raster& picture, const JpegRecipe& recipe = {});

// Every pixel different from its neighbours in all three channels.
imaging::Raster pattern(int w, int h);
// Seeded random bytes: compresses as badly as a picture can.
imaging::Raster noise(imaging::Size size, unsigned seed = 12345);
// Exactly `colours` distinct colours (when w * h allows), repeating pixel by pixel.
imaging::Raster fewColours(int w, int h, int colours);

#ifdef PIXELMOTE_SOURCE_DIR
inline std::string referenceFile(const std::string& name) { return sourceFile("imaging/testdata/" + name); }
#endif

}  // namespace pixelmote::testing
