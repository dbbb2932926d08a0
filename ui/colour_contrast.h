// Colour contrast as the web accessibility guidelines measure it, for keeping
// text and controls readable whatever the desktop's palette.
#pragma once

#include <QColor>

namespace pixelmote::ui {

// Relative luminance of a colour read as sRGB: 0 for black, 1 for white.
double relativeLuminance(const QColor& colour);

// Contrast ratio of two colours, from 1 (the same) to 21 (black and white);
// the order of the two does not matter. Text wants at least 4.5, the parts
// of a control at least 3.
double contrastRatio(const QColor& a, const QColor& b);

}  // namespace pixelmote::ui
