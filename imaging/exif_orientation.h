// Reads how a picture is meant to be turned for display from its EXIF block.
#pragma once

#include <cstdint>
#include <span>

namespace pixelmote::imaging {

// The EXIF orientation (1-8) held in a JPEG APP1 payload, which starts with
// "Exif\0\0". Returns 1 (upright) when the payload is not EXIF, is malformed,
// has no orientation, or holds a value outside 1-8.
int exifOrientation(std::span<const std::uint8_t> app1Payload);

// Orientations 5-8 turn the picture by a quarter: width and height swap.
inline bool orientationSwapsAxes(int orientation) { return orientation >= 5 && orientation <= 8; }

}  // namespace pixelmote::imaging
