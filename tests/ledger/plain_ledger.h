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

// `value` in ten-thousandths, rounded half away from zero: read off the exact decimal expansion
// that printf gives of a double. Nullopt outside the 64-bit range.
inline std::optional<int64_t> TenThousandths(double value) {
  char expansion[1500];  // 309 digits, a point and at most 1074 decimals
  std::snprintf(expansion, sizeof expansion, "%.1074f", std::fabs(value));
  const std::string digits(expansion);
  const size_t point = digits.find('.');
  const std::string whole = digits.substr(0, point) + digits.substr(point + 1, 4);
  if (whole.size() > 19) return std::nullopt;
  const uint64_t magnitude = std::stoull(whole) + (digits[point + 5] >= '5');
  if (magnitude > uint64_t{std::numeric_limits<int64_t>::max()} + (value < 0)) return std::nullopt;
  return value < 0 ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
}

// A bracket's amount in ten-thousandths: the product of its blank-separated numerals, each an
// optional sign and ASCII digits with at most one point. Or the number of the error it raises.
inline std::variant<int64_t, int32_t> Bracket(std::u16string_view content) {
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
      return kErrTypeMismatch;
    }
    product *= std::strtod(token.c_str(), nullptr);
    if (std::isinf(product)) return kErrOverflow;
    ++factors;
    token.clear();
  }
  if (factors == 0) return kErrEmptyBracket;
  const std::optional<int64_t> amount = TenThousandths(product);
  if (!amount) return kErrOverflow;
  return *amount;
}

// `raw` ten-thousandths as "0.00", rounded half away from zero; no sign on a zero figure.
inline std::u16string Figure(int64_t raw) {
  const uint64_t magnitude = raw < 0 ? 0 - static_cast<uint64_t>(raw) : raw;
  const uint64_t cents = (magnitude + 50) / 100;
  char figure[32];
  std::snprintf(figure, sizeof figure, "%s%llu.%02llu", raw < 0 && cents != 0 ? "-" : "",
                static_cast<unsigned long long>(cents / 100),
                static_cast<unsigned long long>(cents % 100));
  return std::u16string(figure, figure + std::char_traits<char>::length(figure));
}

// What the pass must make of a text: each line as it must leave it, up to the first line it must
// reject, whose index and error number (0 for an unmatched bracket) are kept.
struct Outcome {
  std::vector<std::u16string> lines;
  std::optional<size_t> rejected;
  int32_t error = 0;
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
    std::optional<size_t> open;  // where the open bracket's content starts
    int32_t error = -1;          // none yet
    for (size_t at = 0; at < line.size() && error < 0; ++at) {
      if (line[at] == u'[' && open) {
        error = 0;
      } else if (line[at] == u'[') {
        open = at + 1;
      } else if (line[at] == u']' && !open) {
        error = 0;
      } else if (line[at] == u']') {
        const auto bracket = Bracket(line.substr(*open, at - *open));
        open.reset();
        if (const auto* number = std::get_if<int32_t>(&bracket)) {
          error = *number;
        } else if (__builtin_add_overflow(amount, std::get<int64_t>(bracket), &amount)) {
          error = kErrOverflow;
        }
      }
    }
    if (error < 0 && open) error = 0;
    if (error < 0 && (__builtin_add_overflow(group, amount, &group) ||
                      __builtin_add_overflow(total, amount, &total))) {
      error = kErrOverflow;
    }
    if (error >= 0) {
      outcome.rejected = outcome.lines.size() - 1;
      outcome.error = error;
      break;
    }
  }
  return outcome;
}

// How `got`, the pass's outcome for `text`, differs from `expected`, the plain reading of that
// text; empty when it does not.
inline std::string Disagreement(std::u16string_view text, const Outcome& expected,
                                const std::variant<Edits, Rejection>& got) {
  const std::vector<std::u16string_view> lines = SplitLines(text);
  const auto offset = [&](size_t line) { return lines[line].data() - text.data(); };
  if (expected.rejected) {
    const auto* rejection = std::get_if<Rejection>(&got);
    const size_t at = *expected.rejected;
    if (rejection == nullptr || rejection->line_index != static_cast<int64_t>(at) ||
        rejection->offset != offset(at) ||
        (rejection->fault ? rejection->fault->number : 0) != expected.error) {
      return "line " + std::to_string(at) + " is not rejected, at its start, with error " +
             std::to_string(expected.error);
    }
    return "";
  }
  const auto* edits = std::get_if<Edits>(&got);
  if (edits == nullptr) return "the text is rejected";
  size_t next = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (expected.lines[i] == lines[i]) continue;
    if (next == edits->size() || (*edits)[next].line_index != static_cast<int64_t>(i) ||
        (*edits)[next].offset != offset(i) || (*edits)[next].old_length != std::ssize(lines[i]) ||
        (*edits)[next].new_line != expected.lines[i]) {
      return "line " + std::to_string(i) + " does not get its new sums by an edit of its own";
    }
    ++next;
  }
  return next == edits->size() ? "" : "a line that keeps its text gets an edit";
}

}  // namespace tallivan::plain

#endif  // TALLIVAN_TESTS_LEDGER_PLAIN_LEDGER_H_
