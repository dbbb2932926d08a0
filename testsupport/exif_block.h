// EXIF blocks made with libexif, for pictures that tests and seeds need.
#pragma once

#include <string>

namespace pixelmote::testing {

// An EXIF block (starting "Exif\0\0", as an APP1 marker holds it) whose
// orientation entry is `orientation`.
std::string exifOrientationBlock(int orientation, bool bigEndian = false);

}  // namespace pixelmote::testing
