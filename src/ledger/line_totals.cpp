#include "ledger/line_totals.h"

#include <algorithm>

namespace tallivan {

namespace {

constexpr std::u16string_view kLineBreak = u"\r\n";
constexpr std::u16string_view kSubtotalOpen = u"#  (";
constexpr std::u16string_view kSubtotalSeparator = u") ,  ";
// More cents digits than this cannot be a figure of an amount.
constexpr size_t kMaxCentsDigits = 17;

// `raw` ten-thousandths in cents as Format rounds them, with the sign of `raw`.
int64_t Cents(int64_t raw) {
  const uint64_t magnitude = raw < 0 ? 0 - static_cast<uint64_t>(raw) : static_cast<uint64_t>(raw);
  const auto cents = static_cast<int64_t>(magnitude / 100 + (magnitude % 100 >= 50 ? 1 : 0));
  return raw < 0 ? -cents : cents;
}

// The cents `figure` shows when Format writes it exactly so for some amount.
std::optional<int64_t> ReadFigure(std::u16string_view figure, std::u16string_view separator) {
  const bool negative = !figure.empty() && figure.front() == u'-';
  std::u16string_view rest = figure.substr(negative ? 1 : 0);
  if (rest.size() < separator.size() + 3) return std::nullopt;
  const size_t whole = rest.size() - separator.size() - 2;
  if (rest.substr(whole, separator.size()) != separator) return std::nullopt;
  int64_t cents = 0;
  size_t digits = 0;
  for (size_t i = 0; i < rest.size(); ++i) {
    if (i == whole) i += separator.size();
    if (rest[i] < u'0' || rest[i] > u'9' || ++digits > kMaxCentsDigits) return std::nullopt;
    cents = cents * 10 + (rest[i] - u'0');
  }
  if (negative) cents = -cents;
  // Leading zeros, "-0.00" and the like are not what Format writes.
  if (Format(Currency::FromRaw(cents * 100), separator) != figure) return std::nullopt;
  return cents;
}

}  // namespace

LineTotals::LineTotals(std::u16string_view text, std::u16string_view decimal_separator)
    : separator_(decimal_separator) {
  Reset(text);
}

LineTotals::Line LineTotals::ReadOne(std::u16string_view text) const {
  Line line;
  line.length = static_cast<uint32_t>(text.size());
  std::u16string_view before_comment = text.substr(0, text.find(u"//"));
  const bool bracketed = before_comment.find(u'[') != std::u16string_view::npos;
  if (ClassifyLine(before_comment) == LineKind::SubtotalLine) {
    line.kind = Kind::kSubtotal;
    if (text.starts_with(kSubtotalOpen)) {
      const std::u16string_view figures = text.substr(kSubtotalOpen.size());
      const size_t middle = figures.find(kSubtotalSeparator);
      if (middle != std::u16string_view::npos) {
        const auto group = ReadFigure(figures.substr(0, middle), separator_);
        const auto total =
            ReadFigure(figures.substr(middle + kSubtotalSeparator.size()), separator_);
        if (group && total) {
          line.canonical = true;
          line.amount = *group;
          line.shown_total = *total;
        }
      }
    }
    return line;
  }
  Currency amount;
  std::optional<Error> fault;
  if (ScanLineAmount(before_comment, amount, fault) == kScanRejected) {
    line.kind = Kind::kRejected;
    line.fault = fault ? fault->number : ErrorNumber::kNone;
  } else if (bracketed) {
    line.kind = Kind::kEntry;
    line.amount = amount.raw();
  }
  return line;
}

void LineTotals::Reset(std::u16string_view text) {
  lines_.clear();
  carried_ = 0;
  stopped_at_.reset();
  if (text.empty()) return;
  ReplaceLines(0, 0, text);
}

void LineTotals::ReplaceLines(int64_t first, int64_t removed, std::u16string_view text) {
  first = std::clamp<int64_t>(first, 0, line_count());
  removed = std::clamp<int64_t>(removed, 0, line_count() - first);
  std::vector<Line> added;
  for (size_t start = 0;;) {
    const size_t end = std::min(text.find(kLineBreak, start), text.size());
    added.push_back(ReadOne(text.substr(start, end - start)));
    if (end == text.size()) break;
    start = end + kLineBreak.size();
  }
  const auto at = lines_.begin() + first;
  const auto common = std::min<int64_t>(removed, std::ssize(added));
  std::copy(added.begin(), added.begin() + common, at);
  if (removed > common) {
    lines_.erase(at + common, at + removed);
  } else {
    lines_.insert(at + common, added.begin() + common, added.end());
  }
  carried_ = std::min(carried_, first);
  if (stopped_at_ && *stopped_at_ >= first) stopped_at_.reset();
}

void LineTotals::CarryTo(int64_t end) {
  end = std::min(end, line_count());
  while (carried_ < end && !stopped_at_) {
    Line& line = lines_[static_cast<size_t>(carried_)];
    LineSums sums;
    int64_t stale = 0;
    line.offset = 0;
    if (carried_ > 0) {
      const Line& before = lines_[static_cast<size_t>(carried_ - 1)];
      sums = before.sums;
      if (before.kind == Kind::kSubtotal) sums.group_sum = Currency();
      stale = before.stale;
      line.offset = before.offset + before.length + std::ssize(kLineBreak);
    }
    if (line.kind == Kind::kRejected) {
      stopped_at_ = carried_;
      stop_fault_ = line.fault;
      return;
    }
    if (line.kind == Kind::kEntry) {
      const Currency amount = Currency::FromRaw(line.amount);
      if (!AddTo(sums.group_sum, amount) || !AddTo(sums.running_total, amount)) {
        stopped_at_ = carried_;
        stop_fault_ = ErrorNumber::kOverflow;
        return;
      }
    } else if (line.kind == Kind::kSubtotal) {
      const bool current = line.canonical && line.amount == Cents(sums.group_sum.raw()) &&
                           line.shown_total == Cents(sums.running_total.raw());
      stale += current ? 0 : 1;
    }
    line.sums = sums;
    line.stale = stale;
    ++carried_;
  }
}

std::optional<LineSums> LineTotals::SumsAt(int64_t line) {
  if (line < 0 || line >= line_count()) return std::nullopt;
  CarryTo(line + 1);
  if (stopped_at_ && *stopped_at_ <= line) return std::nullopt;
  return lines_[static_cast<size_t>(line)].sums;
}

std::optional<Rejection> LineTotals::FirstRejection() {
  CarryTo(line_count());
  if (!stopped_at_) return std::nullopt;
  const std::optional<Error> fault = LineFault(stop_fault_);
  return Rejection{*stopped_at_, lines_[static_cast<size_t>(*stopped_at_)].offset, fault,
                   RejectionMessage(fault)};
}

int64_t LineTotals::StaleSubtotals() {
  CarryTo(line_count());
  if (stopped_at_ || lines_.empty()) return 0;
  return lines_.back().stale;
}

void LineTotals::Include(EntrySum& sum, const Line& line) const {
  if (line.kind == Kind::kRejected) {
    ++sum.rejected;
  } else if (line.kind == Kind::kEntry) {
    ++sum.count;
    sum.overflow = sum.overflow || !AddTo(sum.sum, Currency::FromRaw(line.amount));
  }
}

EntrySum LineTotals::SumRange(int64_t first, int64_t last) const {
  EntrySum sum;
  first = std::max<int64_t>(first, 0);
  last = std::min(last, line_count() - 1);
  for (int64_t i = first; i <= last; ++i) Include(sum, lines_[static_cast<size_t>(i)]);
  return sum;
}

EntrySum LineTotals::SumLines(std::span<const int64_t> lines) const {
  EntrySum sum;
  for (const int64_t i : lines) {
    if (i >= 0 && i < line_count()) Include(sum, lines_[static_cast<size_t>(i)]);
  }
  return sum;
}

}  // namespace tallivan
