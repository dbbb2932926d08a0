// GIF: decode into a small box, encode the box as GIF and read it back.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "imaging/codec.h"
#include "imaging/reduce.h"

using namespace pixelmote;
using namespace pixelmote::imaging;

namespace {

// At most 48 pixels a side, keeping the picture's shape.
Size smallBox(Size full) {
  const double scale = std::min(1.0, 48.0 / std::max(full.width, full.height));
  return {std::max(1, static_cast<int>(std::lround(full.width * scale))),
          std::max(1, static_cast<int>(std::lround(full.height * scale)))};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Bytes bytes(data, size);
  DecodeRequest request;
  request.limits = fuzzing::fuzzLimits();
  request.background = {static_cast<std::uint8_t>(size), 128, 7};
  BoxReducer reducer([](Size, Size full) { return smallBox(full); });
  fuzzing::ProtocolSink sink(reducer);
  const util::Status status = decodeGif(bytes, request, sink);
  fuzzing::checkHeadAgrees(checkGifHead, bytes, request.limits, status);
  std::string comment = leadingComment(bytes);
  if (!status) return 0;
  sink.checkComplete();
  fuzzing::check(sink.rows() == sink.full(), "GIF rows reduced");

  const Raster box = reducer.takeResult();
  fuzzing::check(box.size == smallBox(sink.full()), "box of the wrong size");
  comment.erase(std::remove(comment.begin(), comment.end(), '\0'), comment.end());
  const int bits = 1 + static_cast<int>(fuzzing::pick(data, size, 8));
  const auto encoded = encodeGif(box, bits, comment);
  fuzzing::check(static_cast<bool>(encoded), "encoding a decoded box failed");
  fuzzing::check(leadingComment(fuzzing::bytesOf(encoded.value())) == comment, "comment lost");

  RasterSink again;
  fuzzing::ProtocolSink checked(again);
  fuzzing::check(static_cast<bool>(decodeGif(fuzzing::bytesOf(encoded.value()), DecodeRequest{}, checked)),
                 "our own GIF does not decode");
  checked.checkComplete();
  fuzzing::check(again.raster.size == box.size, "our own GIF decodes at another size");
  return 0;
}
