#include "runtime/numeric.h"

#include <charconv>
#include <cstdint>
#include <string>

namespace tallivan {

namespace {

constexpr double kPowersOfTen[kMaxExactDigits + 1] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
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

// With at most 15 digits, the digits and the power of ten are exact doubles, so the one division
// rounds correctly. Longer numerals go to from_chars.
std::optional<double> ParseNumeric(std::u16string_view token) {
  const std::optional<Numeral> numeral = ReadNumeral(token);
  if (!numeral) return std::nullopt;
  std::optional<double> value =
      numeral->digit_count <= kMaxExactDigits
          ? static_cast<double>(numeral->digits) / kPowersOfTen[numeral->fraction_digits]
          : SlowValue(token.substr(token[0] == u'+' || token[0] == u'-' ? 1 : 0));
  if (value && numeral->negative) *value = -*value;
  return value;
}

bool IsNumeric(std::u16string_view token) { return ParseNumeric(token).has_value(); }

}  // namespace tallivan
