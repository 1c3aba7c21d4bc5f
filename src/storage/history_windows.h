// How saves keep and prune versions on Windows; not part of the storage's interface.
#ifndef TALLIVAN_STORAGE_HISTORY_WINDOWS_H_
#define TALLIVAN_STORAGE_HISTORY_WINDOWS_H_

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "runtime/error.h"
#include "storage/file_system_windows.h"

namespace tallivan::windows {

// Keeps the file `book` as a version replaced at `now` in its history folder, as a hard link
// where the file system allows one (it costs nothing, and a file that is about to be renamed away
// no longer changes) or else as a copy. The folder and a copy get `access_list`, the book's, where
// it is the user's own (not inherited), and are private where it cannot be read. A link, or a
// copy's read of the book, that another program keeps from being made is tried again as long as
// `retry` allows. The version's path, or the reason it cannot be kept.
Result<std::filesystem::path> KeepVersion(const std::filesystem::path& book,
                                          const std::optional<AccessList>& access_list, int64_t now,
                                          Retry& retry);

// Removes from the history folder of `version` the versions the keeping rule lets go at `now`;
// a warning for each one that could not be removed. Nothing waits here for another program that
// holds a version: the save is done, and the next one prunes again.
std::vector<std::string> PruneHistory(const std::filesystem::path& version, int64_t now);

}  // namespace tallivan::windows

#endif  // TALLIVAN_STORAGE_HISTORY_WINDOWS_H_
