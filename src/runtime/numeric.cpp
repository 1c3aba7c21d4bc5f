#include "runtime/numeric.h"

#include <charconv>
#include <cstdint>
#include <string>

namespace tallivan {

namespace {

constexpr int kMaxFastDigits = 15;
constexpr double kPowersOfTen[kMaxFastDigits + 1] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                     1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

// `digits` is a valid numeral without its sign.
std::optional<double> SlowValue(std::u16string_view digits) {
  std::string ascii(digits.begin(), digits.end());
  double value = 0;
  const auto [end, error] =
      std::from_chars(ascii.data(), ascii.data() + ascii.size(), value, std::chars_format::fixed);
  if (error == std::errc::result_out_of_range) {
    // Too large is not a number; too small underflows to zero.
    const size_t first = ascii.find_first_not_of('0');
    const bool integer_part_is_zero = first == std::string::npos || ascii[first] == '.';
    if (!integer_part_is_zero) return std::nullopt;
    return 0.0;
  }
  if (error != std::errc() || end != ascii.data() + ascii.size()) return std::nullopt;
  return value;
}

}  // namespace

// Reads the numeral in one pass, without branching on each character: its shape is checked at
// the end. With at most 15 digits the digits make an integer below 2^53 and at most 15 of them
// follow the point, so both operands of the one division are exact doubles and it rounds
// correctly. Longer numerals go to from_chars.
std::optional<double> ParseNumeric(std::u16string_view token) {
  size_t begin = 0;
  bool negative = false;
  if (!token.empty() && (token[0] == u'+' || token[0] == u'-')) {
    negative = token[0] == u'-';
    begin = 1;
  }
  uint64_t mantissa = 0;
  int digits = 0;
  int points = 0;
  int fraction_digits = 0;
  bool others = false;
  for (size_t i = begin; i < token.size(); ++i) {
    const char16_t c = token[i];
    const auto digit = static_cast<uint64_t>(c - u'0');
    const bool is_digit = digit < 10;
    const bool is_point = c == u'.';
    others |= !is_digit & !is_point;
    points += is_point;
    digits += is_digit;
    fraction_digits += is_digit & (points != 0);
    mantissa = is_digit ? mantissa * 10 + digit : mantissa;
  }
  if (others || points > 1 || digits == 0) return std::nullopt;
  std::optional<double> value = digits <= kMaxFastDigits
                                    ? static_cast<double>(mantissa) / kPowersOfTen[fraction_digits]
                                    : SlowValue(token.substr(begin));
  if (value && negative) *value = -*value;
  return value;
}

bool IsNumeric(std::u16string_view token) { return ParseNumeric(token).has_value(); }

}  // namespace tallivan
