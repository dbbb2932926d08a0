// How much memory loading a picture into its thumbnail box will take, read
// from the picture's header, so pictures loaded side by side stay within a
// memory budget.
#pragma once

#include <cstdint>
#include <string>

#include "imaging/codec.h"

namespace pixelmote::imaging {

// Memory that loading a picture into its box holds at its peak.
struct LoadEstimate {
  std::uint64_t working = 0;  // the decoder's, given back when the load ends
  std::uint64_t box = 0;      // the box delivered, held until it is used
  std::uint64_t total() const { return working + box; }
};

// The estimate for `data` (a picture file's first bytes, 256 KB is plenty)
// at `sizePercent`: for progressive JPEG the whole picture's coefficients;
// for most other forms little more than a few rows. A header that cannot be
// read gives a small figure: such a picture fails early.
LoadEstimate estimateLoadBytes(Bytes head, double sizePercent);

// The same for the file at `path`, counting the bytes of it that loading
// reads and holds while decoding (plannedReadBytes).
LoadEstimate estimateLoadBytes(const std::string& path, double sizePercent);

}  // namespace pixelmote::imaging
