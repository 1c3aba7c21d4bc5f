#include "runtime/numeric.h"

#include <charconv>
#include <cstdint>
#include <string>

namespace tallivan {

namespace {

constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

constexpr uint64_t kMaxExactInteger = uint64_t{1} << 53;

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// The shape of a numeral: where its digits are and whether its integer part is zero.
struct Shape {
  bool negative = false;
  size_t begin = 0;  // first character after the sign
  bool integer_part_is_zero = true;
};

std::optional<Shape> ReadShape(std::u16string_view token) {
  Shape shape;
  if (!token.empty() && (token[0] == u'+' || token[0] == u'-')) {
    shape.negative = token[0] == u'-';
    shape.begin = 1;
  }
  size_t digits = 0;
  bool seen_point = false;
  for (size_t i = shape.begin; i < token.size(); ++i) {
    const char16_t c = token[i];
    if (IsDigit(c)) {
      ++digits;
      if (!seen_point && c != u'0') shape.integer_part_is_zero = false;
    } else if (c == u'.' && !seen_point) {
      seen_point = true;
    } else {
      return std::nullopt;
    }
  }
  if (digits == 0) return std::nullopt;
  return shape;
}

// Exact when the digits make an integer below 2^53 and at most 22 of them follow the point:
// both operands are then exact doubles and one division rounds correctly.
std::optional<double> FastValue(std::u16string_view digits) {
  uint64_t mantissa = 0;
  int fraction_digits = 0;
  bool seen_point = false;
  for (const char16_t c : digits) {
    if (c == u'.') {
      seen_point = true;
      continue;
    }
    if (mantissa >= kMaxExactInteger / 10) return std::nullopt;
    mantissa = mantissa * 10 + static_cast<uint64_t>(c - u'0');
    if (seen_point && ++fraction_digits > 22) return std::nullopt;
  }
  return static_cast<double>(mantissa) / kPowersOfTen[fraction_digits];
}

std::optional<double> SlowValue(std::u16string_view digits, bool integer_part_is_zero) {
  std::string ascii(digits.begin(), digits.end());
  double value = 0;
  const auto [end, error] =
      std::from_chars(ascii.data(), ascii.data() + ascii.size(), value, std::chars_format::fixed);
  if (error == std::errc::result_out_of_range) {
    // Too large is not a number; too small underflows to zero.
    if (!integer_part_is_zero) return std::nullopt;
    return 0.0;
  }
  if (error != std::errc() || end != ascii.data() + ascii.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<double> ParseNumeric(std::u16string_view token) {
  const std::optional<Shape> shape = ReadShape(token);
  if (!shape) return std::nullopt;
  const std::u16string_view digits = token.substr(shape->begin);
  std::optional<double> value = FastValue(digits);
  if (!value) value = SlowValue(digits, shape->integer_part_is_zero);
  if (value && shape->negative) *value = -*value;
  return value;
}

bool IsNumeric(std::u16string_view token) { return ParseNumeric(token).has_value(); }

}  // namespace tallivan
