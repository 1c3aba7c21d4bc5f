#ifndef TALLIVAN_LEDGER_LINE_TOTALS_H_
#define TALLIVAN_LEDGER_LINE_TOTALS_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ledger/ledger.h"
#include "runtime/currency.h"

namespace tallivan {

// What a recalculation would write for one line: the group's sum so far and the running total.
struct LineSums {
  Currency group_sum;
  Currency running_total;
};

// The entries among some lines: how many there are and what they add up to.
struct EntrySum {
  int64_t count = 0;      // lines with a bracket outside their comment that were read
  Currency sum;           // meaningless when `overflow`
  int64_t rejected = 0;   // lines that cannot be read, left out of count and sum
  bool overflow = false;  // the sum leaves the range of amounts
};

// The figures of a ledger text kept line by line while it is edited, for a totals line: each
// line is read once when it changes, and the sums are carried forward from the first changed line
// only when asked for, so that typing near the end of a long text costs little. Agrees with
// RecalculateEdits on the same text.
class LineTotals {
 public:
  // The figures of `text`; `decimal_separator` is the one the subtotal lines are written with.
  explicit LineTotals(std::u16string_view text = {}, std::u16string_view decimal_separator = u".");

  // Reads the whole of `text` again.
  void Reset(std::u16string_view text);

  // Replaces the `removed` lines from line `first` on with the lines of `lines` (lines joined by
  // CR LF; one empty line when empty). An empty text has no lines; Reset() is the way to get there.
  void ReplaceLines(int64_t first, int64_t removed, std::u16string_view lines);

  int64_t line_count() const { return static_cast<int64_t>(lines_.size()); }

  // The sums at `line`, as the subtotal line there would show them; nullopt at or after the first
  // line a recalculation would reject, and past the last line.
  std::optional<LineSums> SumsAt(int64_t line);

  // The first line a recalculation would reject, as it would reject it.
  std::optional<Rejection> FirstRejection();

  // How many subtotal lines a recalculation would rewrite (0 when it would reject).
  int64_t StaleSubtotals();

  // The entries among lines `first` to `last`, both included (clamped to the text).
  EntrySum SumRange(int64_t first, int64_t last) const;

  // The entries among `lines` (indices in any order; those out of range are ignored).
  EntrySum SumLines(std::span<const int64_t> lines) const;

 private:
  enum class Kind : uint8_t { kOther, kEntry, kSubtotal, kRejected };

  // One line as read on its own, and the sums carried to it (valid below `carried_`).
  struct Line {
    Kind kind = Kind::kOther;
    bool canonical = false;                  // a subtotal line in the form a recalculation writes
    ErrorNumber fault = ErrorNumber::kNone;  // a rejected line's; kNone for an unmatched bracket
    uint32_t length = 0;                     // code units, without the CR LF
    int64_t amount = 0;  // an entry's amount; a canonical subtotal line's group figure in cents
    int64_t shown_total = 0;  // a canonical subtotal line's running total in cents
    LineSums sums;            // carried
    int64_t stale = 0;        // carried: stale subtotal lines up to this one
    int64_t offset = 0;       // carried: code units from the start of the text to this line
  };

  Line ReadOne(std::u16string_view line) const;
  void CarryTo(int64_t end);
  void Include(EntrySum& sum, const Line& line) const;

  std::u16string separator_;
  std::vector<Line> lines_;
  int64_t carried_ = 0;                          // lines whose carried fields are valid
  std::optional<int64_t> stopped_at_;            // the line where carrying stopped, once met
  ErrorNumber stop_fault_ = ErrorNumber::kNone;  // and its error number
};

}  // namespace tallivan

#endif  // TALLIVAN_LEDGER_LINE_TOTALS_H_
