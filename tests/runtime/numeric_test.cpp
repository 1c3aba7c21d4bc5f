#include "runtime/numeric.h"

#include <gtest/gtest.h>

#include <charconv>
#include <random>
#include <string>

namespace tallivan {
namespace {

std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// std::from_chars's value for a numeral; it reads a "-" but not a "+".
double Reference(const std::string& numeral) {
  double value = 0;
  const char* begin = numeral.data() + (numeral[0] == '+');
  EXPECT_EQ(std::from_chars(begin, numeral.data() + numeral.size(), value).ec, std::errc())
      << numeral;
  return value;
}

TEST(NumericTest, RejectsEverythingElse) {
  const std::u16string nines = Wide(std::string(400, '9')), point_five = u"-" + nines + u".5";
  const std::u16string too_huge = Wide("1" + std::string(309, '0'));
  const std::u16string cases[] = {
      u"",    u"-",   u"+",    u".",  u"-.",  u"1e5",      u"1E5", u"0x10",    u"1,000",
      u"$5",  u"¥5",  u"2\t3", u" 2", u"2 ",  u"1.2.3",    u"--1", u"+-1",     u"1-",
      u"inf", u"nan", u"１２", u"١٢", u"12a", u"\u00A012", nines,  point_five, too_huge};
  for (const auto& token : cases) {
    EXPECT_FALSE(IsNumeric(token)) << std::string(token.begin(), token.end()).substr(0, 20);
    EXPECT_FALSE(ParseNumeric(token).has_value());
  }
}

// A numeral of up to 19 digits before its point and 25 after, with or without a sign or a point.
std::string RandomNumeral(std::mt19937_64& rng) {
  std::string numeral = rng() % 3 == 0 ? "-" : (rng() % 12 == 0 ? "+" : "");
  const int integer_digits = static_cast<int>(rng() % 20);
  const int fraction_digits = static_cast<int>(rng() % 26);
  for (int d = 0; d < integer_digits; ++d) numeral += static_cast<char>('0' + rng() % 10);
  if (fraction_digits > 0 || rng() % 2) numeral += '.';
  for (int d = 0; d < fraction_digits; ++d) numeral += static_cast<char>('0' + rng() % 10);
  if (integer_digits + fraction_digits == 0) numeral += '7';
  return numeral;
}

TEST(NumericTest, AcceptsPlainDecimalNumeralsWithTheValueFromCharsGives) {
  const std::string long_ones[] = {std::string(201, '9'), "1" + std::string(308, '0'),
                                   "0." + std::string(199, '0') + "1"};
  std::mt19937_64 rng(20261206);
  for (int i = 0; i < 2'000'000; ++i) {
    const std::string numeral = i < std::ssize(long_ones) ? long_ones[i] : RandomNumeral(rng);
    const auto value = ParseNumeric(Wide(numeral));
    ASSERT_TRUE(value.has_value() && IsNumeric(Wide(numeral))) << numeral;
    ASSERT_EQ(*value, Reference(numeral)) << numeral;
  }
}

}  // namespace
}  // namespace tallivan
