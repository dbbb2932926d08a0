// BMP: decode through our reader into a thumbnail box; the box written as
// BMP must read back with the same pixels.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_lossless.h"

using namespace pixelmote;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return fuzzing::decodeAndRewrite(data, size, imaging::decodeBmp, imaging::checkBmpHead,
                                   [](const imaging::Raster& r, int) { return imaging::encodeBmp(r); });
}
