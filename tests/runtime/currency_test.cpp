#include "runtime/currency.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace tallivan {
namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

std::string Ascii(const std::u16string& s) { return std::string(s.begin(), s.end()); }

TEST(CurrencyTest, ConvertsDoublesToTheNearestTenThousandth) {
  struct Case {
    double value;
    int64_t raw;
  };
  const Case cases[] = {
      {0.0, 0},
      {-0.0, 0},
      {12.5, 125000},
      {-12.5, -125000},
      {0.00004, 0},
      {0.00008, 1},
      {0.00005000000000001, 1},
      {0.03125, 313},  // exactly 312.5 ten-thousandths: away from zero
      {-0.03125, -313},
      {1e-300, 0},
      {922337203685477.0, 9223372036854770000},
      {-922337203685477.5, -9223372036854775000},  // the nearest double to the minimum is below it
      {0.1 + 0.2, 3000},
      {1234567.8, 12345678000},
  };
  for (const Case& c : cases) {
    const Result<Currency> got = Currency::FromDouble(c.value);
    ASSERT_TRUE(got.ok()) << c.value;
    EXPECT_EQ(got.value().raw(), c.raw) << c.value;
  }
}

TEST(CurrencyTest, RejectsDoublesOutsideTheRange) {
  const double cases[] = {
      1e15,
      -1e15,
      922337203685477.6,  // rounds to 2^63 ten-thousandths, one past the largest
      -922337203685477.7,
      1e300,
      std::numeric_limits<double>::infinity(),
      -std::numeric_limits<double>::infinity(),
      std::numeric_limits<double>::quiet_NaN(),
  };
  for (const double value : cases) {
    const Result<Currency> got = Currency::FromDouble(value);
    ASSERT_FALSE(got.ok()) << value;
    EXPECT_EQ(got.error().number, kErrOverflow);
  }
}

TEST(CurrencyTest, AgreesWithLongDoubleRoundingOnManyValues) {
  // Values with few significant digits are exact in long double, so rounding there is a reference.
  for (int64_t cents = -200000; cents <= 200000; cents += 7) {
    const double value = static_cast<double>(cents) / 1000.0;
    const long double scaled = static_cast<long double>(value) * 10000.0L;
    const auto expected = static_cast<int64_t>(std::roundl(scaled));
    EXPECT_EQ(Currency::FromDouble(value).value().raw(), expected) << value;
  }
}

TEST(CurrencyTest, AddsExactlyAndReportsOverflow) {
  struct Case {
    int64_t a, b;
    bool ok;
    int64_t sum;
  };
  const Case cases[] = {
      {1, 2, true, 3},      {kMax, 0, true, kMax},  {kMax, 1, false, 0},
      {kMin, -1, false, 0}, {kMin, kMax, true, -1}, {kMax - 5, 5, true, kMax},
  };
  for (const Case& c : cases) {
    const Result<Currency> got = Add(Currency::FromRaw(c.a), Currency::FromRaw(c.b));
    ASSERT_EQ(got.ok(), c.ok) << c.a << " + " << c.b;
    if (c.ok) {
      EXPECT_EQ(got.value().raw(), c.sum);
    } else {
      EXPECT_EQ(got.error().number, kErrOverflow);
    }
    Currency in_place = Currency::FromRaw(c.a);
    EXPECT_EQ(AddTo(in_place, Currency::FromRaw(c.b)), c.ok);
    EXPECT_EQ(in_place.raw(), c.ok ? c.sum : c.a) << "a failed AddTo leaves the sum alone";
  }
}

TEST(CurrencyTest, FormatsWithTwoDecimalsRoundedHalfAwayFromZero) {
  struct Case {
    int64_t raw;
    const char* text;
  };
  const Case cases[] = {
      {100000, "10.00"},
      {5000, "0.50"},
      {-30000, "-3.00"},
      {12345678000, "1234567.80"},
      {0, "0.00"},
      {49, "0.00"},
      {50, "0.01"},
      {-49, "0.00"},  // never "-0.00"
      {-50, "-0.01"},
      {80, "0.01"},
      {120, "0.01"},
      {-125000, "-12.50"},
      {9999, "1.00"},
      {kMax, "922337203685477.58"},
      {kMin, "-922337203685477.58"},
      {kMax - 7, "922337203685477.58"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Ascii(Format(Currency::FromRaw(c.raw))), c.text) << c.raw;
  }
}

TEST(CurrencyTest, FormatsWithTheGivenDecimalSeparator) {
  EXPECT_EQ(Format(Currency::FromRaw(-15000), u","), u"-1,50");
  EXPECT_EQ(Format(Currency::FromRaw(15000), u"\u066B"), u"1\u066B50");
  std::u16string out = u"x";
  AppendFormatted(out, Currency::FromRaw(1), u".");
  EXPECT_EQ(out, u"x0.00");
}

}  // namespace
}  // namespace tallivan
