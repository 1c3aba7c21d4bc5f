#ifndef TALLIVAN_WINDOW_TOTALS_TEXT_H_
#define TALLIVAN_WINDOW_TOTALS_TEXT_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "ledger/line_totals.h"

namespace tallivan {

// What the totals line under the text box says, in two parts: the figures, and the reason a
// recalculation would stop, which takes the caret to `reason_line` when clicked.
struct TotalsText {
  std::u16string figures;
  std::u16string reason;     // empty when nothing would be rejected
  int64_t reason_line = -1;  // 0-based
};

// The totals line for the caret's line `caret_line` and, when something is selected, the lines
// from `selection_first` to `selection_last`: the selection's entries when it holds any, else
// the sums at the caret's line; then the stale subtotal lines and the first rejection.
TotalsText DescribeTotals(LineTotals& totals, int64_t caret_line,
                          std::optional<std::pair<int64_t, int64_t>> selection,
                          std::u16string_view decimal_separator);

// "3 entries, 12.50" (formatted as subtotal lines are); "too big" for a sum out of range.
std::u16string DescribeEntries(const EntrySum& entries, std::u16string_view decimal_separator);

// What find says of `needle`: how many lines hold it and what their entries add up to ("taxi: 25
// lines, 23 entries, 412.50").
std::u16string DescribeFound(std::u16string_view needle, int64_t lines, const EntrySum& entries,
                             std::u16string_view decimal_separator);

// The same for the lines of `text` (split at CR LF) that `holds` takes as holding `needle`, which
// is the window's to decide (with or without case).
std::u16string DescribeFound(std::u16string_view text, std::u16string_view needle,
                             const std::function<bool(std::u16string_view line)>& holds,
                             std::u16string_view decimal_separator);

}  // namespace tallivan

#endif  // TALLIVAN_WINDOW_TOTALS_TEXT_H_
