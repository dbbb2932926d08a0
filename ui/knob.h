// Slider knob arithmetic: offset limits, the value shown, and offsets as text.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pixelmote::ui {

// The slider layout in pixels: the knob's left edge runs from 0 to
// kKnobTrackWidth - kKnobWidth within its track.
inline constexpr int kKnobTrackWidth = 169;
inline constexpr int kKnobWidth = 17;
inline constexpr int kKnobRange = kKnobTrackWidth - kKnobWidth;  // 152

// Keeps an offset on the track: below 0 (or not a number) gives 0, beyond the
// track's end gives kKnobRange.
float clampKnobOffset(float offset);

// The slider value 0 to 100 of a knob offset: offset / 152 * 100 in single
// precision, rounded to the nearest whole number with halves going up. The
// offset is clamped to the track first.
int knobValue(float offset);

// Reads an offset written as an optional sign, digits and an optional
// fraction after `decimalPoint`, with blanks allowed around it. Anything else
// (the empty text, exponents, "inf", a second decimal mark, numbers beyond
// the float range) gives nothing.
std::optional<float> parseKnobOffset(std::string_view text, char decimalPoint);

// The shortest decimal text that reads back as the same float, without an
// exponent or leading blank: "76", "0", "12.5" (with '.' as decimalPoint).
// Meant for finite numbers; -0 is written as "0".
std::string formatKnobOffset(float offset, char decimalPoint);

}  // namespace pixelmote::ui
