#include "ui/knob.h"

#include <charconv>
#include <cmath>
#include <system_error>

namespace pixelmote::ui {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view trimBlanks(std::string_view text) {
  constexpr std::string_view blanks = " \t";
  const auto first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

}  // namespace

float clampKnobOffset(float offset) {
  if (!(offset > 0.0f)) return 0.0f;  // also NaN and -0
  if (offset > static_cast<float>(kKnobRange)) return static_cast<float>(kKnobRange);
  return offset;
}

int knobValue(float offset) {
  const float value = clampKnobOffset(offset) / static_cast<float>(kKnobRange) * 100.0f;
  // Compare the fraction rather than adding 0.5, which can itself round up.
  const float whole = std::floor(value);
  return static_cast<int>(whole) + (value - whole >= 0.5f ? 1 : 0);
}

std::optional<float> parseKnobOffset(std::string_view text, char decimalPoint) {
  text = trimBlanks(text);
  // Check the form here: std::from_chars would also take exponents, "inf"
  // and "nan", and knows only '.' as the decimal mark.
  std::string number;
  std::size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    if (text[i] == '-') number += '-';
    ++i;
  }
  bool digits = false;
  bool fraction = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (isDigit(c)) {
      digits = true;
      number += c;
    } else if (c == decimalPoint && !fraction) {
      fraction = true;
      number += '.';
    } else {
      return std::nullopt;
    }
  }
  if (!digits) return std::nullopt;

  float result = 0.0f;
  const char* end = number.data() + number.size();
  const auto [ptr, ec] = std::from_chars(number.data(), end, result, std::chars_format::fixed);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return result;
}

std::string formatKnobOffset(float offset, char decimalPoint) {
  if (offset == 0.0f) offset = 0.0f;  // no "-0"
  // Fixed notation needs at most 39 integer digits or 45 fraction digits for a float.
  char buffer[128];
  const auto [ptr, ec] = std::to_chars(buffer, buffer + sizeof buffer, offset, std::chars_format::fixed);
  if (ec != std::errc()) return {};
  std::string text(buffer, ptr);
  for (char& c : text) {
    if (c == '.') c = decimalPoint;
  }
  return text;
}

}  // namespace pixelmote::ui
