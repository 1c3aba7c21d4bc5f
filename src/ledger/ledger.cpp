#include "ledger/ledger.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <exception>
#include <functional>
#include <limits>
#include <system_error>
#include <thread>

#include "runtime/numeric.h"

namespace tallivan {

namespace {

constexpr char16_t kBlank = u' ';
constexpr std::u16string_view kLineBreak = u"\r\n";
constexpr std::u16string_view kSubtotalOpen = u"#  (";
constexpr std::u16string_view kSubtotalSeparator = u") ,  ";
constexpr char kInvalidTitle[] = "Invalid content - 内容有误";

Error NotNumericError() {
  return Error{ErrorNumber::kTypeMismatch, "Not numeric value - 不是数字/数字太大"};
}
Error EmptyBracketError() {
  return Error{ErrorNumber::kEmptyBracket, "Empty bracket - 括号里无内容"};
}

// Puts the subtotal line for these sums into `line`, replacing what it held.
void WriteSubtotalLine(std::u16string& line, Currency group_sum, Currency running_total,
                       std::u16string_view decimal_separator) {
  line.assign(kSubtotalOpen);
  AppendFormatted(line, group_sum, decimal_separator);
  line.append(kSubtotalSeparator);
  AppendFormatted(line, running_total, decimal_separator);
}

// The amount of a bracket holding `numeral` alone, found without doubles. A numeral of at most
// nine digits and four decimals is exactly N ten-thousandths, and its double is off by less than
// 10^9 * 2^-53, so scaling that by 10^4 and rounding, as the general path does, gives N again.
std::optional<Currency> ExactAmount(const Numeral& numeral) {
  constexpr int kMaxDigits = 9;
  constexpr int kMaxDecimals = 4;
  constexpr int64_t kScales[kMaxDecimals + 1] = {10000, 1000, 100, 10, 1};
  if (numeral.digit_count > kMaxDigits || numeral.fraction_digits > kMaxDecimals) {
    return std::nullopt;
  }
  const int64_t raw = static_cast<int64_t>(numeral.digits) * kScales[numeral.fraction_digits];
  return Currency::FromRaw(numeral.negative ? -raw : raw);
}

}  // namespace

Result<Currency> EvaluateBracket(std::u16string_view content) {
  if (content.empty()) return Currency();
  // A lone numeral (no blank: a blank is not part of a numeral) often needs no doubles.
  if (const std::optional<Numeral> numeral = ReadNumeral(content)) {
    if (const std::optional<Currency> exact = ExactAmount(*numeral)) return *exact;
  }
  double product = 1.0;
  int64_t factors = 0;
  size_t start = 0;
  while (start <= content.size()) {
    size_t end = content.find(kBlank, start);
    if (end == std::u16string_view::npos) end = content.size();
    const std::u16string_view token = content.substr(start, end - start);
    start = end + 1;
    if (token.empty()) continue;
    const std::optional<double> factor = ParseNumeric(token);
    if (!factor) return NotNumericError();
    product *= *factor;
    if (std::isinf(product)) return OverflowError();
    ++factors;
  }
  if (factors == 0) return EmptyBracketError();
  return Currency::FromDouble(product);
}

namespace {

// The brackets of one line, followed character by character: what they sum to so far.
struct BracketSum {
  static constexpr size_t kNone = std::u16string_view::npos;

  Currency sum;
  size_t content = kNone;  // where the open bracket's content starts

  // Each returns false when the line is rejected, leaving `fault` set for a faulty bracket.
  bool Open(size_t at) {
    if (content != kNone) return false;
    content = at + 1;
    return true;
  }
  bool Close(std::u16string_view line, size_t at, std::optional<Error>& fault) {
    if (content == kNone) return false;
    Result<Currency> bracket = EvaluateBracket(line.substr(content, at - content));
    content = kNone;
    if (!bracket) {
      fault = bracket.error();
      return false;
    }
    if (!AddTo(sum, bracket.value())) {
      fault = OverflowError();
      return false;
    }
    return true;
  }
  bool Closed() const { return content == kNone; }

  // Closes the bracket whose content starts at `from` when that content is a lone numeral whose
  // amount needs no doubles and fits the sum: the usual bracket, read here without a search for
  // its "]". Returns where the "]" is, or kNone when the bracket is left open for Close().
  size_t CloseLoneNumeral(std::u16string_view line, size_t from) {
    Numeral numeral;
    int points = 0;
    const size_t end = from + ReadNumeralPrefix(line.substr(from), numeral, points);
    if (end == line.size() || line[end] != u']' || points > 1 || numeral.digit_count == 0) {
      return kNone;
    }
    const std::optional<Currency> amount = ExactAmount(numeral);
    if (!amount || !AddTo(sum, *amount)) return kNone;
    content = kNone;
    return end;
  }
};

}  // namespace

ScanStatus ScanLineAmount(std::u16string_view line, Currency& amount, std::optional<Error>& fault) {
  fault.reset();
  BracketSum brackets;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == u'[' ? !brackets.Open(i) : line[i] == u']' && !brackets.Close(line, i, fault)) {
      return kScanRejected;
    }
  }
  if (!brackets.Closed()) return kScanRejected;
  amount = brackets.sum;
  return kScanOk;
}

std::optional<Error> LineFault(ErrorNumber number) {
  switch (number) {
    case ErrorNumber::kNone:
      return std::nullopt;
    case ErrorNumber::kEmptyBracket:
      return EmptyBracketError();
    case ErrorNumber::kTypeMismatch:
      return NotNumericError();
    default:
      return OverflowError();
  }
}

LineKind ClassifyLine(std::u16string_view& line) {
  const size_t first = line.find_first_not_of(kBlank);
  if (first == std::u16string_view::npos) {
    line = line.substr(line.size());
    return LineKind::EntryLine;
  }
  line = line.substr(first, line.find_last_not_of(kBlank) - first + 1);
  return line.front() == u'#' ? LineKind::SubtotalLine : LineKind::EntryLine;
}

std::string Message::Body() const { return chinese.empty() ? english : english + "\r\n" + chinese; }

Message RejectionMessage(const std::optional<Error>& fault) {
  if (!fault) return Message{kInvalidTitle, "Unmatched bracket.", "括号不配对。"};
  switch (fault->number) {
    case ErrorNumber::kOverflow:
      return Message{kInvalidTitle, "Number / result is too big.", "数字/计算结果太大。"};
    case ErrorNumber::kEmptyBracket:
      return Message{kInvalidTitle, "Empty Bracket.", "括号里是空的。"};
    case ErrorNumber::kTypeMismatch:
      return Message{kInvalidTitle, "Something invalid in the Bracket.", "括号中有内容不可识别。"};
    default:
      return Message{kInvalidTitle, fault->description, ""};
  }
}

namespace {

// What one walk over a line found: where it ends and, for an entry line, whether it was read.
struct LineRead {
  size_t end = 0;  // its CR LF, or the end of the text
  LineKind kind = LineKind::EntryLine;
  bool read = true;
};

// Lanes of four code units at a time, to skip to the next character of interest.
constexpr uint64_t kLanes = 0x0001000100010001;
constexpr uint64_t kLaneLow = 0x7FFF * kLanes;
constexpr uint64_t kLaneHigh = 0x8000 * kLanes;

// The high bit of each lane of `units` that equals `unit`, exactly (no carry crosses lanes).
constexpr uint64_t LanesEqual(uint64_t units, char16_t unit) {
  const uint64_t diff = units ^ (unit * kLanes);
  return ~(((diff & kLaneLow) + kLaneLow) | diff) & kLaneHigh;
}

// The first position from `from` on holding one of `kUnits`, or the text's size.
template <char16_t... kUnits>
size_t FindAny(std::u16string_view text, size_t from) {
  const size_t size = text.size();
  for (; from + 4 <= size; from += 4) {
    uint64_t units;
    std::memcpy(&units, text.data() + from, sizeof units);
    if (const uint64_t hits = (LanesEqual(units, kUnits) | ...); hits != 0) {
      return from + (std::endian::native == std::endian::little ? std::countr_zero(hits)
                                                                : std::countl_zero(hits)) /
                        16;
    }
  }
  while (from < size && ((text[from] != kUnits) && ...)) ++from;
  return from;
}

size_t LineEnd(std::u16string_view text, size_t from) {
  for (size_t at = FindAny<u'\r'>(text, from); at < text.size();
       at = FindAny<u'\r'>(text, at + 1)) {
    if (at + 1 < text.size() && text[at + 1] == u'\n') return at;
  }
  return text.size();
}

// Reads the line that starts at `start` in one walk over its characters: as ClassifyLine and
// ScanLineAmount read it once its comment is cut off, adding an entry line's amount to `amount`.
LineRead ReadLine(std::u16string_view text, size_t start, Currency& amount,
                  std::optional<Error>& fault) {
  const size_t size = text.size();
  size_t i = start;
  while (i < size && text[i] == kBlank) ++i;
  if (i < size && text[i] == u'#') return LineRead{LineEnd(text, i), LineKind::SubtotalLine};
  BracketSum brackets;
  for (;; ++i) {
    i = FindAny<u'\r', u'/', u'[', u']'>(text, i);
    if (i == size) break;
    const char16_t c = text[i];
    if (c == u'\r' || c == u'/') {
      if (i + 1 < size && text[i + 1] == (c == u'\r' ? u'\n' : u'/')) break;
    } else if (c == u'[' ? !brackets.Open(i) : !brackets.Close(text, i, fault)) {
      return LineRead{i, LineKind::EntryLine, false};
    } else if (c == u'[') {
      if (const size_t close = brackets.CloseLoneNumeral(text, i + 1); close != BracketSum::kNone) {
        i = close;
      }
    }
  }
  const size_t end = i < size && text[i] == u'/' ? LineEnd(text, i + 2) : i;
  if (!brackets.Closed()) return LineRead{end, LineKind::EntryLine, false};
  amount = brackets.sum;
  return LineRead{end};
}

// Where a walk over lines has got to, and what it has summed.
struct Walk {
  size_t start = 0;   // where the next line starts
  int64_t index = 0;  // the next line's index
  Currency group_sum;
  Currency running_total;
  bool group_closed = false;     // a subtotal line has been passed
  uint64_t total_peak = 0;       // the largest |running_total| reached
  uint64_t open_group_peak = 0;  // the largest |group_sum| before the first subtotal line
  std::optional<Error> fault;    // why the walk stopped at a line, if it did
};

uint64_t Magnitude(Currency amount) {
  const int64_t raw = amount.raw();
  return raw < 0 ? uint64_t{0} - static_cast<uint64_t>(raw) : static_cast<uint64_t>(raw);
}

// Takes no notice of entry lines.
struct IgnoreEntries {
  void operator()(const Walk&, std::u16string_view, Currency) const {}
};

// Walks the lines that start before `limit`, from walk.start on, calling
// on_subtotal(walk, line) for each subtotal line and on_entry(walk, line, amount) for each other
// line, its amount added. Returns false at the first line it cannot read, with walk.start and
// walk.index at that line.
template <typename OnSubtotal, typename OnEntry = IgnoreEntries>
bool WalkLines(std::u16string_view text, size_t limit, Walk& walk, OnSubtotal&& on_subtotal,
               OnEntry&& on_entry = {}) {
  while (walk.start < limit) {
    Currency amount;
    const LineRead line = ReadLine(text, walk.start, amount, walk.fault);
    if (!line.read) return false;
    if (line.kind == LineKind::SubtotalLine) {
      on_subtotal(walk, text.substr(walk.start, line.end - walk.start));
      walk.group_sum = Currency();
      walk.group_closed = true;
    } else if (amount != Currency()) {
      if (!AddTo(walk.group_sum, amount) || !AddTo(walk.running_total, amount)) {
        walk.fault = OverflowError();
        return false;
      }
      walk.total_peak = std::max(walk.total_peak, Magnitude(walk.running_total));
      if (!walk.group_closed) {
        walk.open_group_peak = std::max(walk.open_group_peak, Magnitude(walk.group_sum));
      }
    }
    if (line.kind == LineKind::EntryLine) {
      on_entry(walk, text.substr(walk.start, line.end - walk.start), amount);
    }
    walk.start = line.end + kLineBreak.size();
    ++walk.index;
  }
  return true;
}

// A subtotal line met in a part of the text, with the sums as they stood within that part.
struct PartSubtotal {
  int64_t index = 0;
  std::u16string_view line;
  Currency group_sum;
  Currency running_total;
  bool continues_group = false;  // its group began before the part
};

// A stretch of whole lines after the first, walked from zero sums on a thread of its own.
struct Part {
  size_t begin = 0;
  size_t limit = 0;
  Walk walk;
  bool read = false;  // false: it stopped at a line, and is walked again with the sums carried in
  std::vector<PartSubtotal> subtotals;
  std::exception_ptr failure;
};

// Room for the subtotal lines of a part is made for one in this many code units at first.
constexpr size_t kUnitsPerSubtotalGuess = 256;

// Whether the part's own sums, added to the carried ones, stay in range at every line.
bool FitsAfter(const Walk& carried, const Walk& part) {
  constexpr auto kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  return Magnitude(carried.running_total) <= kMax - std::min(part.total_peak, kMax) &&
         Magnitude(carried.group_sum) <= kMax - std::min(part.open_group_peak, kMax);
}

Currency Sum(Currency a, Currency b) { return Currency::FromRaw(a.raw() + b.raw()); }

// The text cut at line starts into parts for the threads. The last part ends past the text's
// end, where a text ending with CR LF has an empty last line.
std::vector<Part> CutIntoParts(std::u16string_view text, Sharing sharing) {
  const size_t threads = sharing.max_parts != 0 ? sharing.max_parts
                                                : std::max(std::thread::hardware_concurrency(), 1u);
  const size_t count =
      std::clamp<size_t>(text.size() / std::max<size_t>(sharing.min_part_units, 1), 1, threads);
  std::vector<Part> parts(1);
  for (size_t i = 1; i < count; ++i) {
    const size_t line_break = LineEnd(text, std::max(text.size() / count * i, parts.back().begin));
    if (line_break == text.size()) break;
    parts.back().limit = line_break + kLineBreak.size();
    parts.emplace_back().begin = parts.back().limit;
  }
  parts.back().limit = text.empty() ? 0 : text.size() + 1;
  return parts;
}

// Runs other(part) for each part but the first on a thread of its own, and first() meanwhile on
// this thread.
template <typename First, typename Other>
void RunParts(std::vector<Part>& parts, const First& first, const Other& other) {
  auto run = [&other](Part& part) {
    try {
      other(part);
    } catch (...) {
      part.failure = std::current_exception();
    }
  };
  {
    std::vector<std::jthread> threads;
    for (size_t i = 1; i < parts.size(); ++i) {
      try {
        threads.emplace_back(run, std::ref(parts[i]));
      } catch (const std::system_error&) {
        run(parts[i]);
      }
    }
    first();
  }
  for (const Part& part : parts) {
    if (part.failure) std::rethrow_exception(part.failure);
  }
}

}  // namespace

std::variant<Edits, Rejection> RecalculateEdits(std::u16string_view text,
                                                std::u16string_view decimal_separator,
                                                Sharing sharing) {
  Edits edits;
  edits.reserve(text.size() / kUnitsPerSubtotalGuess);
  std::u16string rewritten;
  auto edit_if_changed = [&](int64_t index, std::u16string_view line, Currency group_sum,
                             Currency running_total) {
    WriteSubtotalLine(rewritten, group_sum, running_total, decimal_separator);
    if (rewritten != line) {
      edits.push_back(LineEdit{index, line.data() - text.data(), std::ssize(line), rewritten});
    }
  };
  auto write_edit = [&](const Walk& walk, std::u16string_view line) {
    edit_if_changed(walk.index, line, walk.group_sum, walk.running_total);
  };

  // The first part is walked here with the true sums, while the others are walked on threads
  // from zero sums. Then the sums go from part to part in order. A part that stopped, or whose
  // sums might leave the range once the carried ones are added, is walked again from them here.
  std::vector<Part> parts = CutIntoParts(text, sharing);
  Walk carried;
  bool read = true;
  RunParts(
      parts, [&] { read = WalkLines(text, parts[0].limit, carried, write_edit); },
      [text](Part& part) {
        part.subtotals.reserve((part.limit - part.begin) / kUnitsPerSubtotalGuess);
        part.walk.start = part.begin;
        part.read = WalkLines(text, part.limit, part.walk, [&part](const Walk& walk, auto line) {
          part.subtotals.push_back(PartSubtotal{walk.index, line, walk.group_sum,
                                                walk.running_total, !walk.group_closed});
        });
      });
  for (size_t i = 1; read && i < parts.size(); ++i) {
    const Part& part = parts[i];
    if (!part.read || !FitsAfter(carried, part.walk)) {
      read = WalkLines(text, part.limit, carried, write_edit);
      continue;
    }
    for (const PartSubtotal& subtotal : part.subtotals) {
      edit_if_changed(carried.index + subtotal.index, subtotal.line,
                      subtotal.continues_group ? Sum(carried.group_sum, subtotal.group_sum)
                                               : subtotal.group_sum,
                      Sum(carried.running_total, subtotal.running_total));
    }
    const Walk& own = part.walk;
    carried.group_sum = own.group_closed ? own.group_sum : Sum(carried.group_sum, own.group_sum);
    carried.running_total = Sum(carried.running_total, own.running_total);
    carried.index += own.index;
    carried.start = part.limit;
  }
  if (!read) {
    return Rejection{carried.index, static_cast<int64_t>(carried.start), carried.fault,
                     RejectionMessage(carried.fault)};
  }
  return edits;
}

std::optional<Rejection> ReadLines(std::u16string_view text,
                                   const std::function<void(const LineFigures&)>& on_line) {
  Walk walk;
  const auto on_subtotal = [&on_line](const Walk& at, std::u16string_view line) {
    on_line(LineFigures{at.index, line, LineRole::kSubtotal, Currency(), at.group_sum,
                        at.running_total});
  };
  const auto on_entry = [&on_line](const Walk& at, std::u16string_view line, Currency amount) {
    // The line was read, so its first "//" starts its comment.
    const std::u16string_view before_comment = line.substr(0, line.find(u"//"));
    const bool bracketed = before_comment.find(u'[') != std::u16string_view::npos;
    on_line(LineFigures{at.index, line, bracketed ? LineRole::kEntry : LineRole::kOther, amount,
                        Currency(), Currency()});
  };
  const size_t limit = text.empty() ? 0 : text.size() + 1;
  if (WalkLines(text, limit, walk, on_subtotal, on_entry)) return std::nullopt;
  return Rejection{walk.index, static_cast<int64_t>(walk.start), walk.fault,
                   RejectionMessage(walk.fault)};
}

std::u16string ApplyEdits(std::u16string_view text, const Edits& edits) {
  size_t length = text.size();
  for (const LineEdit& edit : edits) {
    length = length - static_cast<size_t>(edit.old_length) + edit.new_line.size();
  }
  std::u16string result;
  result.reserve(length);
  size_t copied = 0;
  for (const LineEdit& edit : edits) {
    const auto offset = static_cast<size_t>(edit.offset);
    result.append(text.substr(copied, offset - copied));
    result.append(edit.new_line);
    copied = offset + static_cast<size_t>(edit.old_length);
  }
  result.append(text.substr(copied));
  return result;
}

RecalcOutcome Recalculate(std::u16string_view text, std::u16string_view decimal_separator,
                          Sharing sharing) {
  auto outcome = RecalculateEdits(text, decimal_separator, sharing);
  if (auto* rejection = std::get_if<Rejection>(&outcome)) return std::move(*rejection);
  return ApplyEdits(text, std::get<Edits>(outcome));
}

}  // namespace tallivan
