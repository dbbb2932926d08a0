// EXIF: the orientation reader on any APP1 payload.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "imaging/exif_orientation.h"

using namespace pixelmote;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int orientation = imaging::exifOrientation({data, size});
  fuzzing::check(orientation >= 1 && orientation <= 8, "orientation outside 1-8");

  // The same bytes behind an EXIF header, so that mutations spend their
  // time in the block itself.
  static constexpr std::uint8_t kHeader[6] = {'E', 'x', 'i', 'f', 0, 0};
  if (size < sizeof kHeader || std::memcmp(data, kHeader, sizeof kHeader) != 0) {
    std::vector<std::uint8_t> block(kHeader, kHeader + sizeof kHeader);
    block.insert(block.end(), data, data + size);
    const int inner = imaging::exifOrientation(block);
    fuzzing::check(inner >= 1 && inner <= 8, "orientation outside 1-8");
  }
  return 0;
}
