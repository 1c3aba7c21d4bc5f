// Files that saves under way make and that must go should the save not finish, and the
// termination signals that would end a save; not part of the storage's interface.
#ifndef TALLIVAN_STORAGE_PENDING_FILES_POSIX_H_
#define TALLIVAN_STORAGE_PENDING_FILES_POSIX_H_

#include <signal.h>

#include <string>

namespace tallivan::posix {

// A file that SIGTERM, SIGINT and SIGHUP remove before they end the process (once
// RemoveTemporaryFilesOnTermination() was called), from Remember() until Forget().
class PendingFile {
 public:
  PendingFile() = default;
  ~PendingFile() { Forget(); }
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  // Remembers the file `name` in the folder `dir_fd`, which must stay open until Forget().
  void Remember(int dir_fd, const std::string& name);
  // Lets the file be; it is not removed.
  void Forget();

 private:
  int slot_ = -1;
};

// Holds off the termination signals while it lives, so that a signal ends the process before or
// after what it covers (writing a book over in place), never in the middle.
class TerminationDeferred {
 public:
  TerminationDeferred();
  ~TerminationDeferred();
  TerminationDeferred(const TerminationDeferred&) = delete;
  TerminationDeferred& operator=(const TerminationDeferred&) = delete;

 private:
  sigset_t previous_;
};

// Removes the temporary files named after `name` (see TemporaryName) in `dir_fd` that killed
// saves left: old enough, and held by no live process (each save locks its own while it lives).
void RemoveStaleTemporaryFiles(int dir_fd, const std::string& name);

}  // namespace tallivan::posix

#endif  // TALLIVAN_STORAGE_PENDING_FILES_POSIX_H_
