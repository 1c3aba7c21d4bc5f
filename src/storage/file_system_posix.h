// What the POSIX implementation of the storage shares among its files; not part of its interface.
#ifndef TALLIVAN_STORAGE_FILE_SYSTEM_POSIX_H_
#define TALLIVAN_STORAGE_FILE_SYSTEM_POSIX_H_

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "runtime/error.h"

namespace tallivan::posix {

// An open file descriptor, closed when dropped.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept;
  ~Fd();

  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  // Closes the descriptor now; 0 or the errno of close.
  int Close();
  // Gives the descriptor up to the caller, who closes it.
  int Release() { return std::exchange(fd_, -1); }

 private:
  int fd_ = -1;
};

// The system's text for an errno.
std::string Reason(int error_number);

// `path` in double quotes, as descriptions show it.
std::string Quoted(const std::filesystem::path& path);

// "Cannot save "PATH": [WHAT: ]REASON", error 75.
Error SaveError(const std::filesystem::path& path, const std::string& what, int error_number);
Error SaveError(const std::filesystem::path& path, const std::string& reason);

// The folder a path's last component is in, held open, and that component.
struct ParentFolder {
  Fd folder;                   // opened with O_PATH: for the *at calls, not for reading or fsync
  std::filesystem::path path;  // the folder as reached, links followed ("" for the current one)
  std::string name;            // the last component: no link, and it need not exist
};

// Walks `path` one component at a time, following symbolic links to the file they finally name,
// which need not exist yet. A link in a sticky folder that anyone may write (such as /tmp) is
// followed only when it belongs to the caller or to the folder's owner, as the kernel's
// protected_symlinks rule has it, whichever component it is: anyone else's link there could send
// a save onto a file its maker may not touch. Each folder is held while the next is looked up, so
// no link put in place of one meanwhile is followed. Error 53 when a folder on the way does not
// exist, else 75, whose description is the reason alone.
Result<ParentFolder> OpenParent(const std::filesystem::path& path);

// The names in the folder open as `dir_fd` (for reading), "." and ".." left out; none when it
// cannot be read.
std::vector<std::string> NamesIn(int dir_fd);

// Opens the folder `folder` ("." when empty) for use with the *at calls (and fsync).
int OpenFolder(const std::filesystem::path& folder);

// Whether the file `name` in `dir_fd`, whose status is `st`, is read-only: nobody may write it,
// or the caller may not.
bool IsReadOnly(int dir_fd, const char* name, const struct stat& st);

// Copies `from` (from its start, `bytes` of it) to `to` at offset 0 with pread and pwrite; 0 or the
// errno that stopped it (ENODATA when `from` ended early).
int CopyContent(int from, int to, uint64_t bytes);

// Whether the two files hold the same first `bytes` bytes; reading stops at the first difference.
// nullopt when either cannot be read.
std::optional<bool> SameContent(int a, int b, uint64_t bytes);

// The permission bits a new file gets from the process: 0666 less the umask.
mode_t DefaultFileMode();

// Seconds since 1970, UTC.
int64_t NowSeconds();

}  // namespace tallivan::posix

#endif  // TALLIVAN_STORAGE_FILE_SYSTEM_POSIX_H_
