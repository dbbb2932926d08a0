// How much memory loading a picture into its thumbnail box will take, read
// from the picture's header, so pictures loaded side by side stay within a
// memory budget.
#pragma once

#include <cstdint>
#include <string>

#include "imaging/codec.h"

namespace pixelmote::imaging {

// Bytes that loading `data` (a picture file's first bytes, 256 KB is plenty)
// at `sizePercent` holds at its peak: the decoder's working memory (for
// progressive JPEG the whole picture's coefficients; for most other forms
// little more than a few rows) and the box it delivers. A header that cannot
// be read gives a small figure: such a picture fails early.
std::uint64_t estimateLoadBytes(Bytes head, double sizePercent);

// The same for the file at `path`.
std::uint64_t estimateLoadBytes(const std::string& path, double sizePercent);

}  // namespace pixelmote::imaging
