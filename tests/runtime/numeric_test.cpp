#include "runtime/numeric.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <random>
#include <string>

namespace tallivan {
namespace {

std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

double Reference(const std::string& numeral) {
  const char* begin = numeral.data();
  bool negative = false;
  if (*begin == '+' || *begin == '-') negative = *begin++ == '-';
  double value = 0;
  const auto result = std::from_chars(begin, numeral.data() + numeral.size(), value);
  EXPECT_EQ(result.ec, std::errc()) << numeral;
  return negative ? -value : value;
}

TEST(NumericTest, AcceptsPlainDecimalNumerals) {
  const char* cases[] = {"12", "3.5", "-0.01", ".5",     "5.", "+7",    "-.5",
                         "0",  "-0",  "007",   "0.0001", "1.", "+0.25", "922337203685477"};
  for (const char* c : cases) {
    const auto value = ParseNumeric(Wide(c));
    ASSERT_TRUE(value.has_value()) << c;
    EXPECT_TRUE(IsNumeric(Wide(c)));
    EXPECT_EQ(*value, Reference(c)) << c;
  }
}

TEST(NumericTest, RejectsEverythingElse) {
  const std::u16string cases[] = {
      u"",         u"-",     u"+",   u".",   u"-.",  u"1e5",   u"1E5",
      u"0x10",     u"1,000", u"$5",  u"5$",  u"¥5",  u"2\t3",  u" 2",
      u"2 ",       u"1.2.3", u"--1", u"+-1", u"1-",  u"inf",   u"nan",
      u"Infinity", u"１２",  u"١٢",  u"12a", u"a12", u"1_000", u"\u00A012",
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(IsNumeric(c)) << std::string(c.begin(), c.end());
    EXPECT_FALSE(ParseNumeric(c).has_value());
  }
}

TEST(NumericTest, RejectsNumeralsBeyondTheDoubleRange) {
  EXPECT_FALSE(IsNumeric(Wide(std::string(400, '9'))));
  EXPECT_FALSE(IsNumeric(Wide("-" + std::string(400, '9') + ".5")));
  EXPECT_FALSE(IsNumeric(Wide("1" + std::string(309, '0'))));
  const auto big = ParseNumeric(Wide(std::string(201, '9')));
  ASSERT_TRUE(big.has_value());
  EXPECT_DOUBLE_EQ(*big, 1e201);
  EXPECT_TRUE(IsNumeric(Wide("1" + std::string(308, '0'))));
}

TEST(NumericTest, ReadsTinyNumeralsAsTheirValueOrZero) {
  const std::string tiny = "0." + std::string(199, '0') + "1";
  EXPECT_EQ(*ParseNumeric(Wide(tiny)), 1e-200);
  const std::string too_tiny = "0." + std::string(400, '0') + "1";
  const auto zero = ParseNumeric(Wide(too_tiny));
  ASSERT_TRUE(zero.has_value());
  EXPECT_EQ(*zero, 0.0);
  const auto negative_zero = ParseNumeric(Wide("-" + too_tiny));
  ASSERT_TRUE(negative_zero.has_value());
  EXPECT_EQ(*negative_zero, 0.0);
}

TEST(NumericTest, TakesNumeralsApart) {
  struct Case {
    std::u16string token;
    bool negative;
    int digit_count;
    int fraction_digits;
    uint64_t digits;
  };
  const Case cases[] = {
      {u"12", false, 2, 0, 12},
      {u"-3.50", true, 3, 2, 350},
      {u"+.5", false, 1, 1, 5},
      {u"5.", false, 1, 0, 5},
      {u"007.25", false, 5, 2, 725},
      {u"-0", true, 1, 0, 0},
      {u"123456789012345", false, 15, 0, 123456789012345},
  };
  for (const Case& c : cases) {
    const std::optional<Numeral> numeral = ReadNumeral(c.token);
    ASSERT_TRUE(numeral.has_value()) << std::string(c.token.begin(), c.token.end());
    EXPECT_EQ(numeral->negative, c.negative);
    EXPECT_EQ(numeral->digit_count, c.digit_count);
    EXPECT_EQ(numeral->fraction_digits, c.fraction_digits);
    EXPECT_EQ(numeral->digits, c.digits);
  }
  for (const std::u16string token : {u"", u"-", u".", u"1.2.3", u"1e5", u" 2", u"--1", u"１"}) {
    EXPECT_FALSE(ReadNumeral(token).has_value()) << std::string(token.begin(), token.end());
  }
}

std::string RandomNumeral(std::mt19937_64& rng) {
  std::string s;
  switch (rng() % 3) {
    case 0:
      s += '-';
      break;
    case 1:
      if (rng() % 4 == 0) s += '+';
      break;
    default:
      break;
  }
  const int integer_digits = static_cast<int>(rng() % 20);
  const int fraction_digits = static_cast<int>(rng() % 26);
  for (int i = 0; i < integer_digits; ++i) s += static_cast<char>('0' + rng() % 10);
  if (fraction_digits > 0 || rng() % 2) s += '.';
  for (int i = 0; i < fraction_digits; ++i) s += static_cast<char>('0' + rng() % 10);
  if (integer_digits + fraction_digits == 0) s += '7';
  return s;
}

TEST(NumericTest, AgreesWithFromCharsOnMillionsOfRandomNumerals) {
  std::mt19937_64 rng(20261206);
  for (int i = 0; i < 2'000'000; ++i) {
    const std::string numeral = RandomNumeral(rng);
    const auto value = ParseNumeric(Wide(numeral));
    ASSERT_TRUE(value.has_value()) << numeral;
    ASSERT_EQ(*value, Reference(numeral)) << numeral;
  }
}

}  // namespace
}  // namespace tallivan
