// How saves keep and prune versions on POSIX systems; not part of the storage's interface.
#ifndef TALLIVAN_STORAGE_HISTORY_POSIX_H_
#define TALLIVAN_STORAGE_HISTORY_POSIX_H_

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "runtime/error.h"

namespace tallivan::posix {

// How a version gets its content: a hard link to the replaced file where the file system allows
// one (it costs nothing, and a file that is about to be renamed away no longer changes), or a
// copy, which a file about to be written over in place needs.
enum class VersionCopy { kLinkOrCopy, kCopy };

// Keeps the file `name` in the folder `dir_fd` (`folder`), whose status is `book`, as a version
// replaced at `now` in its history folder, which is made (or kept) private like the file. The
// version's path, or the reason it cannot be kept.
Result<std::filesystem::path> KeepVersion(int dir_fd, const std::filesystem::path& folder,
                                          const std::string& name, const struct stat& book,
                                          VersionCopy how, int64_t now);

// Removes from the history folder of `version` the versions the keeping rule lets go at `now`;
// a warning for each one that could not be removed.
std::vector<std::string> PruneHistory(const std::filesystem::path& version, int64_t now);

}  // namespace tallivan::posix

#endif  // TALLIVAN_STORAGE_HISTORY_POSIX_H_
