#ifndef TALLIVAN_LEDGER_LEDGER_H_
#define TALLIVAN_LEDGER_LEDGER_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "runtime/currency.h"
#include "runtime/error.h"

namespace tallivan {

enum class LineKind : int32_t { EntryLine = 1, SubtotalLine = 2 };

// 0 when a line was read, -1 when it was rejected.
using ScanStatus = int32_t;
inline constexpr ScanStatus kScanOk = 0;
inline constexpr ScanStatus kScanRejected = -1;

// The amount one bracket's content stands for: the product of its blank-separated numbers,
// rounded once to four decimals. The empty content is 0; errors 6, 11 and 13.
Result<Currency> EvaluateBracket(std::u16string_view content);

// Reads the amount of one trimmed, comment-free entry line. On kScanOk writes the sum of its
// bracket pairs to `amount`; on kScanRejected leaves `amount` alone and stores in `fault` the
// error that rejected it, or nullopt for an unmatched bracket.
ScanStatus ScanLineAmount(std::u16string_view line, Currency& amount, std::optional<Error>& fault);

// The fault ScanLineAmount gives with error number `number` (kOverflow, kEmptyBracket or
// kTypeMismatch), or nullopt for kNone, an unmatched bracket.
std::optional<Error> LineFault(ErrorNumber number);

// Trims blanks (U+0020 only) off both ends of `line` in place and tells its kind.
LineKind ClassifyLine(std::u16string_view& line);

// A message for the user: its title and body lines (UTF-8). The body of a known fault is an
// English line and a Chinese line; that of any other error is its description alone.
struct Message {
  std::string title;
  std::string english;
  std::string chinese;  // empty when the body is a description alone

  // The body as shown: the lines joined by CR LF.
  std::string Body() const;
};

// The message for a line rejected by `fault`; for nullopt (an unmatched bracket) the window
// shows none, but a report may still use its text.
Message RejectionMessage(const std::optional<Error>& fault);

// Why a recalculation stopped: the first line it could not read.
struct Rejection {
  int64_t line_index = 0;      // 0-based
  int64_t offset = 0;          // code units from the start of the text to the line's start
  std::optional<Error> fault;  // nullopt for an unmatched bracket
  Message message;             // what to tell the user; the window shows it only for a fault
  bool has_message() const { return fault.has_value(); }
};

// One subtotal line whose text changes.
struct LineEdit {
  int64_t line_index = 0;
  int64_t offset = 0;       // where the old line starts in the old text
  int64_t old_length = 0;   // the old line's length, without its CR LF
  std::u16string new_line;  // the rewritten line
};

// The subtotal lines a recalculation rewrites, in order; lines that keep their text are left out.
using Edits = std::vector<LineEdit>;

// How the pass over a long text is shared among threads: parts of at least `min_part_units`
// code units, at most `max_parts` of them (0: one per hardware thread). The outcome is the same
// whatever the sharing.
struct Sharing {
  size_t min_part_units = size_t{1} << 18;
  unsigned max_parts = 0;
};

// Recomputes every subtotal line of `text` and says which ones change, or why it cannot.
std::variant<Edits, Rejection> RecalculateEdits(std::u16string_view text,
                                                std::u16string_view decimal_separator = u".",
                                                Sharing sharing = {});

// `text` with `edits` applied (as made by RecalculateEdits for that text).
std::u16string ApplyEdits(std::u16string_view text, const Edits& edits);

// What a line is to a reader of the ledger.
enum class LineRole { kEntry, kSubtotal, kOther };

// One line of the ledger as the pass reads it.
struct LineFigures {
  int64_t line_index = 0;            // 0-based
  std::u16string_view text;          // the line as it stands, without its CR LF
  LineRole role = LineRole::kOther;  // kEntry: a bracket outside its comment
  Currency amount;                   // an entry's amount; 0 for other lines
  Currency group_sum;                // the sums a subtotal line stands for; 0 for other lines
  Currency running_total;
};

// Reads every line of `text` in order, as RecalculateEdits does, and hands each to `on_line`.
// Stops at the first line it cannot read (the lines before it have been handed on) and gives
// the rejection RecalculateEdits would give.
std::optional<Rejection> ReadLines(std::u16string_view text,
                                   const std::function<void(const LineFigures&)>& on_line);

// The outcome of Recalculate: the whole new text, or the rejection.
using RecalcOutcome = std::variant<std::u16string, Rejection>;

// Recomputes every subtotal line of `text`. Accepts with the new text or rejects at a line.
RecalcOutcome Recalculate(std::u16string_view text, std::u16string_view decimal_separator = u".",
                          Sharing sharing = {});

}  // namespace tallivan

#endif  // TALLIVAN_LEDGER_LEDGER_H_
