#include "runtime/currency.h"

#include <bit>
#include <cmath>
#include <limits>

namespace tallivan {

namespace {

__extension__ typedef unsigned __int128 Uint128;

}  // namespace

Result<Currency> Currency::FromDouble(double value) {
  if (!std::isfinite(value)) return OverflowError();
  if (value == 0) return Currency();
  // value == mantissa * 2^exponent exactly, so value * 10000 can be rounded without error.
  const auto bits = std::bit_cast<uint64_t>(value);
  const auto biased_exponent = static_cast<int>((bits >> 52) & 0x7FF);
  uint64_t mantissa = bits & ((uint64_t{1} << 52) - 1);
  int exponent = -1074;
  if (biased_exponent != 0) {
    mantissa |= uint64_t{1} << 52;
    exponent = biased_exponent - 1075;
  }
  Uint128 scaled = static_cast<Uint128>(mantissa) * kScale;
  const Uint128 limit = value < 0 ? Uint128{1} << 63 : (Uint128{1} << 63) - 1;
  if (exponent >= 0) {
    if (exponent > 63 || scaled > (limit >> exponent)) return OverflowError();
    scaled <<= exponent;
  } else if (-exponent >= 100) {
    scaled = 0;
  } else {
    const int shift = -exponent;
    scaled = (scaled + (Uint128{1} << (shift - 1))) >> shift;
  }
  if (scaled > limit) return OverflowError();
  const auto magnitude = static_cast<uint64_t>(scaled);
  return Currency(value < 0 ? static_cast<int64_t>(0 - magnitude)
                            : static_cast<int64_t>(magnitude));
}

Result<Currency> Add(Currency a, Currency b) {
  if (!AddTo(a, b)) return OverflowError();
  return a;
}

void AppendFormatted(std::u16string& out, Currency value, std::u16string_view decimal_separator) {
  const int64_t raw = value.raw();
  const uint64_t magnitude = raw < 0 ? 0 - static_cast<uint64_t>(raw) : static_cast<uint64_t>(raw);
  const uint64_t cents = magnitude / 100 + (magnitude % 100 >= 50 ? 1 : 0);
  if (raw < 0 && cents != 0) out.push_back(u'-');
  char16_t digits[24];
  char16_t* end = digits + sizeof digits / sizeof digits[0];
  char16_t* p = end;
  uint64_t units = cents / 100;
  do {
    *--p = static_cast<char16_t>(u'0' + units % 10);
    units /= 10;
  } while (units != 0);
  out.append(p, end);
  out.append(decimal_separator);
  out.push_back(static_cast<char16_t>(u'0' + cents % 100 / 10));
  out.push_back(static_cast<char16_t>(u'0' + cents % 10));
}

std::u16string Format(Currency value, std::u16string_view decimal_separator) {
  std::u16string out;
  AppendFormatted(out, value, decimal_separator);
  return out;
}

}  // namespace tallivan
