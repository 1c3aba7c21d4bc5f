#include "window/changed_span.h"

namespace tallivan {

std::optional<SpanReplacement> ChangedSpan(std::u16string_view text, const Edits& edits) {
  if (edits.empty()) return std::nullopt;
  const auto start = static_cast<size_t>(edits.front().offset);
  const auto end = static_cast<size_t>(edits.back().offset + edits.back().old_length);
  SpanReplacement span{static_cast<int64_t>(start), static_cast<int64_t>(end - start), {}};
  size_t copied = start;
  for (const LineEdit& edit : edits) {
    const auto offset = static_cast<size_t>(edit.offset);
    span.text.append(text.substr(copied, offset - copied));
    span.text.append(edit.new_line);
    copied = offset + static_cast<size_t>(edit.old_length);
  }
  return span;
}

}  // namespace tallivan
