#include "batch/format.h"

#include <charconv>
#include <clocale>
#include <cstring>
#include <cmath>
#include <cstdlib>

namespace pixelmote::batch {

namespace {

using U128 = unsigned __int128;

std::string digits(U128 v) {
  if (v == 0) return "0";
  std::string out;
  while (v > 0) {
    out.insert(out.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
    v /= 10;
  }
  return out;
}

std::string grouped(U128 v, const std::string& separator) {
  const std::string plain = digits(v);
  std::string out;
  const std::size_t n = plain.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0 && (n - i) % 3 == 0) out += separator;
    out += plain[i];
  }
  return out;
}

// n / 2^shift rounded to a whole number, halves away from zero (n >= 0).
U128 roundedShift(U128 n, int shift) {
  const U128 unit = U128{1} << shift;
  U128 q = n >> shift;
  if (((n & (unit - 1)) << 1) >= unit) ++q;
  return q;
}

// n / 2^shift with two decimals and grouping, then the unit letter.
std::string twoDecimals(std::int64_t n, int shift, char unit, const NumberFormat& format) {
  const U128 hundredths = roundedShift(static_cast<U128>(n) * 100u, shift);
  const U128 whole = hundredths / 100u;
  const unsigned frac = static_cast<unsigned>(hundredths % 100u);
  std::string out = grouped(whole, format.thousandsSeparator);
  out += format.decimalPoint;
  out += static_cast<char>('0' + frac / 10);
  out += static_cast<char>('0' + frac % 10);
  out += unit;
  return out;
}

std::string replacePoint(std::string text, const NumberFormat& format) {
  const auto dot = text.find('.');
  if (dot != std::string::npos) text.replace(dot, 1, format.decimalPoint);
  return text;
}

}  // namespace

NumberFormat NumberFormat::fromLocale() {
  // The C and POSIX locales stand for "no number settings": scripts that run
  // without a locale keep the English texts they have always seen.
  const char* name = std::setlocale(LC_NUMERIC, nullptr);
  if (name == nullptr || std::strcmp(name, "C") == 0 || std::strcmp(name, "POSIX") == 0) return english();
  const std::lconv* lc = std::localeconv();
  if (lc == nullptr) return english();
  NumberFormat format;
  if (lc->decimal_point != nullptr && lc->decimal_point[0] != '\0') format.decimalPoint = lc->decimal_point;
  // An empty separator means the locale does not group digits.
  format.thousandsSeparator = lc->thousands_sep != nullptr ? lc->thousands_sep : "";
  return format;
}

std::string funBytes(std::int64_t n, const NumberFormat& format) {
  constexpr std::int64_t kKilo = std::int64_t{1} << 10;
  constexpr std::int64_t kMega = std::int64_t{1} << 20;
  constexpr std::int64_t kGiga = std::int64_t{1} << 30;
  if (n < kKilo) return std::to_string(n);
  if (n < kMega) return grouped(roundedShift(static_cast<U128>(n), 10), format.thousandsSeparator) + "k";
  if (n < kGiga) return twoDecimals(n, 20, 'M', format);
  return twoDecimals(n, 30, 'G', format);
}

std::string formatOneOrTwoDecimals(double value, const NumberFormat& format) {
  if (!std::isfinite(value)) return std::to_string(value);
  const bool negative = std::signbit(value) && value != 0.0;
  const double hundredths = std::round(std::fabs(value) * 100.0);  // halves away from zero
  char buf[400];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, hundredths / 100.0, std::chars_format::fixed, 2);
  if (ec != std::errc{}) return {};
  std::string text(buf, end);
  if (text.size() >= 2 && text.back() == '0') text.pop_back();  // "0.0#": drop a zero second decimal
  return (negative ? "-" : "") + replacePoint(text, format);
}

std::string sizeFigure(std::int64_t thumbBytes, std::int64_t pictureBytes, const NumberFormat& format) {
  const double figure =
      -((static_cast<double>(thumbBytes) + 1.0) / (static_cast<double>(pictureBytes) + 1.0) * 100.0);
  return formatOneOrTwoDecimals(figure, format);
}

std::string generalNumber(double value, const NumberFormat& format) {
  if (!std::isfinite(value)) return std::to_string(value);
  char buf[400];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 15);
  if (ec != std::errc{}) return {};
  std::string text(buf, end);
  if (text.find('e') != std::string::npos) {
    // Written out in full: as many decimals as 15 significant digits need.
    const double magnitude = std::fabs(value);
    int decimals = 14;
    if (magnitude > 0.0) decimals = 14 - static_cast<int>(std::floor(std::log10(magnitude)));
    if (decimals < 0) decimals = 0;
    if (decimals > 340) decimals = 340;
    auto [end2, ec2] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
    if (ec2 != std::errc{}) return {};
    text.assign(buf, end2);
    if (text.find('.') != std::string::npos) {
      while (text.back() == '0') text.pop_back();
      if (text.back() == '.') text.pop_back();
    }
  }
  return replacePoint(text, format);
}

std::string printable(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return text;
}

}  // namespace pixelmote::batch
