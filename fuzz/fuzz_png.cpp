// PNG: decode through our reader into a thumbnail box; the box written as
// PNG must read back with the same pixels.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_lossless.h"

using namespace pixelmote;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return fuzzing::decodeAndRewrite(data, size, imaging::decodePng, imaging::checkPngHead, imaging::encodePng);
}
