#ifndef TALLIVAN_CLI_CLI_H_
#define TALLIVAN_CLI_CLI_H_

#include <string>
#include <string_view>
#include <vector>

#include "storage/history.h"

namespace tallivan {

// Exit statuses of tallivan-calc.
inline constexpr int kExitOk = 0;         // done; with --check: the book is up to date
inline constexpr int kExitRejected = 1;   // a line of the book cannot be read
inline constexpr int kExitBadUse = 2;     // bad arguments, unreadable input or a failed write
inline constexpr int kExitOutOfDate = 3;  // --check: some subtotal line would change

// The file descriptors tallivan-calc reads and writes (on Windows, of the C runtime).
struct CalcStreams {
  int in = 0;
  int out = 1;
  int err = 2;
};

// Whether a book that another program changes during a run is refused.
enum class ChangeCheck { kOn, kOff };

// What a run does beyond what its arguments say; tallivan-calc always runs with the defaults,
// and only the benchmarks turn these off to measure what they cost.
struct CalcSettings {
  History history = History::kKeep;  // whether -i and --restore keep the text they replace
  ChangeCheck change_check = ChangeCheck::kOn;
};

// Runs tallivan-calc (see CalcUsage) with `args` (the program's name left out), formatting
// figures with `decimal_separator`, and returns its exit status.
int RunCalc(const std::vector<std::string>& args, const CalcStreams& streams,
            std::u16string_view decimal_separator, const CalcSettings& settings = {});

// The decimal separator of the user's LC_NUMERIC locale (on Windows, of the user's regional
// settings); "." when it gives none.
std::u16string LocaleDecimalSeparator();

// What --help prints.
std::string_view CalcUsage();

}  // namespace tallivan

#endif  // TALLIVAN_CLI_CLI_H_
