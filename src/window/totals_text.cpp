#include "window/totals_text.h"

#include <algorithm>

namespace tallivan {

namespace {

std::u16string Ascii(std::string_view text) { return std::u16string(text.begin(), text.end()); }

std::u16string Number(int64_t value) { return Ascii(std::to_string(value)); }

}  // namespace

std::u16string DescribeEntries(const EntrySum& entries, std::u16string_view decimal_separator) {
  std::u16string text = Number(entries.count) + (entries.count == 1 ? u" entry, " : u" entries, ");
  if (entries.overflow) return text + u"too big";
  return text + Format(entries.sum, decimal_separator);
}

TotalsText DescribeTotals(LineTotals& totals, int64_t caret_line,
                          std::optional<std::pair<int64_t, int64_t>> selection,
                          std::u16string_view decimal_separator) {
  TotalsText text;
  const std::optional<EntrySum> selected =
      selection ? std::optional(totals.SumRange(selection->first, selection->second))
                : std::nullopt;
  if (selected && selected->count > 0) {
    text.figures = DescribeEntries(*selected, decimal_separator);
  } else if (const std::optional<LineSums> sums = totals.SumsAt(caret_line)) {
    text.figures = u"Group " + Format(sums->group_sum, decimal_separator) + u", total " +
                   Format(sums->running_total, decimal_separator);
  }
  if (const int64_t stale = totals.StaleSubtotals(); stale > 0) {
    if (!text.figures.empty()) text.figures += u"; ";
    text.figures += Number(stale) + (stale == 1 ? u" # line" : u" # lines") + u" out of date";
  }
  if (const std::optional<Rejection> rejection = totals.FirstRejection()) {
    text.reason_line = rejection->line_index;
    // A line is rejected only for a fault whose English line is ASCII.
    text.reason =
        u"Line " + Number(rejection->line_index + 1) + u": " + Ascii(rejection->message.english);
  }
  return text;
}

std::u16string DescribeFound(std::u16string_view needle, int64_t lines, const EntrySum& entries,
                             std::u16string_view decimal_separator) {
  return std::u16string(needle) + u": " + Number(lines) + (lines == 1 ? u" line, " : u" lines, ") +
         DescribeEntries(entries, decimal_separator);
}

std::u16string DescribeFound(std::u16string_view text, std::u16string_view needle,
                             const std::function<bool(std::u16string_view line)>& holds,
                             std::u16string_view decimal_separator) {
  std::u16string matching;  // the lines that hold the needle, joined by CR LF
  int64_t lines = 0;
  for (size_t start = 0; !text.empty() && start <= text.size();) {
    const size_t end = std::min(text.find(u"\r\n", start), text.size());
    const std::u16string_view line = text.substr(start, end - start);
    start = end + 2;
    if (!holds(line)) continue;
    if (lines++ > 0) matching += u"\r\n";
    matching += line;
  }
  const EntrySum entries = LineTotals(matching, decimal_separator).SumRange(0, lines - 1);
  return DescribeFound(needle, lines, entries, decimal_separator);
}

}  // namespace tallivan
