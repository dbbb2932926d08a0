// The body shared by the targets of the lossless picture types: decode
// through our reader into a thumbnail box, then write the box in the same
// type and check that exactly its pixels come back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>

#include "fuzz/fuzz_support.h"
#include "imaging/codec.h"
#include "imaging/geometry.h"
#include "imaging/reduce.h"

namespace pixelmote::fuzzing {

using DecodeFn = util::Status (*)(imaging::Bytes, const imaging::DecodeRequest&, imaging::RowSink&);
// Writes a raster in the type; `bits` 1-8 where the type takes a palette size.
using EncodeFn = util::Result<std::string> (*)(const imaging::Raster&, int bits);

inline int decodeAndRewrite(const std::uint8_t* data, std::size_t size, DecodeFn decode, HeadCheckFn headCheck,
                            EncodeFn encode) {
  using namespace imaging;
  static constexpr double kPercents[] = {25, 10, 50, 100, 1};
  const double percent = kPercents[pick(data, size, std::size(kPercents))];

  DecodeRequest request;
  request.limits = fuzzLimits();
  request.background = {static_cast<std::uint8_t>(size), 200, 13};
  BoxReducer reducer([percent](Size, Size full) { return SizeThumb(percent, full); });
  ProtocolSink sink(reducer);
  const util::Status status = decode(Bytes(data, size), request, sink);
  checkHeadAgrees(headCheck, Bytes(data, size), request.limits, status);
  if (!status) return 0;
  sink.checkComplete();
  fuzzing::check(sink.rows() == sink.full(), "rows reduced by a reader that cannot reduce");

  const Raster box = reducer.takeResult();
  check(box.size == SizeThumb(percent, sink.full()), "box of the wrong size");
  if (box.size.pixels() > (1 << 16)) return 0;
  const int bits = 1 + static_cast<int>(pick(data, size / 2, 8));
  const auto encoded = encode(box, bits);
  check(static_cast<bool>(encoded), "writing a decoded box failed");
  RasterSink again;
  ProtocolSink checked(again);
  check(static_cast<bool>(decode(bytesOf(encoded.value()), DecodeRequest{}, checked)),
        "what we wrote does not read back");
  checked.checkComplete();
  check(again.raster == box, "what we wrote reads back with other pixels");
  return 0;
}

}  // namespace pixelmote::fuzzing
