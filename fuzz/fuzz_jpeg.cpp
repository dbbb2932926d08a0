// JPEG: decode reduced towards a thumbnail box, resample into the box,
// encode the box and read it back.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "imaging/codec.h"
#include "imaging/geometry.h"
#include "imaging/reduce.h"

using namespace pixelmote;
using namespace pixelmote::imaging;

namespace {

constexpr double kPercents[] = {25, 10, 50, 100, 1, 33.3};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Bytes bytes(data, size);
  const double percent = kPercents[fuzzing::pick(data, size, std::size(kPercents))];

  DecodeRequest request;
  request.limits = fuzzing::fuzzLimits();
  request.minimumSize = [percent](Size full) { return SizeThumb(percent, full); };
  BoxReducer reducer([percent](Size, Size full) { return SizeThumb(percent, full); });
  fuzzing::ProtocolSink sink(reducer);
  const util::Status status = decodeJpeg(bytes, request, sink);
  fuzzing::checkHeadAgrees(checkJpegHead, bytes, request.limits, status);
  const std::string comment = leadingComment(bytes);
  if (!status) return 0;
  sink.checkComplete();

  // Reduced while decoding, but never below what was asked for.
  const Size need = SizeThumb(percent, sink.full());
  fuzzing::check(sink.rows().width >= need.width && sink.rows().height >= need.height,
                 "rows smaller than the minimum size");

  const Raster box = reducer.takeResult();
  fuzzing::check(box.size == need, "box of the wrong size");
  const int quality = static_cast<int>(fuzzing::pick(data, size, 101));
  const int smoothing = static_cast<int>(fuzzing::pick(data, size / 2, 101));
  const auto encoded = encodeJpeg(box, quality, smoothing, comment);
  fuzzing::check(static_cast<bool>(encoded), "encoding a decoded box failed");

  // What we write we must read.
  if (box.size.pixels() <= (1 << 20)) {
    fuzzing::check(leadingComment(fuzzing::bytesOf(encoded.value())) == comment, "comment lost");
    RasterSink again;
    DecodeRequest plain;
    fuzzing::ProtocolSink checked(again);
    fuzzing::check(static_cast<bool>(decodeJpeg(fuzzing::bytesOf(encoded.value()), plain, checked)),
                   "our own JPEG does not decode");
    checked.checkComplete();
    fuzzing::check(again.raster.size == box.size, "our own JPEG decodes at another size");
  }
  return 0;
}
