#ifndef TALLIVAN_CLI_CLI_H_
#define TALLIVAN_CLI_CLI_H_

#include <string>
#include <string_view>
#include <vector>

namespace tallivan {

// Exit statuses of tallivan-calc.
inline constexpr int kExitOk = 0;         // done; with --check: the book is up to date
inline constexpr int kExitRejected = 1;   // a line of the book cannot be read
inline constexpr int kExitBadUse = 2;     // bad arguments, unreadable input or a failed write
inline constexpr int kExitOutOfDate = 3;  // --check: some subtotal line would change

// The file descriptors tallivan-calc reads and writes.
struct CalcStreams {
  int in = 0;
  int out = 1;
  int err = 2;
};

// Runs `tallivan-calc [--utf8] [--check | --csv | -i | -o OUT] [BOOK]` with `args` (the program's
// name left out), formatting figures with `decimal_separator`, and returns its exit status.
int RunCalc(const std::vector<std::string>& args, const CalcStreams& streams,
            std::u16string_view decimal_separator);

// The decimal separator of the user's LC_NUMERIC locale; "." when it gives none.
std::u16string LocaleDecimalSeparator();

// What --help prints.
std::string_view CalcUsage();

}  // namespace tallivan

#endif  // TALLIVAN_CLI_CLI_H_
