// Arbitrary bytes as blank-separated tokens for the numeric test. The first byte picks how the
// rest is read: even, one code unit per byte (Latin-1), which keeps numerals short for the
// fuzzer; odd, UTF-16LE, which reaches every code unit.

#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "fuzz_check.h"
#include "runtime/numeric.h"

namespace {

// What std::from_chars makes of a plain decimal (±0 below a double's range); nullopt for a token
// that is no plain decimal or lies above the range.
std::optional<double> ReferenceValue(std::u16string_view token) {
  std::string ascii;
  for (const char16_t c : token) ascii += c < 0x80 ? static_cast<char>(c) : '?';
  const std::string_view body = std::string_view(ascii).substr(ascii.find_first_of("+-") == 0);
  if (body.find_first_not_of("0123456789.") != body.npos || body.find('.') != body.rfind('.') ||
      body.find_first_of("0123456789") == body.npos) {
    return std::nullopt;
  }
  double value = 0;
  const char* end = ascii.data() + ascii.size();
  const auto [stop, error] = std::from_chars(ascii.data() + (ascii[0] == '+'), end, value);
  FUZZ_CHECK(stop == end, "from_chars reads every plain decimal");
  if (error != std::errc::result_out_of_range) return value;
  if (body.find_first_of("123456789") < body.find('.')) return std::nullopt;
  return ascii[0] == '-' ? -0.0 : 0.0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::u16string content = data[0] % 2 == 0 ? std::u16string(data + 1, data + size)
                                                  : tallivan::fuzz::FromUtf16Le(data + 1, size - 1);
  for (size_t start = 0, blank = 0; blank != content.npos; start = blank + 1) {
    blank = content.find(u' ', start);
    const std::u16string_view token = std::u16string_view(content).substr(start, blank - start);
    const std::optional<double> parsed = tallivan::ParseNumeric(token);
    const std::optional<double> reference = ReferenceValue(token);
    FUZZ_CHECK(tallivan::IsNumeric(token) == parsed.has_value() && parsed == reference &&
                   (!parsed || std::signbit(*parsed) == std::signbit(*reference)),
               "the plain decimals within a double's range, and only they, are numbers, each "
               "with the value from_chars gives");
  }
  return 0;
}
