// Helpers shared by the picture writers: the check every writer makes of
// its input, and a picture's own colours as a palette for writers that can
// store pictures of few colours in indexed form without losing any.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "imaging/raster.h"
#include "util/result.h"

namespace pixelmote::imaging {

// Success if `raster` can be written: a size of at least 1 x 1 and exactly
// three bytes of pixel data per pixel. Otherwise the message says which.
util::Status checkWritable(const Raster& raster);

struct ExactPalette {
  std::vector<Rgb> colours;           // in order of first appearance
  std::vector<std::uint8_t> indices;  // one per pixel, rows top to bottom
};

// The picture's colours with each pixel's index, if there are at most
// `limit` (at most 256) of them; nothing otherwise. The count stops as soon
// as there are too many.
std::optional<ExactPalette> exactPalette(const Raster& raster, std::size_t limit);

// Fewest bits (1, 2, 4 or 8) that index `colours` entries.
int indexBits(std::size_t colours);

}  // namespace pixelmote::imaging
