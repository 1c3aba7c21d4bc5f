#ifndef TALLIVAN_CLI_CSV_H_
#define TALLIVAN_CLI_CSV_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/currency.h"
#include "runtime/error.h"

namespace tallivan {

// The header record of the CSV form of a book.
inline constexpr std::string_view kCsvHeader = "line,kind,amount,group_sum,running_total,text\r\n";

// The header record of the spreadsheet form: `group` is the number of the "#" line that closes
// the line's group.
inline constexpr std::string_view kSpreadsheetHeader =
    "line,kind,amount,group_sum,running_total,group,text\r\n";

// Who reads the CSV: a script takes every text as it stands; a spreadsheet gets a UTF-8 byte-order
// mark, the `group` column, and texts that it would take for a formula made inert with a leading
// apostrophe.
enum class CsvReader { kScript, kSpreadsheet };

// Writes the book `text` to `fd` as CSV (RFC 4180, UTF-8, records ending in CR LF): the header,
// then for each line its number (from 1), its kind (entry, subtotal or other), an entry's amount,
// the group sum and running total of a subtotal line, and the line's text, always quoted. Figures
// are exact, with four decimals and a point. `text` is a book that RecalculateEdits accepts.
// Nothing is written for a book that holds an unpaired surrogate, which UTF-8 cannot hold; `name`
// stands for the book in that error's description.
Status WriteCsv(std::u16string_view text, int fd, std::string_view name,
                CsvReader reader = CsvReader::kScript);

// The start of the CSV form of the entries that --find lists: for a spreadsheet the byte-order
// mark, then the header record "line,amount,text".
std::string FoundCsvStart(CsvReader reader);

// Appends to `out` the record of the entry on line `line` (from 1) with `amount` and its line's
// `text`, as WriteCsv writes those fields. False, with nothing appended, when `text` holds an
// unpaired surrogate, which UTF-8 cannot hold.
bool AppendFoundRecord(std::string& out, int64_t line, Currency amount, std::u16string_view text,
                       CsvReader reader);

}  // namespace tallivan

#endif  // TALLIVAN_CLI_CSV_H_
