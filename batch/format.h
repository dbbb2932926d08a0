// Number texts of the status lines and the window title: funBytes, the totals
// figure and the title percentage, in the user's number settings.
#pragma once

#include <cstdint>
#include <string>

namespace pixelmote::batch {

// Decimal mark and thousands separator of the user's number settings.
struct NumberFormat {
  std::string decimalPoint = ".";
  std::string thousandsSeparator = ",";

  // English settings: "," groups thousands, "." marks decimals.
  static NumberFormat english() { return {}; }
  // From LC_NUMERIC as currently set, characters as the locale gives them
  // (an empty thousands separator: no grouping); the C and POSIX locales
  // give the English settings.
  static NumberFormat fromLocale();
};

// Display text of a byte count: plain digits below 1,024, then "k", "M" and
// "G" (powers of two; a count equal to a power belongs to the higher unit).
std::string funBytes(std::int64_t n, const NumberFormat& format);

// The totals figure -((thumbBytes + 1) / (pictureBytes + 1) * 100) in the
// pattern "0.0#": one decimal always, a second only when it is not zero.
std::string sizeFigure(std::int64_t thumbBytes, std::int64_t pictureBytes, const NumberFormat& format);

// Formats `value` rounded to hundredths in the pattern "0.0#".
std::string formatOneOrTwoDecimals(double value, const NumberFormat& format);

// A percentage as general text: up to 15 significant digits, no exponent, no
// trailing zeros (33.3333333333333, 50, 0.005).
std::string generalNumber(double value, const NumberFormat& format);

// `text` with every control byte (below 0x20, and 0x7F) shown as "?", as a
// terminal listing shows such names: a status line stays one line.
std::string printable(std::string text);

}  // namespace pixelmote::batch
