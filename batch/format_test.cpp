// Number texts of the status lines and the title, in the number settings
// given or read from the locale.
#include "batch/format.h"

#include <clocale>
#include <cstdint>
#include <gtest/gtest.h>
#include <limits>
#include <string>
#include <tuple>

namespace pixelmote::batch {
namespace {

const NumberFormat kEnglish = NumberFormat::english();
const NumberFormat kGerman{",", "."};

TEST(NumberTexts, FunBytesPicksTheUnitAndGroupsThousands) {
  const std::tuple<std::int64_t, const char*, const char*> rows[] = {
      {0, "0", "0"},
      {1023, "1023", "1023"},  // below 1,024: no grouping
      {1024, "1k", "1k"},
      {1536, "2k", "2k"},  // a half rounds up
      {2560, "3k", "3k"},  // ... away from zero, also from an even number
      {1048575, "1,024k", "1.024k"},
      {1048576, "1.00M", "1,00M"},
      {1073741823, "1,024.00M", "1.024,00M"},
      {1073741824, "1.00G", "1,00G"},
      {1610612736, "1.50G", "1,50G"},
      {std::numeric_limits<std::int64_t>::max(), "8,589,934,592.00G", "8.589.934.592,00G"},
      {-5000, "-5000", "-5000"},
  };
  for (const auto& [n, english, german] : rows) {
    EXPECT_EQ(funBytes(n, kEnglish), english) << n;
    EXPECT_EQ(funBytes(n, kGerman), german) << n;
  }
  EXPECT_EQ(funBytes(1073741823, NumberFormat{"<dp>", "<ts>"}), "1<ts>024<dp>00M");  // marks of several bytes
}

// generalNumber writes out in full what would take an exponent. Zero never
// does, so its magnitude needs no case there.
TEST(NumberTexts, FiguresPercentagesAndPrintableNames) {
  const std::pair<std::string, const char*> rows[] = {
      {sizeFigure(9, 199, kEnglish), "-5.0"},
      {sizeFigure(0, 0, kEnglish), "-100.0"},
      {sizeFigure(1, 2, kEnglish), "-66.67"},
      {sizeFigure(999999, 0, kEnglish), "-100000000.0"},  // no grouping in this figure
      {sizeFigure(1, 2, kGerman), "-66,67"},
      {formatOneOrTwoDecimals(0.125, kEnglish), "0.13"},  // a half away from zero
      {formatOneOrTwoDecimals(2.999, kEnglish), "3.0"},  // carries into the whole part
      {formatOneOrTwoDecimals(-99.996, kEnglish), "-100.0"},
      {generalNumber(1.0 / 3 * 100, kEnglish), "33.3333333333333"},
      {generalNumber(0, kEnglish), "0"},
      {generalNumber(99.99999999999999, kEnglish), "100"},
      {generalNumber(1.0 / 3 * 1e-5, kEnglish), "0.00000333333333333333"},  // no exponent
      {generalNumber(1e20, kEnglish), "100000000000000000000"},
      {generalNumber(1e-7, kGerman), "0,0000001"},
      {printable("a\x01" "b\nc\x7f\xc3\xa9"), "a?b?c?\xc3\xa9"},
  };
  for (const auto& [got, want] : rows) EXPECT_EQ(got, want);
}

// The marks come from LC_NUMERIC: the C locale's, and whatever the machine's
// German locale (if built) uses.
TEST(NumberTexts, FromLocaleTakesTheMarksOfLcNumeric) {
  const std::string previous = std::setlocale(LC_NUMERIC, nullptr);
  for (const auto& [locale, oneGigabyteLess] : {std::pair{"C", "1,024.00M"}, std::pair{"de_DE.UTF-8", "1.024,00M"}}) {
    if (std::setlocale(LC_NUMERIC, locale) == nullptr) continue;
    const NumberFormat format = NumberFormat::fromLocale();
    EXPECT_EQ(funBytes(1073741823, format), oneGigabyteLess) << locale;
    EXPECT_EQ(sizeFigure(1, 2, format), std::string("-66") + format.decimalPoint + "67") << locale;
  }
  std::setlocale(LC_NUMERIC, previous.c_str());
}

}  // namespace
}  // namespace pixelmote::batch
