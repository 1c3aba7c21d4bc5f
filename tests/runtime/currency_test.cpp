#include "runtime/currency.h"

#include <gtest/gtest.h>

#include <limits>
#include <optional>

namespace tallivan {
namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

TEST(CurrencyTest, ConvertsDoublesToTheNearestTenThousandthOrOverflows) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::pair<double, std::optional<int64_t>> cases[] = {
      {0.00004, 0},
      {0.03125, 313},  // exactly 312.5 ten-thousandths: away from zero
      {-0.03125, -313},
      {0.1 + 0.2, 3000},
      {1e-300, 0},
      {922337203685477.0, 9223372036854770000},
      {-922337203685477.5, -9223372036854775000},
      {1e15, std::nullopt},
      {922337203685477.6, std::nullopt},  // one past the largest once rounded
      {-922337203685477.7, std::nullopt},
      {inf, std::nullopt},
      {std::numeric_limits<double>::quiet_NaN(), std::nullopt},
  };
  for (const auto& [value, raw] : cases) {
    const Result<Currency> got = Currency::FromDouble(value);
    ASSERT_EQ(got.ok(), raw.has_value()) << value;
    EXPECT_EQ(got.ok() ? got.value().raw() : Code(got.error().number),
              raw.value_or(Code(ErrorNumber::kOverflow)));
  }
}

TEST(CurrencyTest, AddsExactlyAndReportsOverflow) {
  const std::tuple<int64_t, int64_t, std::optional<int64_t>> cases[] = {
      {kMax - 5, 5, kMax},
      {kMin, kMax, -1},
      {kMax, 1, std::nullopt},
      {kMin, -1, std::nullopt},
  };
  for (const auto& [a, b, sum] : cases) {
    const Result<Currency> got = Add(Currency::FromRaw(a), Currency::FromRaw(b));
    ASSERT_EQ(got.ok(), sum.has_value()) << a << " + " << b;
    EXPECT_EQ(got.ok() ? got.value().raw() : Code(got.error().number),
              sum.value_or(Code(ErrorNumber::kOverflow)));
    Currency in_place = Currency::FromRaw(a);
    EXPECT_EQ(AddTo(in_place, Currency::FromRaw(b)), sum.has_value());
    EXPECT_EQ(in_place.raw(), sum.value_or(a)) << "a failed AddTo leaves the sum alone";
  }
}

TEST(CurrencyTest, FormatsWithTwoDecimalsRoundedHalfAwayFromZero) {
  const std::tuple<int64_t, std::u16string_view, std::u16string_view> cases[] = {
      {49, u".", u"0.00"},
      {50, u".", u"0.01"},
      {-49, u".", u"0.00"},  // never "-0.00"
      {-50, u".", u"-0.01"},
      {9999, u".", u"1.00"},
      {kMax, u".", u"922337203685477.58"},
      {kMin, u".", u"-922337203685477.58"},
      {15000, u"\u066B", u"1\u066B50"},
  };
  for (const auto& [raw, separator, text] : cases) {
    EXPECT_EQ(Format(Currency::FromRaw(raw), separator), text) << raw;
  }
}

}  // namespace
}  // namespace tallivan
