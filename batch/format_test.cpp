#include "batch/format.h"

#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <gtest/gtest.h>
#include <limits>
#include <string>

#include "testsupport/temp_tree.h"

namespace pixelmote::batch {
namespace {

const NumberFormat kEnglish = NumberFormat::english();
const NumberFormat kGerman{",", "."};

struct BytesCase {
  std::int64_t n;
  const char* english;
  const char* german;
};

TEST(FunBytesTest, PicksTheUnitAndFormatsIt) {
  const BytesCase cases[] = {
      {0, "0", "0"},
      {1, "1", "1"},
      {512, "512", "512"},
      {1023, "1023", "1023"},  // below 1,024: no grouping
      {1024, "1k", "1k"},
      {1535, "1k", "1k"},
      {1536, "2k", "2k"},  // a half rounds up
      {2560, "3k", "3k"},  // ... away from zero, also from an even number
      {1023 * 1024, "1,023k", "1.023k"},
      {1048064, "1,024k", "1.024k"},  // 1,023.5k
      {1048575, "1,024k", "1.024k"},
      {1048576, "1.00M", "1,00M"},
      {1572864, "1.50M", "1,50M"},
      {1179648, "1.13M", "1,13M"},  // 1.125M: a half rounds away from zero
      {1441792, "1.38M", "1,38M"},  // 1.375M
      {1073741823, "1,024.00M", "1.024,00M"},
      {1073741824, "1.00G", "1,00G"},
      {1610612736, "1.50G", "1,50G"},
      {std::int64_t{5} << 40, "5,120.00G", "5.120,00G"},
      {std::int64_t{1000000} << 30, "1,000,000.00G", "1.000.000,00G"},
      {std::numeric_limits<std::int64_t>::max(), "8,589,934,592.00G", "8.589.934.592,00G"},
      {-1, "-1", "-1"},
      {-512, "-512", "-512"},
      {-5000, "-5000", "-5000"},
  };
  for (const BytesCase& c : cases) {
    EXPECT_EQ(funBytes(c.n, kEnglish), c.english) << c.n;
    EXPECT_EQ(funBytes(c.n, kGerman), c.german) << c.n;
  }
}

TEST(FunBytesTest, UsesTheSeparatorsGiven) {
  const NumberFormat spaced{",", " "};
  EXPECT_EQ(funBytes(1073741823, spaced), "1 024,00M");
  EXPECT_EQ(funBytes(1048575, spaced), "1 024k");
  const NumberFormat longMarks{"<dp>", "<ts>"};  // marks of more than one byte
  EXPECT_EQ(funBytes(1073741823, longMarks), "1<ts>024<dp>00M");
}

TEST(SizeFigureTest, ShowsOneDecimalAndASecondOnlyWhenNotZero) {
  EXPECT_EQ(sizeFigure(9, 199, kEnglish), "-5.0");
  EXPECT_EQ(sizeFigure(0, 0, kEnglish), "-100.0");
  EXPECT_EQ(sizeFigure(1, 2, kEnglish), "-66.67");
  EXPECT_EQ(sizeFigure(0, 1, kEnglish), "-50.0");
  EXPECT_EQ(sizeFigure(0, 7, kEnglish), "-12.5");
  EXPECT_EQ(sizeFigure(0, 79, kEnglish), "-1.25");
  EXPECT_EQ(sizeFigure(199, 9, kEnglish), "-2000.0");            // thumbnails larger than pictures
  EXPECT_EQ(sizeFigure(999999, 0, kEnglish), "-100000000.0");    // no grouping in this figure
  EXPECT_EQ(sizeFigure(9, 199, kGerman), "-5,0");
  EXPECT_EQ(sizeFigure(1, 2, kGerman), "-66,67");
  EXPECT_EQ(sizeFigure(0, 0, kGerman), "-100,0");
}

TEST(FormatOneOrTwoDecimalsTest, RoundsToHundredths) {
  EXPECT_EQ(formatOneOrTwoDecimals(0, kEnglish), "0.0");
  EXPECT_EQ(formatOneOrTwoDecimals(5, kEnglish), "5.0");
  EXPECT_EQ(formatOneOrTwoDecimals(12.5, kEnglish), "12.5");
  EXPECT_EQ(formatOneOrTwoDecimals(66.666, kEnglish), "66.67");
  EXPECT_EQ(formatOneOrTwoDecimals(0.125, kEnglish), "0.13");    // a half away from zero
  EXPECT_EQ(formatOneOrTwoDecimals(-0.125, kEnglish), "-0.13");
  EXPECT_EQ(formatOneOrTwoDecimals(2.999, kEnglish), "3.0");     // carries into the whole part
  EXPECT_EQ(formatOneOrTwoDecimals(-99.996, kEnglish), "-100.0");
  EXPECT_EQ(formatOneOrTwoDecimals(1234567.891, kEnglish), "1234567.89");
  EXPECT_EQ(formatOneOrTwoDecimals(1234567.891, kGerman), "1234567,89");
}

TEST(GeneralNumberTest, WritesUpToFifteenDigitsWithoutTrailingZeros) {
  EXPECT_EQ(generalNumber(1.0 / 3 * 100, kEnglish), "33.3333333333333");
  EXPECT_EQ(generalNumber(2.0 / 3 * 100, kEnglish), "66.6666666666667");
  EXPECT_EQ(generalNumber(50, kEnglish), "50");
  EXPECT_EQ(generalNumber(100, kEnglish), "100");
  EXPECT_EQ(generalNumber(0, kEnglish), "0");
  EXPECT_EQ(generalNumber(12.5, kEnglish), "12.5");
  EXPECT_EQ(generalNumber(0.005, kEnglish), "0.005");
  EXPECT_EQ(generalNumber(99.99999999999999, kEnglish), "100");  // sixteen nines round up
  EXPECT_EQ(generalNumber(-12.5, kEnglish), "-12.5");
}

TEST(GeneralNumberTest, WritesVerySmallAndLargeValuesWithoutExponent) {
  EXPECT_EQ(generalNumber(0.0001, kEnglish), "0.0001");
  EXPECT_EQ(generalNumber(0.00001, kEnglish), "0.00001");
  EXPECT_EQ(generalNumber(1e-7, kEnglish), "0.0000001");
  EXPECT_EQ(generalNumber(1.0 / 3 * 1e-5, kEnglish), "0.00000333333333333333");
  EXPECT_EQ(generalNumber(2.5e-10, kEnglish), "0.00000000025");
  EXPECT_EQ(generalNumber(1e15, kEnglish), "1000000000000000");
  EXPECT_EQ(generalNumber(1e20, kEnglish), "100000000000000000000");
}

TEST(GeneralNumberTest, UsesTheDecimalMarkGiven) {
  EXPECT_EQ(generalNumber(1.0 / 3 * 100, kGerman), "33,3333333333333");
  EXPECT_EQ(generalNumber(12.5, kGerman), "12,5");
  EXPECT_EQ(generalNumber(1e-7, kGerman), "0,0000001");
  EXPECT_EQ(generalNumber(1000, kGerman), "1000");  // no grouping
  EXPECT_EQ(generalNumber(50, kGerman), "50");
}

// Sets LC_NUMERIC for one test and puts the previous setting back.
class NumericLocaleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* current = std::setlocale(LC_NUMERIC, nullptr);
    m_previous = current != nullptr ? current : "C";
  }
  void TearDown() override { std::setlocale(LC_NUMERIC, m_previous.c_str()); }

  std::string m_previous;
};

TEST_F(NumericLocaleTest, TheCLocaleGivesEnglishSettings) {
  ASSERT_NE(std::setlocale(LC_NUMERIC, "C"), nullptr);
  const NumberFormat format = NumberFormat::fromLocale();
  EXPECT_EQ(format.decimalPoint, ".");
  EXPECT_EQ(format.thousandsSeparator, ",");
  EXPECT_EQ(funBytes(1073741823, format), "1,024.00M");
}

TEST_F(NumericLocaleTest, AGermanLocaleGivesCommaAndPoint) {
  if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr) {
    GTEST_SKIP() << "the locale de_DE.UTF-8 is not installed on this system";
  }
  const NumberFormat format = NumberFormat::fromLocale();
  EXPECT_EQ(format.decimalPoint, ",");
  EXPECT_EQ(format.thousandsSeparator, ".");
  EXPECT_EQ(funBytes(1073741823, format), "1.024,00M");
}

// Locales whose decimal mark is a comma and that do not group digits, built
// from the system's locale sources into a temporary folder, so the test
// does not depend on which locales the machine has compiled.
class CommaLocaleTest : public NumericLocaleTest,
                        public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override {
    NumericLocaleTest::SetUp();
    const char* previous = std::getenv("LOCPATH");
    m_hadLocPath = previous != nullptr;
    if (m_hadLocPath) m_previousLocPath = previous;
    const std::string name = std::string(GetParam()) + ".UTF-8";
    const std::string command = "localedef -c -i " + std::string(GetParam()) + " -f UTF-8 '" + m_tree.path(name) +
                                "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0 && !m_tree.exists(name)) {
      GTEST_SKIP() << "localedef cannot build " << name << " here";
    }
    ::setenv("LOCPATH", m_tree.root().c_str(), 1);
    if (std::setlocale(LC_NUMERIC, name.c_str()) == nullptr) GTEST_SKIP() << name << " does not load";
  }
  void TearDown() override {
    NumericLocaleTest::TearDown();
    if (m_hadLocPath) {
      ::setenv("LOCPATH", m_previousLocPath.c_str(), 1);
    } else {
      ::unsetenv("LOCPATH");
    }
  }

  testing::TempTree m_tree;
  bool m_hadLocPath = false;
  std::string m_previousLocPath;
};

TEST_P(CommaLocaleTest, NumbersUseTheCommaAndNoGrouping) {
  const NumberFormat format = NumberFormat::fromLocale();
  EXPECT_EQ(format.decimalPoint, ",");
  EXPECT_EQ(format.thousandsSeparator, "");
  EXPECT_EQ(funBytes(2610954, format), "2,49M");
  EXPECT_EQ(funBytes(1048575, format), "1024k");
  EXPECT_EQ(funBytes(1073741823, format), "1024,00M");
  EXPECT_EQ(funBytes(std::int64_t{5} << 40, format), "5120,00G");
  EXPECT_EQ(sizeFigure(0, 1 << 20, format), "-0,0");
  EXPECT_EQ(sizeFigure(9, 99, format), "-10,0");
  EXPECT_EQ(generalNumber(1.0 / 3 * 100, format), "33,3333333333333");
}

INSTANTIATE_TEST_SUITE_P(Locales, CommaLocaleTest, ::testing::Values("pt_PT", "bg_BG"));

}  // namespace
}  // namespace pixelmote::batch
