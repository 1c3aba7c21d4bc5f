#ifndef TALLIVAN_WINDOW_CHANGED_SPAN_H_
#define TALLIVAN_WINDOW_CHANGED_SPAN_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "ledger/ledger.h"

namespace tallivan {

// A stretch of a text, in code units, and the text that takes its place.
struct SpanReplacement {
  int64_t start = 0;
  int64_t length = 0;
  std::u16string text;

  friend bool operator==(const SpanReplacement&, const SpanReplacement&) = default;
};

// The single replacement that applies `edits` (made by RecalculateEdits for `text`): from the start
// of the first line that changes to the end of the last, so that a text box can take it as one
// undoable step. nullopt when nothing changes.
std::optional<SpanReplacement> ChangedSpan(std::u16string_view text, const Edits& edits);

}  // namespace tallivan

#endif  // TALLIVAN_WINDOW_CHANGED_SPAN_H_
