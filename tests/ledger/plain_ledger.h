// A second reading of the ledger notation for tests to check the pass against: deliberately
// plain and slow, written for the tests alone and sharing no code with the pass.

#ifndef TALLIVAN_TESTS_LEDGER_PLAIN_LEDGER_H_
#define TALLIVAN_TESTS_LEDGER_PLAIN_LEDGER_H_

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <variant>
#include <vector>

#include "ledger/ledger.h"

namespace tallivan::plain {

// The lines between CR LF pairs, as views into `text`.
inline std::vector<std::u16string_view> SplitLines(std::u16string_view text) {
  std::vector<std::u16string_view> lines;
  for (size_t start = 0, end = 0; !text.empty() && start <= text.size(); start = end + 2) {
    end = std::min(text.find(u"\r\n", start), text.size());
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

// `value` in ten-thousandths, rounded half away from zero, read off its decimal expansion. From
// 2^-15 on, a double has at most 67 binary places, so 70 decimal places show it exactly; anything
// smaller is less than half a ten-thousandth. Nullopt outside the 64-bit range.
inline std::optional<int64_t> TenThousandths(double value) {
  if (std::fabs(value) < 0x1p-15) return 0;
  char expansion[400];
  std::snprintf(expansion, sizeof expansion, "%.70f", std::fabs(value));
  const std::string digits(expansion);
  const size_t point = digits.find('.');
  const std::string whole = digits.substr(0, point) + digits.substr(point + 1, 4);
  if (whole.size() > 19) return std::nullopt;
  const uint64_t magnitude = std::stoull(whole) + (digits[point + 5] >= '5');
  if (magnitude > uint64_t{std::numeric_limits<int64_t>::max()} + (value < 0)) return std::nullopt;
  return value < 0 ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
}

// An amount in ten-thousandths, or the number of the error that keeps it from being made.
using Amount = std::variant<int64_t, ErrorNumber>;

// A bracket's amount: the product of its blank-separated numerals, each an optional sign and
// ASCII digits with at most one point.
inline Amount Bracket(std::u16string_view content) {
  if (content.empty()) return int64_t{0};
  double product = 1;
  int factors = 0;
  std::string token;
  for (size_t i = 0; i <= content.size(); ++i) {
    if (i < content.size() && content[i] != u' ') {
      token += content[i] < 0x80 ? static_cast<char>(content[i]) : '?';
      continue;
    }
    if (token.empty()) continue;
    const size_t sign = token[0] == '+' || token[0] == '-';
    if (token.find_first_not_of("0123456789.", sign) != token.npos ||
        std::count(token.begin(), token.end(), '.') > 1 ||
        token.find_first_of("0123456789") == token.npos ||
        std::isinf(std::strtod(token.c_str(), nullptr))) {
      return ErrorNumber::kTypeMismatch;
    }
    product *= std::strtod(token.c_str(), nullptr);
    if (std::isinf(product)) return ErrorNumber::kOverflow;
    ++factors;
    token.clear();
  }
  if (factors == 0) return ErrorNumber::kEmptyBracket;
  const std::optional<int64_t> amount = TenThousandths(product);
  if (!amount) return ErrorNumber::kOverflow;
  return *amount;
}

// `raw` ten-thousandths as "0.00", rounded half away from zero; no sign on a zero figure.
inline std::u16string Figure(int64_t raw) {
  const uint64_t magnitude = raw < 0 ? 0 - static_cast<uint64_t>(raw) : raw;
  const uint64_t cents = (magnitude + 50) / 100;
  const std::string figure = (raw < 0 && cents != 0 ? "-" : "") + std::to_string(cents / 100) +
                             (cents % 100 < 10 ? ".0" : ".") + std::to_string(cents % 100);
  return std::u16string(figure.begin(), figure.end());
}

// What the pass must make of a text: each line as it must leave it, up to the first line it must
// reject, whose index and error number (kNone for an unmatched bracket) are kept.
struct Outcome {
  std::vector<std::u16string> lines;
  std::optional<size_t> rejected;
  ErrorNumber error = ErrorNumber::kNone;
};

inline Outcome Read(std::u16string_view text) {
  Outcome outcome;
  int64_t group = 0, total = 0;
  for (const std::u16string_view whole_line : SplitLines(text)) {
    std::u16string_view line = whole_line.substr(0, whole_line.find(u"//"));
    while (!line.empty() && line.front() == u' ') line.remove_prefix(1);
    if (!line.empty() && line.front() == u'#') {
      outcome.lines.push_back(u"#  (" + Figure(group) + u") ,  " + Figure(total));
      group = 0;
      continue;
    }
    outcome.lines.emplace_back(whole_line);
    int64_t amount = 0;
    std::optional<size_t> open;        // where the open bracket's content starts
    std::optional<ErrorNumber> error;  // none yet
    for (size_t at = 0; at < line.size() && !error; ++at) {
      if ((line[at] == u'[' && open) || (line[at] == u']' && !open)) {
        error = ErrorNumber::kNone;  // an unmatched bracket
      } else if (line[at] == u'[') {
        open = at + 1;
      } else if (line[at] == u']') {
        const auto bracket = Bracket(line.substr(*open, at - *open));
        open.reset();
        if (const auto* number = std::get_if<ErrorNumber>(&bracket)) {
          error = *number;
        } else if (__builtin_add_overflow(amount, std::get<int64_t>(bracket), &amount)) {
          error = ErrorNumber::kOverflow;
        }
      }
    }
    if (!error && open) error = ErrorNumber::kNone;
    if (!error && (__builtin_add_overflow(group, amount, &group) ||
                   __builtin_add_overflow(total, amount, &total))) {
      error = ErrorNumber::kOverflow;
    }
    if (error) {
      outcome.rejected = outcome.lines.size() - 1;
      outcome.error = *error;
      break;
    }
  }
  return outcome;
}

// Whether `got`, the pass's outcome for `text`, is what `expected`, the plain reading of that
// text, says: the same rejection, or an edit for each line that changes and for no other.
inline bool Agrees(std::u16string_view text, const Outcome& expected,
                   const std::variant<Edits, Rejection>& got) {
  const std::vector<std::u16string_view> lines = SplitLines(text);
  const auto start = [&](size_t line) { return lines[line].data() - text.data(); };
  if (const auto* rejection = std::get_if<Rejection>(&got)) {
    const ErrorNumber error = rejection->fault ? rejection->fault->number : ErrorNumber::kNone;
    return expected.rejected && std::tuple(rejection->line_index, rejection->offset, error) ==
                                    std::tuple(static_cast<int64_t>(*expected.rejected),
                                               start(*expected.rejected), expected.error);
  }
  if (expected.rejected) return false;
  std::vector<std::tuple<int64_t, int64_t, int64_t, std::u16string>> want, have;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (expected.lines[i] != lines[i]) {
      want.emplace_back(i, start(i), lines[i].size(), expected.lines[i]);
    }
  }
  for (const LineEdit& edit : std::get<Edits>(got)) {
    have.emplace_back(edit.line_index, edit.offset, edit.old_length, edit.new_line);
  }
  return have == want;
}

}  // namespace tallivan::plain

#endif  // TALLIVAN_TESTS_LEDGER_PLAIN_LEDGER_H_
