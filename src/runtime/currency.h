#ifndef TALLIVAN_RUNTIME_CURRENCY_H_
#define TALLIVAN_RUNTIME_CURRENCY_H_

#include <compare>
#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/error.h"

namespace tallivan {

// A signed fixed-point amount with exactly four decimals: a 64-bit count of ten-thousandths.
class Currency {
 public:
  static constexpr int64_t kScale = 10000;

  constexpr Currency() = default;

  // The amount of `ten_thousandths` / 10000.
  static constexpr Currency FromRaw(int64_t ten_thousandths) { return Currency(ten_thousandths); }

  // The nearest ten-thousandth to `value`, halves away from zero; error 6 outside the range or NaN.
  static Result<Currency> FromDouble(double value);

  constexpr int64_t raw() const { return raw_; }

  friend constexpr auto operator<=>(Currency, Currency) = default;

 private:
  constexpr explicit Currency(int64_t raw) : raw_(raw) {}

  int64_t raw_ = 0;
};

// Exact sum; error 6 when it leaves the range.
Result<Currency> Add(Currency a, Currency b);

// Adds `amount` to `sum` in place; false (and `sum` unchanged) when the result leaves the range.
inline bool AddTo(Currency& sum, Currency amount) {
  int64_t raw;
  if (__builtin_add_overflow(sum.raw(), amount.raw(), &raw)) return false;
  sum = Currency::FromRaw(raw);
  return true;
}

// Appends `value` formatted as "0.00": rounded half away from zero to two decimals, a minus sign
// only on a value that does not round to zero, no grouping.
void AppendFormatted(std::u16string& out, Currency value, std::u16string_view decimal_separator);

// `value` formatted as "0.00" (see AppendFormatted).
std::u16string Format(Currency value, std::u16string_view decimal_separator = u".");

}  // namespace tallivan

#endif  // TALLIVAN_RUNTIME_CURRENCY_H_
