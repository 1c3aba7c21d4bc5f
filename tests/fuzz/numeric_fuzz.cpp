// Arbitrary bytes as the content of one bracket: the numeric test must agree with std::from_chars
// on every token, and the bracket's amount must be the product of its tokens.
//
// The first byte picks how the rest is read: even, one code unit per byte (Latin-1), which keeps
// numerals short for the fuzzer; odd, UTF-16LE, which reaches every code unit.

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "fuzz_check.h"
#include "ledger/ledger.h"
#include "runtime/currency.h"
#include "runtime/numeric.h"

namespace tallivan::fuzz {
namespace {

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// A sign, then digits with at most one point among them; at least one digit.
bool IsPlainDecimal(std::u16string_view token) {
  size_t i = !token.empty() && (token[0] == u'+' || token[0] == u'-') ? 1 : 0;
  bool digit = false;
  bool point = false;
  for (; i < token.size(); ++i) {
    if (IsDigit(token[i])) {
      digit = true;
    } else if (token[i] == u'.' && !point) {
      point = true;
    } else {
      return false;
    }
  }
  return digit;
}

bool IntegerPartIsZero(std::u16string_view token) {
  for (const char16_t c : token) {
    if (c == u'.') return true;
    if (IsDigit(c) && c != u'0') return false;
  }
  return true;
}

// What std::from_chars makes of a plain decimal: its value, ±0 for an underflow, nullopt when
// it is too large for a double.
std::optional<double> ReferenceValue(std::u16string_view token) {
  std::string ascii(token.begin(), token.end());
  if (ascii[0] == '+') ascii.erase(0, 1);
  double value = 0;
  const auto [end, error] = std::from_chars(ascii.data(), ascii.data() + ascii.size(), value);
  if (error == std::errc::result_out_of_range) {
    if (!IntegerPartIsZero(token)) return std::nullopt;
    return ascii[0] == '-' ? -0.0 : 0.0;
  }
  FUZZ_CHECK(error == std::errc() && end == ascii.data() + ascii.size(),
             "from_chars reads every plain decimal");
  return value;
}

void CheckToken(std::u16string_view token) {
  const std::optional<double> parsed = ParseNumeric(token);
  FUZZ_CHECK(IsNumeric(token) == parsed.has_value(), "the test and the conversion agree");
  if (!IsPlainDecimal(token)) {
    FUZZ_CHECK(!parsed, "only plain decimals are numbers");
    return;
  }
  const std::optional<double> reference = ReferenceValue(token);
  if (!reference) {
    FUZZ_CHECK(!parsed, "a numeral beyond a double's range is not a number");
    return;
  }
  FUZZ_CHECK(parsed.has_value(), "every plain decimal within range is a number");
  FUZZ_CHECK(std::isfinite(*parsed), "an accepted token converts to a finite double");
  FUZZ_CHECK(*parsed == *reference && std::signbit(*parsed) == std::signbit(*reference),
             "an accepted token converts to the value from_chars gives");
}

// The bracket's amount as its tokens define it.
Result<Currency> ExpectedBracket(std::u16string_view content) {
  if (content.empty()) return Currency();
  double product = 1.0;
  int factors = 0;
  size_t start = 0;
  while (true) {
    const size_t blank = content.find(u' ', start);
    const std::u16string_view token = content.substr(start, blank - start);
    if (!token.empty()) {
      const std::optional<double> factor = ParseNumeric(token);
      if (!factor) return Error{kErrTypeMismatch, ""};
      product *= *factor;
      if (std::isinf(product)) return OverflowError();
      ++factors;
    }
    if (blank == std::u16string_view::npos) break;
    start = blank + 1;
  }
  if (factors == 0) return Error{kErrEmptyBracket, ""};
  return Currency::FromDouble(product);
}

}  // namespace
}  // namespace tallivan::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tallivan;
  using namespace tallivan::fuzz;
  if (size == 0) return 0;
  std::u16string content;
  if (data[0] % 2 == 0) {
    content.assign(data + 1, data + size);
  } else {
    content = FromUtf16Le(data + 1, size - 1);
  }

  size_t start = 0;
  while (true) {
    const size_t blank = content.find(u' ', start);
    CheckToken(std::u16string_view(content).substr(start, blank - start));
    if (blank == std::u16string::npos) break;
    start = blank + 1;
  }

  const Result<Currency> expected = ExpectedBracket(content);
  const Result<Currency> got = EvaluateBracket(content);
  FUZZ_CHECK(got.ok() == expected.ok(), "a bracket fails exactly when its tokens say so");
  if (got.ok()) {
    FUZZ_CHECK(got.value() == expected.value(), "a bracket's amount is its product, rounded once");
  } else {
    FUZZ_CHECK(got.error().number == expected.error().number, "a bracket fails with its error");
    FUZZ_CHECK(!got.error().description.empty(), "an error has a description");
  }
  return 0;
}
