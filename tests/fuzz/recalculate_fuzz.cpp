// Arbitrary bytes, read as UTF-16LE, go through the recalculation pass. Its outcome is checked
// against a second reading of the notation, written for this check alone and deliberately plain
// and slow: it shares no code with the pass.

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

#include "fuzz_check.h"
#include "ledger/ledger.h"

namespace {

using namespace tallivan;

// The lines between CR LF pairs, as views into `text`.
std::vector<std::u16string_view> SplitLines(std::u16string_view text) {
  std::vector<std::u16string_view> lines;
  for (size_t start = 0, end = 0; !text.empty() && start <= text.size(); start = end + 2) {
    end = std::min(text.find(u"\r\n", start), text.size());
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

// `value` in ten-thousandths, rounded half away from zero: read off the exact decimal expansion
// that printf gives of a double. Nullopt outside the 64-bit range.
std::optional<int64_t> PlainTenThousandths(double value) {
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
std::variant<int64_t, int32_t> PlainBracket(std::u16string_view content) {
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
  const std::optional<int64_t> amount = PlainTenThousandths(product);
  if (!amount) return kErrOverflow;
  return *amount;
}

// `raw` ten-thousandths as "0.00", rounded half away from zero; no sign on a zero figure.
std::u16string PlainFigure(int64_t raw) {
  const uint64_t magnitude = raw < 0 ? 0 - static_cast<uint64_t>(raw) : raw;
  const uint64_t cents = (magnitude + 50) / 100;
  char figure[32];
  std::snprintf(figure, sizeof figure, "%s%llu.%02llu", raw < 0 && cents != 0 ? "-" : "",
                static_cast<unsigned long long>(cents / 100),
                static_cast<unsigned long long>(cents % 100));
  return std::u16string(figure, figure + std::char_traits<char>::length(figure));
}

// What the pass must make of `lines`: each line as it must leave it, up to the first line it
// must reject, whose index and error number (0 for an unmatched bracket) are kept.
struct PlainOutcome {
  std::vector<std::u16string> lines;
  std::optional<size_t> rejected;
  int32_t error = 0;
};

PlainOutcome ReadPlainly(const std::vector<std::u16string_view>& lines) {
  PlainOutcome outcome;
  int64_t group = 0, total = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::u16string_view line = lines[i].substr(0, lines[i].find(u"//"));
    while (!line.empty() && line.front() == u' ') line.remove_prefix(1);
    if (!line.empty() && line.front() == u'#') {
      outcome.lines.push_back(u"#  (" + PlainFigure(group) + u") ,  " + PlainFigure(total));
      group = 0;
      continue;
    }
    outcome.lines.emplace_back(lines[i]);
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
        const auto bracket = PlainBracket(line.substr(*open, at - *open));
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
      outcome.rejected = i;
      outcome.error = error;
      break;
    }
  }
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::u16string text = fuzz::FromUtf16Le(data, size);
  const std::vector<std::u16string_view> lines = SplitLines(text);
  const PlainOutcome expected = ReadPlainly(lines);
  for (const Sharing sharing : {Sharing{}, Sharing{1, 3}}) {
    const auto outcome = RecalculateEdits(text, u".", sharing);
    if (expected.rejected) {
      const auto* rejection = std::get_if<Rejection>(&outcome);
      const size_t at = *expected.rejected;
      FUZZ_CHECK(rejection != nullptr && rejection->line_index == static_cast<int64_t>(at) &&
                     rejection->offset == lines[at].data() - text.data() &&
                     (rejection->fault ? rejection->fault->number : 0) == expected.error,
                 "the pass rejects the first line read plainly rejects, at its start, with its "
                 "error, however the text is shared");
      continue;
    }
    const auto* edits = std::get_if<Edits>(&outcome);
    FUZZ_CHECK(edits != nullptr, "the pass accepts what reading plainly accepts");
    size_t next = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
      if (expected.lines[i] == lines[i]) continue;
      FUZZ_CHECK(next < edits->size() && (*edits)[next].line_index == static_cast<int64_t>(i) &&
                     (*edits)[next].offset == lines[i].data() - text.data() &&
                     (*edits)[next].old_length == std::ssize(lines[i]) &&
                     (*edits)[next].new_line == expected.lines[i],
                 "each subtotal line shows the sums read plainly, by an edit of that line alone");
      ++next;
    }
    FUZZ_CHECK(next == edits->size(), "lines that keep their text get no edit");
  }
  const RecalcOutcome outcome = Recalculate(text);
  FUZZ_CHECK(std::holds_alternative<Rejection>(outcome) == expected.rejected.has_value(),
             "both ways of recalculating accept the same texts");
  if (const auto* result = std::get_if<std::u16string>(&outcome)) {
    std::u16string joined;
    for (size_t i = 0; i < expected.lines.size(); ++i) {
      joined += (i == 0 ? u"" : u"\r\n") + expected.lines[i];
    }
    FUZZ_CHECK(*result == joined, "the new text is the lines read plainly, joined by CR LF");
    const RecalcOutcome again = Recalculate(*result);
    FUZZ_CHECK(
        std::holds_alternative<std::u16string>(again) && std::get<std::u16string>(again) == *result,
        "recomputing an accepted text gives the same text");
  }
  return 0;
}
