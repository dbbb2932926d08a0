#include "imaging/geometry.h"

#include <cmath>

namespace pixelmote::imaging {

namespace {

int side(double percent, int length) {
  const float exact = static_cast<float>(percent * length / 100.0);
  const long whole = std::lround(exact);
  return whole < 1 ? 1 : static_cast<int>(whole);
}

}  // namespace

Size SizeThumb(double sizePercent, Size source) {
  return Size{side(sizePercent, source.width), side(sizePercent, source.height)};
}

}  // namespace pixelmote::imaging
