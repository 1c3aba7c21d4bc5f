#include "cli/csv.h"

#include <cstdint>
#include <string>
#include <vector>

#include "cli/utf8.h"
#include "ledger/ledger.h"
#include "storage/file_io.h"

namespace tallivan {
namespace {

constexpr size_t kFlushAt = size_t{1} << 20;

// The index of the first surrogate in `text` that is not part of a pair, or npos.
size_t FirstUnpairedSurrogate(std::u16string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit < 0xD800 || unit > 0xDFFF) continue;
    if (unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      ++i;
      continue;
    }
    return i;
  }
  return std::u16string_view::npos;
}

// `value` with all four of its decimals, as "-12.3400".
void AppendExact(std::string& out, Currency value) {
  const int64_t raw = value.raw();
  const uint64_t magnitude =
      raw < 0 ? uint64_t{0} - static_cast<uint64_t>(raw) : static_cast<uint64_t>(raw);
  if (raw < 0) out.push_back('-');
  out.append(std::to_string(magnitude / 10000));
  const std::string decimals = std::to_string(magnitude % 10000 + 10000);
  out.push_back('.');
  out.append(decimals, 1);
}

// Whether a spreadsheet would take a cell starting like `text` for a formula (OWASP's list).
bool LooksLikeFormula(std::u16string_view text) {
  return !text.empty() &&
         std::u16string_view(u"=+-@\t\r").find(text[0]) != std::u16string_view::npos;
}

// `text` as a quoted field: quotes doubled, everything else as it is, after `lead`.
void AppendQuoted(std::string& out, std::u16string_view text, std::string_view lead = {}) {
  out.push_back('"');
  out.append(lead);
  for (size_t quote = text.find(u'"'); quote != std::u16string_view::npos;
       quote = text.find(u'"')) {
    AppendUtf8(text.substr(0, quote + 1), out);
    out.push_back('"');
    text.remove_prefix(quote + 1);
  }
  AppendUtf8(text, out);
  out.push_back('"');
}

constexpr std::string_view KindName(LineRole role) {
  switch (role) {
    case LineRole::kEntry:
      return "entry";
    case LineRole::kSubtotal:
      return "subtotal";
    case LineRole::kOther:
      break;
  }
  return "other";
}

}  // namespace

Status WriteCsv(std::u16string_view text, int fd, std::string_view name, CsvReader reader) {
  if (const size_t at = FirstUnpairedSurrogate(text); at != std::u16string_view::npos) {
    int64_t line = 1;
    for (size_t i = text.find(u"\r\n"); i < at; i = text.find(u"\r\n", i + 2)) ++line;
    return Error{ErrorNumber::kFileAccess, std::string(name) + ":" + std::to_string(line) +
                                               ": an unpaired surrogate, which UTF-8 cannot hold"};
  }
  const bool spreadsheet = reader == CsvReader::kSpreadsheet;
  // Spreadsheets show which group a line belongs to; the "#" lines are found first for that.
  std::vector<int64_t> subtotals;
  if (spreadsheet) {
    ReadLines(text, [&subtotals](const LineFigures& line) {
      if (line.role == LineRole::kSubtotal) subtotals.push_back(line.line_index);
    });
  }
  auto closing = subtotals.begin();
  // Excel takes a file without the byte-order mark for the system's code page.
  std::string out = spreadsheet ? std::string("\xEF\xBB\xBF").append(kSpreadsheetHeader)
                                : std::string(kCsvHeader);
  int write_error = 0;
  auto flush = [&] {
    if (write_error == 0) write_error = WriteFully(fd, out);
    out.clear();
  };
  const std::optional<Rejection> rejection = ReadLines(text, [&](const LineFigures& line) {
    out.append(std::to_string(line.line_index + 1));
    out.push_back(',');
    out.append(KindName(line.role));
    out.push_back(',');
    if (line.role == LineRole::kEntry) AppendExact(out, line.amount);
    out.push_back(',');
    if (line.role == LineRole::kSubtotal) AppendExact(out, line.group_sum);
    out.push_back(',');
    if (line.role == LineRole::kSubtotal) AppendExact(out, line.running_total);
    out.push_back(',');
    if (spreadsheet) {
      while (closing != subtotals.end() && *closing < line.line_index) ++closing;
      if (closing != subtotals.end()) out.append(std::to_string(*closing + 1));
      out.push_back(',');
    }
    AppendQuoted(out, line.text, spreadsheet && LooksLikeFormula(line.text) ? "'" : "");
    out.append("\r\n");
    if (out.size() >= kFlushAt) flush();
  });
  if (rejection) {
    return Error{ErrorNumber::kFileAccess, std::string(name) + ":" +
                                               std::to_string(rejection->line_index + 1) +
                                               ": the book cannot be read"};
  }
  flush();
  if (write_error != 0) {
    return Error{ErrorNumber::kFileAccess,
                 "Cannot write standard output: " + SystemErrorText(write_error)};
  }
  return {};
}

}  // namespace tallivan
