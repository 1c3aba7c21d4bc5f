#ifndef TALLIVAN_RUNTIME_NUMERIC_H_
#define TALLIVAN_RUNTIME_NUMERIC_H_

#include <cstdint>
#include <optional>
#include <string_view>

namespace tallivan {

// True for a plain decimal numeral whose value is a finite double: ASCII digits with an optional
// leading "+" or "-" and at most one ".", at least one digit. Exponents, grouping, currency signs,
// blanks, tabs and non-ASCII digits are not numerals. No locale is consulted.
bool IsNumeric(std::u16string_view token);

// The correctly rounded value of a token that IsNumeric accepts; nullopt for any other token.
std::optional<double> ParseNumeric(std::u16string_view token);

// A plain decimal numeral taken apart: its digits read as one integer, ignoring the point.
struct Numeral {
  bool negative = false;
  int digit_count = 0;
  int fraction_digits = 0;  // how many digits follow the point
  uint64_t digits = 0;      // exact when digit_count <= kMaxExactDigits
};

// Up to this many digits, Numeral::digits holds their value exactly (below 2^53).
inline constexpr int kMaxExactDigits = 15;

// Reads the numeral that starts `text` into `numeral`: an optional sign, then digits and points up
// to the first other character, whose position it returns. `points` gets how many points it met;
// the numeral is well formed when it has a digit and at most one point.
inline size_t ReadNumeralPrefix(std::u16string_view text, Numeral& numeral, int& points) {
  size_t i = 0;
  if (!text.empty() && (text[0] == u'+' || text[0] == u'-')) {
    numeral.negative = text[0] == u'-';
    i = 1;
  }
  for (; i < text.size(); ++i) {
    const char16_t c = text[i];
    const auto digit = static_cast<uint64_t>(c - u'0');
    const bool is_point = c == u'.';
    if (digit >= 10 && !is_point) break;
    points += is_point;
    numeral.digit_count += !is_point;
    numeral.fraction_digits += !is_point & (points != 0);
    numeral.digits = is_point ? numeral.digits : numeral.digits * 10 + digit;
  }
  return i;
}

// The parts of a token of the shape IsNumeric asks for (without its range check); nullopt for
// any other token. Inline, as it runs for nearly every bracket.
inline std::optional<Numeral> ReadNumeral(std::u16string_view token) {
  Numeral numeral;
  int points = 0;
  if (ReadNumeralPrefix(token, numeral, points) != token.size() || points > 1 ||
      numeral.digit_count == 0) {
    return std::nullopt;
  }
  return numeral;
}

}  // namespace tallivan

#endif  // TALLIVAN_RUNTIME_NUMERIC_H_
