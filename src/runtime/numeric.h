#ifndef TALLIVAN_RUNTIME_NUMERIC_H_
#define TALLIVAN_RUNTIME_NUMERIC_H_

#include <optional>
#include <string_view>

namespace tallivan {

// True for a plain decimal numeral whose value is a finite double: ASCII digits with an optional
// leading "+" or "-" and at most one ".", at least one digit. Exponents, grouping, currency signs,
// blanks, tabs and non-ASCII digits are not numerals. No locale is consulted.
bool IsNumeric(std::u16string_view token);

// The correctly rounded value of a token that IsNumeric accepts; nullopt for any other token.
std::optional<double> ParseNumeric(std::u16string_view token);

}  // namespace tallivan

#endif  // TALLIVAN_RUNTIME_NUMERIC_H_
