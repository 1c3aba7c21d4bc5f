// How saves keep and prune versions on POSIX systems; not part of the storage's interface.
#ifndef TALLIVAN_STORAGE_HISTORY_POSIX_H_
#define TALLIVAN_STORAGE_HISTORY_POSIX_H_

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "runtime/error.h"
#include "storage/file_system_posix.h"

namespace tallivan::posix {

// How a version gets its content: a hard link to the replaced file where the file system allows
// one (it costs nothing, and a file that is about to be renamed away no longer changes), or a
// copy, which a file about to be written over in place needs, and one with other names too.
enum class VersionCopy { kLinkOrCopy, kCopy };

// A version just kept, and its history folder, held open.
struct KeptVersion {
  Fd folder;
  std::filesystem::path folder_path;
  std::string name;

  std::filesystem::path path() const { return folder_path / name; }
};

// Keeps the file `name` in the folder `dir_fd` (`folder`), whose status is `book`, as the version
// replaced at `now` in its history folder. The folder is made when missing, and used only when it
// is the caller's and lets nobody change what is in it who may not change the book; it is then
// made exactly as private as the book: its owner and group where the caller may give them, its
// permission bits and access list, with search where read is granted. A copy is written under a
// temporary name, which SIGTERM, SIGINT and SIGHUP remove, and gets its final name once whole.
// The version, or why it cannot be kept: the folder's path and the reason.
Result<KeptVersion> KeepVersion(int dir_fd, const std::filesystem::path& folder,
                                const std::string& name, const struct stat& book, VersionCopy how,
                                int64_t now);

// Removes from the history folder of `kept` the versions the keeping rule lets go at `now`; a
// warning for each one that could not be removed.
std::vector<std::string> PruneHistory(const KeptVersion& kept, int64_t now);

}  // namespace tallivan::posix

#endif  // TALLIVAN_STORAGE_HISTORY_POSIX_H_
