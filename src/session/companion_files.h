#ifndef TALLIVAN_SESSION_COMPANION_FILES_H_
#define TALLIVAN_SESSION_COMPANION_FILES_H_

#include <filesystem>
#include <string>
#include <vector>

namespace tallivan {

// A folder that may hold a book's companion files (its lock, the recovery copies of its open
// windows, and texts kept apart from it), and how they are named there.
struct CompanionPlace {
  std::filesystem::path folder;
  std::string own_stem;   // of the lock and the recovery copies (UTF-8, as every name here)
  std::string kept_stem;  // of the files kept apart

  // The lock that tells the book's windows apart (see BookLock).
  std::filesystem::path LockFile() const;
  // The names of recovery copies start with this; the window's lock slot follows.
  std::string RecoveryCopyPrefix() const;
  std::filesystem::path RecoveryCopy(int slot) const;
  // The names of files kept apart start with this; a time stamp follows.
  std::string KeptPrefix() const;
  // Which files kept apart the user has been told about, one name a line.
  std::filesystem::path SeenList() const;
};

// The places for the companion files of `book`, in order of preference: the book's own folder,
// then the home folder (where names carry the program's name and, for the lock and recovery copies,
// a mark of the book's path, since the files of many books may meet there).
std::vector<CompanionPlace> CompanionPlaces(const std::filesystem::path& book);

}  // namespace tallivan

#endif  // TALLIVAN_SESSION_COMPANION_FILES_H_
