// Arbitrary bytes, read as UTF-16LE, go through the recalculation pass, and the outcome is checked
// line by line against what the pass promises.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "fuzz_check.h"
#include "ledger/ledger.h"
#include "runtime/currency.h"

namespace tallivan::fuzz {
namespace {

constexpr std::u16string_view kLineBreak = u"\r\n";

struct Line {
  std::u16string_view text;
  size_t offset;
};

std::vector<Line> SplitLines(std::u16string_view text) {
  std::vector<Line> lines;
  if (text.empty()) return lines;
  size_t start = 0;
  while (true) {
    const size_t end = text.find(kLineBreak, start);
    if (end == std::u16string_view::npos) {
      lines.push_back({text.substr(start), start});
      return lines;
    }
    lines.push_back({text.substr(start, end - start), start});
    start = end + kLineBreak.size();
  }
}

// A second reading of an entry line's brackets: the amount, or why the line is rejected
// (nullopt inside the error for an unmatched bracket).
struct Scan {
  bool ok = true;
  Currency amount;
  std::optional<Error> fault;
};

Scan ScanBrackets(std::u16string_view line) {
  Scan scan;
  std::optional<size_t> open;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == u'[') {
      if (open) return Scan{false, {}, std::nullopt};
      open = i + 1;
    } else if (line[i] == u']') {
      if (!open) return Scan{false, {}, std::nullopt};
      Result<Currency> bracket = EvaluateBracket(line.substr(*open, i - *open));
      if (!bracket) return Scan{false, {}, bracket.error()};
      if (!AddTo(scan.amount, bracket.value())) return Scan{false, {}, OverflowError()};
      open.reset();
    }
  }
  if (open) return Scan{false, {}, std::nullopt};
  return scan;
}

std::u16string SubtotalLine(Currency group_sum, Currency running_total) {
  return u"#  (" + Format(group_sum) + u") ,  " + Format(running_total);
}

// Where and why the pass must stop, if it must.
struct Stop {
  size_t line_index;
  std::optional<Error> fault;
};

// Walks `text` as the pass does; fills `expected` with the lines an accepted pass gives.
std::optional<Stop> ExpectedPass(const std::vector<Line>& lines,
                                 std::vector<std::u16string>& expected) {
  Currency group_sum;
  Currency running_total;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::u16string_view line = lines[i].text;
    expected.emplace_back(line);
    if (line.empty()) continue;
    std::u16string_view current = line.substr(0, line.find(u"//"));
    const size_t first = current.find_first_not_of(u' ');
    const bool subtotal = first != std::u16string_view::npos && current[first] == u'#';
    const LineKind kind = ClassifyLine(current);
    FUZZ_CHECK((kind == LineKind::SubtotalLine) == subtotal,
               "a subtotal line is one whose first non-blank character is a number sign");
    if (subtotal) {
      expected.back() = SubtotalLine(group_sum, running_total);
      group_sum = Currency();
      continue;
    }
    FUZZ_CHECK(current.empty() || (current.front() != u' ' && current.back() != u' '),
               "classifying trims the line");

    Currency amount = Currency::FromRaw(-7);
    std::optional<Error> fault;
    const ScanStatus status = ScanLineAmount(current, amount, fault);
    const Scan scan = ScanBrackets(current);
    FUZZ_CHECK(status == kScanOk || status == kScanRejected, "a scan status is 0 or -1");
    FUZZ_CHECK((status == kScanOk) == scan.ok, "the scanner accepts exactly the well-formed lines");
    if (!scan.ok) {
      FUZZ_CHECK(amount == Currency::FromRaw(-7), "a rejected line leaves the amount alone");
      FUZZ_CHECK(fault == scan.fault, "a rejected line names its first fault");
      return Stop{i, fault};
    }
    FUZZ_CHECK(amount == scan.amount, "a line's amount is the sum of its brackets");
    if (!AddTo(group_sum, amount) || !AddTo(running_total, amount)) {
      return Stop{i, OverflowError()};
    }
  }
  return std::nullopt;
}

void CheckRejection(std::u16string_view text, const std::vector<Line>& lines,
                    const Rejection& rejection, const std::optional<Stop>& stop) {
  FUZZ_CHECK(stop.has_value(), "only a text with a bad line is rejected");
  FUZZ_CHECK(rejection.line_index >= 0 && static_cast<size_t>(rejection.line_index) < lines.size(),
             "the rejected line exists");
  const auto offset = static_cast<size_t>(rejection.offset);
  FUZZ_CHECK(rejection.offset >= 0 && offset <= text.size(), "the offset lies in the text");
  FUZZ_CHECK(offset == 0 || text.substr(offset - 2, 2) == kLineBreak,
             "the offset is the start of a line");
  FUZZ_CHECK(offset == lines[rejection.line_index].offset, "the offset is the line's start");
  FUZZ_CHECK(static_cast<size_t>(rejection.line_index) == stop->line_index,
             "the first bad line is the one rejected");
  FUZZ_CHECK(rejection.fault == stop->fault, "the rejection carries the line's fault");
  FUZZ_CHECK(rejection.has_message() == rejection.fault.has_value(),
             "a message is shown exactly for a fault");
  if (rejection.fault) {
    const int32_t number = rejection.fault->number;
    FUZZ_CHECK(number == kErrOverflow || number == kErrEmptyBracket || number == kErrTypeMismatch,
               "a line is rejected with error 6, 11 or 13");
  }
  const Message expected = RejectionMessage(rejection.fault);
  FUZZ_CHECK(rejection.message.title == expected.title &&
                 rejection.message.english == expected.english &&
                 rejection.message.chinese == expected.chinese,
             "the rejection carries the fault's message");
}

void CheckAcceptance(std::u16string_view text, const std::vector<Line>& lines,
                     const std::u16string& result, const std::vector<std::u16string>& expected,
                     const Edits& edits) {
  if (text.empty()) FUZZ_CHECK(result.empty(), "the empty text is accepted unchanged");
  const std::vector<Line> result_lines = SplitLines(result);
  FUZZ_CHECK(result_lines.size() == lines.size(), "the number of lines is kept");
  for (size_t i = 0; i < lines.size(); ++i) {
    FUZZ_CHECK(result_lines[i].text == expected[i],
               "entry lines stay as they were and subtotal lines show their sums");
  }

  int64_t previous = -1;
  for (const LineEdit& edit : edits) {
    FUZZ_CHECK(edit.line_index > previous, "edits come in line order");
    previous = edit.line_index;
    FUZZ_CHECK(static_cast<size_t>(edit.line_index) < lines.size(), "an edit names a line");
    const Line& line = lines[edit.line_index];
    FUZZ_CHECK(edit.offset == static_cast<int64_t>(line.offset) &&
                   edit.old_length == static_cast<int64_t>(line.text.size()),
               "an edit covers exactly its old line");
    FUZZ_CHECK(edit.new_line == expected[edit.line_index] && edit.new_line != line.text,
               "an edit rewrites a subtotal line that changes");
  }
  FUZZ_CHECK(ApplyEdits(text, edits) == result, "applying the edits gives the new text");

  const RecalcOutcome again = Recalculate(result);
  const auto* again_text = std::get_if<std::u16string>(&again);
  FUZZ_CHECK(again_text != nullptr && *again_text == result,
             "recomputing an accepted text gives the same text");
  const auto again_edits = RecalculateEdits(result);
  FUZZ_CHECK(std::holds_alternative<Edits>(again_edits) && std::get<Edits>(again_edits).empty(),
             "an up-to-date text needs no edits");
}

}  // namespace
}  // namespace tallivan::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tallivan;
  using namespace tallivan::fuzz;
  const std::u16string text = FromUtf16Le(data, size);
  const std::vector<Line> lines = SplitLines(text);
  std::vector<std::u16string> expected;
  const std::optional<Stop> stop = ExpectedPass(lines, expected);

  const RecalcOutcome outcome = Recalculate(text);
  const auto edits = RecalculateEdits(text);
  if (const auto* rejection = std::get_if<Rejection>(&outcome)) {
    CheckRejection(text, lines, *rejection, stop);
    const auto* same = std::get_if<Rejection>(&edits);
    FUZZ_CHECK(same != nullptr && same->line_index == rejection->line_index &&
                   same->offset == rejection->offset && same->fault == rejection->fault,
               "both ways of recalculating reject the same line");
  } else {
    FUZZ_CHECK(!stop.has_value(), "a text with a bad line is rejected");
    const auto* line_edits = std::get_if<Edits>(&edits);
    FUZZ_CHECK(line_edits != nullptr, "both ways of recalculating accept the text");
    CheckAcceptance(text, lines, std::get<std::u16string>(outcome), expected, *line_edits);
  }
  return 0;
}
