// A book's history: the texts that saves replaced, each kept as a plain book file in a folder
// beside the book named after it ("book.history/"), under the time it was replaced (UTC):
// "2026-12-07_021305.book", and "2026-12-07_021305_02.book" for a second one within that second,
// so that the names sort by time.
#ifndef TALLIVAN_STORAGE_HISTORY_H_
#define TALLIVAN_STORAGE_HISTORY_H_

#include <compare>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/error.h"

namespace tallivan {

// Whether a save keeps the text it replaces in the book's history.
enum class History { kSkip, kKeep };

// What the history keeps: every version of the last day (the newest kKeepRecent of them), the
// last version of each of the last kKeepDays days, the last of every month, and the newest.
inline constexpr int kKeepRecent = 50;
inline constexpr int kKeepDays = 90;

// When a version was replaced: seconds since 1970 (UTC), and its number within that second (1 for
// the first).
struct VersionTime {
  int64_t seconds = 0;
  int sequence = 1;

  friend auto operator<=>(const VersionTime&, const VersionTime&) = default;
};

// The file name of the version replaced at `time`.
std::string VersionName(const VersionTime& time);

// The time in `name`; nullopt unless `name` is exactly a name VersionName gives.
std::optional<VersionTime> ParseVersionName(std::string_view name);

// Those of `names` that the keeping rule lets go at `now` (seconds since 1970). A name that is
// not a version name is never among them; a version from the future counts as recent.
std::vector<std::string> VersionsToPrune(const std::vector<std::string>& names, int64_t now);

// The history folder of the book at `path`: beside the file that links finally lead to, as a
// save follows them. Error 75 when they cannot be followed.
Result<std::filesystem::path> HistoryFolder(const std::filesystem::path& path);

// One kept version.
struct Version {
  std::filesystem::path path;
  VersionTime time;
  uint64_t bytes = 0;
};

// The versions kept for the book at `path`, oldest first; none when it has no history yet. Only
// a history folder that is the caller's and lets nobody change what is in it who may not change
// the book is read, and in it only regular files with one name. Error 75 when the folder cannot
// be read or is not to be trusted.
Result<std::vector<Version>> ListVersions(const std::filesystem::path& path);

// The text of the version `name` (as ListVersions names it) of the book at `path`, read from the
// history folder ListVersions reads, as LoadBookFile reads a book. Error 53 when there is no such
// version, 75 when it cannot be read or its folder is not to be trusted.
Result<std::u16string> LoadVersion(const std::filesystem::path& path, std::string_view name);

}  // namespace tallivan

#endif  // TALLIVAN_STORAGE_HISTORY_H_
