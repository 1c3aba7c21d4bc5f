// Arbitrary bytes, read as UTF-16LE, go through the recalculation pass; the outcome must keep what
// the pass promises about lines, rejections and edits.

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "fuzz_check.h"
#include "ledger/ledger.h"
#include "runtime/currency.h"

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

// Whether the first non-blank character before any comment is a number sign.
bool IsSubtotal(std::u16string_view line) {
  line = line.substr(0, line.find(u"//"));
  const size_t first = line.find_first_not_of(u' ');
  return first != line.npos && line[first] == u'#';
}

// The subtotal lines that reading `lines` one by one with the line functions gives, or the index
// of the first line that reading stops at.
std::variant<std::vector<std::u16string>, size_t> ReadLineByLine(
    const std::vector<std::u16string_view>& lines) {
  std::vector<std::u16string> subtotals;
  Currency group_sum;
  Currency running_total;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::u16string_view line = lines[i].substr(0, lines[i].find(u"//"));
    if (ClassifyLine(line) == LineKind::SubtotalLine) {
      subtotals.push_back(u"#  (" + Format(group_sum) + u") ,  " + Format(running_total));
      group_sum = Currency();
      continue;
    }
    Currency amount;
    std::optional<Error> fault;
    if (ScanLineAmount(line, amount, fault) != kScanOk || !AddTo(group_sum, amount) ||
        !AddTo(running_total, amount)) {
      return i;
    }
  }
  return subtotals;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::u16string text = fuzz::FromUtf16Le(data, size);
  const std::vector<std::u16string_view> lines = SplitLines(text);
  const RecalcOutcome outcome = Recalculate(text);
  const auto edits = RecalculateEdits(text);
  const auto shared = RecalculateEdits(text, u".", Sharing{1, 3});
  const auto expected = ReadLineByLine(lines);
  if (const auto* rejection = std::get_if<Rejection>(&outcome)) {
    const auto index = static_cast<size_t>(rejection->line_index);
    FUZZ_CHECK(std::get_if<size_t>(&expected) && std::get<size_t>(expected) == index,
               "the pass stops where reading line by line stops");
    FUZZ_CHECK(index < lines.size() && rejection->offset == lines[index].data() - text.data() &&
                   !IsSubtotal(lines[index]),
               "a rejection names an entry line that exists, at the line's start");
    const auto* same = std::get_if<Rejection>(&edits);
    FUZZ_CHECK(same && same->offset == rejection->offset && same->fault == rejection->fault,
               "both ways of recalculating reject the same line");
    const auto* part = std::get_if<Rejection>(&shared);
    FUZZ_CHECK(part && part->offset == rejection->offset && part->fault == rejection->fault,
               "a text walked in parts is rejected at the same line");
    return 0;
  }
  const std::u16string& result = std::get<std::u16string>(outcome);
  const std::vector<std::u16string_view> result_lines = SplitLines(result);
  FUZZ_CHECK(result_lines.size() == lines.size(),
             "the number of lines is kept, so the empty text stays empty");
  FUZZ_CHECK(std::holds_alternative<std::vector<std::u16string>>(expected),
             "the pass accepts what reading line by line accepts");
  size_t changed = 0;
  const auto& subtotals = std::get<std::vector<std::u16string>>(expected);
  size_t subtotal = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::u16string_view got = result_lines[i];
    changed += got != lines[i];
    FUZZ_CHECK(IsSubtotal(lines[i]) ? subtotal < subtotals.size() && got == subtotals[subtotal++]
                                    : got == lines[i],
               "entry lines stay as they were and subtotal lines show the sums read line by line");
  }
  const auto* line_edits = std::get_if<Edits>(&edits);
  FUZZ_CHECK(line_edits != nullptr && line_edits->size() == changed,
             "both ways of recalculating accept the text, with an edit per changed line");
  for (size_t i = 0; i < changed; ++i) {
    const LineEdit& edit = (*line_edits)[i];
    const auto at = static_cast<size_t>(edit.line_index);
    FUZZ_CHECK(at < lines.size() && (i == 0 || edit.line_index > (*line_edits)[i - 1].line_index) &&
                   edit.offset == lines[at].data() - text.data() &&
                   edit.old_length == std::ssize(lines[at]) && edit.new_line == result_lines[at],
               "edits rewrite exactly the changed lines, in order");
  }
  FUZZ_CHECK(ApplyEdits(text, *line_edits) == result, "applying the edits gives the new text");
  const auto* part_edits = std::get_if<Edits>(&shared);
  FUZZ_CHECK(part_edits && part_edits->size() == changed && ApplyEdits(text, *part_edits) == result,
             "a text walked in parts gives the same edits");
  const RecalcOutcome again = Recalculate(result);
  FUZZ_CHECK(
      std::holds_alternative<std::u16string>(again) && std::get<std::u16string>(again) == result,
      "recomputing an accepted text gives the same text");
  return 0;
}
