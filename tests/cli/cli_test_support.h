#ifndef TALLIVAN_TESTS_CLI_CLI_TEST_SUPPORT_H_
#define TALLIVAN_TESTS_CLI_CLI_TEST_SUPPORT_H_

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "test_files.h"

namespace tallivan {

// A book with a stale subtotal line, comments and characters beyond the BMP.
inline const std::u16string kStale =
    u"coffee [2 3.5]\r\n  # old [9]\r\n账本 😀 [-3] // note [5]\r\n#\r\n";

// How a run is made, besides its arguments and standard input.
struct RunSetup {
  std::string file = {};      // the file the run writes: no other changes, no standard output
  bool piped = false;         // standard input and output are pipes rather than files
  std::string numeric = "C";  // LC_NUMERIC; other than "C", the run is for POSIX systems only
  std::string before = {};    // shell commands run first, with the same standard input; likewise
  // Files made in the work folder first, by path and content, besides the usual ones.
  std::vector<std::pair<std::string, std::string>> files = {};
  int64_t peak_kib = 0;  // more than 0: the run's peak memory stays below this; likewise
};

// A run of tallivan-calc among sample files, and what must come of it.
struct Call {
  std::vector<std::string> args;
  std::string input;  // standard input
  int code;
  std::string out;  // what `file` holds afterwards, or standard output
  std::string err;  // standard error; for bad use (2), the reason in its one line
  RunSetup setup = {};
};

// Every name in `folder` with what it holds, one level into folders; a version that is not one
// of `kept` is shown as "(new)".
inline std::vector<std::string> Snapshot(const std::filesystem::path& folder,
                                         const std::vector<std::string>& kept = {}) {
  std::vector<std::string> items;
  for (const std::string& name : Entries(folder)) {
    const std::filesystem::path path = folder / Utf8Path(name);
    const std::filesystem::file_status status = std::filesystem::symlink_status(path);
    if (std::filesystem::is_directory(status)) {
      for (const std::string& inner : Entries(path)) {
        items.push_back(name + "/" + (std::ranges::count(kept, inner) > 0 ? inner : "(new)") +
                        ": " + ReadBytes(path / Utf8Path(inner)));
      }
    } else {
      items.push_back(name + (std::filesystem::is_regular_file(status) ? ": " + ReadBytes(path)
                                                                       : " (not a file)"));
    }
  }
  std::sort(items.begin(), items.end());
  return items;
}

// The tallivan-calc executable the tests run.
std::filesystem::path CalcPath();

// Whether this is a POSIX system, with a shell and locales to make.
extern const bool kPosix;

// Makes the sample files only this system has in `work`.
void MakeSystemFiles(const std::filesystem::path& work);

// Runs tallivan-calc in the folder `work` as `call` says, with standard input from the file `in`
// and standard output and error into the files `out` and `err`, and its peak memory in KiB into the
// file "peak" beside `work` when the call asks. Its exit status, -1 when it did not end within a
// minute, or nullopt when the run cannot be made here (a locale that cannot be made).
std::optional<int> RunCalcProgram(const Call& call, const std::filesystem::path& work,
                                  const std::filesystem::path& in, const std::filesystem::path& out,
                                  const std::filesystem::path& err);

}  // namespace tallivan

#endif  // TALLIVAN_TESTS_CLI_CLI_TEST_SUPPORT_H_
