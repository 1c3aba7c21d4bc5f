#include "ledger/ledger.h"

#include <cmath>

#include "runtime/numeric.h"

namespace tallivan {

namespace {

constexpr char16_t kBlank = u' ';
constexpr std::u16string_view kLineBreak = u"\r\n";
constexpr std::u16string_view kComment = u"//";
constexpr std::u16string_view kSubtotalOpen = u"#  (";
constexpr std::u16string_view kSubtotalSeparator = u") ,  ";
constexpr char kInvalidTitle[] = "Invalid content - 内容有误";

Error NotNumericError() { return Error{kErrTypeMismatch, "Not numeric value - 不是数字/数字太大"}; }
Error EmptyBracketError() { return Error{kErrEmptyBracket, "Empty bracket - 括号里无内容"}; }

std::u16string SubtotalLine(Currency group_sum, Currency running_total,
                            std::u16string_view decimal_separator) {
  std::u16string line(kSubtotalOpen);
  AppendFormatted(line, group_sum, decimal_separator);
  line.append(kSubtotalSeparator);
  AppendFormatted(line, running_total, decimal_separator);
  return line;
}

std::u16string_view CutComment(std::u16string_view line) {
  const size_t comment = line.find(kComment);
  return comment == std::u16string_view::npos ? line : line.substr(0, comment);
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
  if (content.find(kBlank) == std::u16string_view::npos) {
    if (const std::optional<Numeral> numeral = ReadNumeral(content)) {
      if (const std::optional<Currency> exact = ExactAmount(*numeral)) return *exact;
    }
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

ScanStatus ScanLineAmount(std::u16string_view line, Currency& amount, std::optional<Error>& fault) {
  fault.reset();
  Currency sum;
  bool inside = false;
  size_t start = 0;
  const size_t length = line.size();
  for (size_t i = 0; i < length; ++i) {
    const char16_t c = line[i];
    if (c == u'[') {
      if (inside) return kScanRejected;
      inside = true;
      start = i + 1;
    } else if (c == u']') {
      if (!inside) return kScanRejected;
      inside = false;
      Result<Currency> bracket = EvaluateBracket(line.substr(start, i - start));
      if (!bracket) {
        fault = bracket.error();
        return kScanRejected;
      }
      if (!AddTo(sum, bracket.value())) {
        fault = OverflowError();
        return kScanRejected;
      }
    }
  }
  if (inside) return kScanRejected;
  amount = sum;
  return kScanOk;
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
    case kErrOverflow:
      return Message{kInvalidTitle, "Number / result is too big.", "数字/计算结果太大。"};
    case kErrEmptyBracket:
      return Message{kInvalidTitle, "Empty Bracket.", "括号里是空的。"};
    case kErrTypeMismatch:
      return Message{kInvalidTitle, "Something invalid in the Bracket.", "括号中有内容不可识别。"};
    default:
      return Message{kInvalidTitle, fault->description, ""};
  }
}

std::variant<Edits, Rejection> RecalculateEdits(std::u16string_view text,
                                                std::u16string_view decimal_separator) {
  Edits edits;
  Currency group_sum;
  Currency running_total;
  size_t start = 0;
  for (int64_t index = 0; start <= text.size() && !text.empty(); ++index) {
    size_t end = text.find(kLineBreak, start);
    if (end == std::u16string_view::npos) end = text.size();
    const std::u16string_view line = text.substr(start, end - start);
    const auto offset = static_cast<int64_t>(start);
    start = end + kLineBreak.size();
    if (line.empty()) continue;

    std::u16string_view current = CutComment(line);
    if (ClassifyLine(current) == LineKind::SubtotalLine) {
      std::u16string rewritten = SubtotalLine(group_sum, running_total, decimal_separator);
      if (rewritten != line) {
        edits.push_back(
            LineEdit{index, offset, static_cast<int64_t>(line.size()), std::move(rewritten)});
      }
      group_sum = Currency();
      continue;
    }
    Currency amount;
    std::optional<Error> fault;
    if (ScanLineAmount(current, amount, fault) != kScanOk) {
      return Rejection{index, offset, fault, RejectionMessage(fault)};
    }
    if (!AddTo(group_sum, amount) || !AddTo(running_total, amount)) {
      fault = OverflowError();
      return Rejection{index, offset, fault, RejectionMessage(fault)};
    }
  }
  return edits;
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

RecalcOutcome Recalculate(std::u16string_view text, std::u16string_view decimal_separator) {
  auto outcome = RecalculateEdits(text, decimal_separator);
  if (auto* rejection = std::get_if<Rejection>(&outcome)) return std::move(*rejection);
  return ApplyEdits(text, std::get<Edits>(outcome));
}

}  // namespace tallivan
