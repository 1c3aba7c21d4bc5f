// tallivan-calc with what it does beyond its arguments switched off, so that the benchmarks can
// tell what that costs:
//   calc_variant [--no-history] [--no-change-check] -- TALLIVAN-CALC-ARGUMENTS...
#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli.h"

int main(int argc, char** argv) {
  tallivan::CalcSettings settings;
  int at = 1;
  for (; at < argc && std::string_view(argv[at]) != "--"; ++at) {
    const std::string_view arg = argv[at];
    if (arg == "--no-history") {
      settings.history = tallivan::History::kSkip;
    } else if (arg == "--no-change-check") {
      settings.change_check = tallivan::ChangeCheck::kOff;
    } else {
      std::fprintf(stderr, "usage: calc_variant [--no-history] [--no-change-check] -- ARGS...\n");
      return 2;
    }
  }
  const std::vector<std::string> args(argv + std::min(at + 1, argc), argv + argc);
  return tallivan::RunCalc(args, tallivan::CalcStreams{}, tallivan::LocaleDecimalSeparator(),
                           settings);
}
