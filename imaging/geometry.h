// Thumbnail geometry: the size of the thumbnail box for a picture.
#pragma once

#include "imaging/raster.h"

namespace pixelmote::imaging {

// The box for a picture of `source` pixels (as displayed) at `sizePercent`
// (0 to 100): each side is percent × side / 100, computed in double
// precision, rounded to single precision and then to the nearest whole
// pixel (halves away from zero). A side that comes to 0 is made 1 pixel.
Size SizeThumb(double sizePercent, Size source);

}  // namespace pixelmote::imaging
