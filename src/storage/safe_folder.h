// The one way the program opens a file that is not the book itself: through a folder it holds
// open, by name alone, never following a link, never waiting, and never trusting a file it did not
// make.
#ifndef TALLIVAN_STORAGE_SAFE_FOLDER_H_
#define TALLIVAN_STORAGE_SAFE_FOLDER_H_

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/error.h"
#include "runtime/largest_book.h"

namespace tallivan {

// The largest file a companion file may be: the largest book.
inline constexpr uint64_t kMaxCompanionBytes = kLargestBookBytes;

// Whether a folder that does not exist is made.
enum class MakeFolder { kNo, kPrivate };

// A file of the caller's in a SafeFolder.
struct OwnFile {
  std::string name;  // UTF-8
  uint64_t bytes = 0;
  int64_t modified_ns = 0;  // since 1970, UTC
};

// A folder held open. Every name given to it is one component (no separator, not "." or ".."):
// what it opens is found in this folder itself, whatever is later renamed or linked in place of
// the folder's path. A file counts as the caller's own only when it is a regular file that the
// caller owns, with one link and at most kMaxCompanionBytes; anything else under a name (a link,
// a FIFO, a device, a folder, another user's file, a file with other names) is "not ours": it is
// neither read nor written, and a name it holds is taken as used.
class SafeFolder {
 public:
  // Opens the folder `path` as it is, for files beside a book: any folder, shared or not.
  static Result<SafeFolder> Open(const std::filesystem::path& path);

  // Opens the caller's private folder `path`, making it and the folders it lacks (0700, on
  // Windows private to the caller) when `make` allows. A folder that the caller does not own, or
  // that others may write, or a link in place of one of the folders it made, is refused.
  static Result<SafeFolder> OpenPrivate(const std::filesystem::path& path, MakeFolder make);

  SafeFolder(SafeFolder&& other) noexcept;
  SafeFolder& operator=(SafeFolder&& other) noexcept;
  ~SafeFolder();

  // The path the folder was opened by (UTF-8 in messages: PathUtf8).
  const std::filesystem::path& path() const { return path_; }

  // Whether only the caller may make, rename or remove files here: the caller owns the folder and
  // nobody else may write it.
  bool is_private() const { return private_; }

  // The caller's private folder `name` inside this one, made 0700 when missing and `make` allows.
  Result<SafeFolder> Subfolder(std::string_view name, MakeFolder make) const;

  // The content of `name` when it is the caller's own file of at most `max_bytes`; error 53 when
  // there is no such name, 75 when it is not ours, too large, or cannot be read.
  Result<std::string> Read(std::string_view name, uint64_t max_bytes = kMaxCompanionBytes) const;

  // Puts `bytes` under `name`, replacing the caller's own file there: written under a temporary
  // name with permission bits `mode`, flushed, and renamed over it, so that a crash leaves the old
  // content or the new. A name held by something not ours is refused, and left as it is.
  Status Replace(std::string_view name, std::span<const char> bytes, unsigned mode) const;

  // Makes a new file `name`, or `name` followed by "-2", "-3"... when that is taken, holding
  // `bytes`, with permission bits `mode`; never replaces anything. The name it took.
  Result<std::string> CreateFresh(std::string_view name, std::span<const char> bytes,
                                  unsigned mode) const;

  // Moves the caller's own file `from` into `to` (this folder or another) as `name`, or `name`
  // with a counter as CreateFresh; never replaces anything. The name it took.
  Result<std::string> MoveFresh(std::string_view from, const SafeFolder& to,
                                std::string_view name) const;

  // Opens the caller's own file `name` for reading and writing, making it empty with permission
  // bits `mode` when there is none, for locks on its bytes rather than for its content. The
  // handle (a descriptor on POSIX systems) is the caller's to close.
  Result<intptr_t> OpenForLocking(std::string_view name, unsigned mode) const;

  // Removes the folder `name` when it is empty. Whether it is gone.
  bool RemoveEmptyFolder(std::string_view name) const;

  // Removes `name` when it is the caller's own file. Whether it is gone (or was never there).
  bool Remove(std::string_view name) const;

  // The caller's own files here whose names start with `prefix`, in no particular order.
  std::vector<OwnFile> List(std::string_view prefix = {}) const;

  // The system's handle of the folder (a descriptor on POSIX systems), for the storage's own use.
  intptr_t native() const { return native_; }

 private:
  SafeFolder(intptr_t native, std::filesystem::path path, bool is_private);
  // Closes the folder's descriptor or handle.
  static void CloseNative(intptr_t native);

  intptr_t native_ = -1;
  std::filesystem::path path_;
  bool private_ = false;
};

// Temporary files beside `name` are named TemporaryPrefix(name), eight random letters and digits,
// and kTemporarySuffix, so that they are hidden and known for what they are.
std::string TemporaryPrefix(std::string_view name);
inline constexpr char kTemporarySuffix[] = ".tmp";

// A new random name for a temporary file beside `name`.
std::string TemporaryName(std::string_view name);

// Whether `candidate` is a name TemporaryName(name) could give.
bool IsTemporaryNameOf(std::string_view name, std::string_view candidate);

// `name`, or `name` with the counter `counter` when it is at least 2 ("book.unsaved-1-2").
std::string Numbered(std::string_view name, int counter);

// The most names CreateFresh and MoveFresh try before they give up.
inline constexpr int kMaxFreshNames = 1000;

// The user's own folder for the state of its sessions: $XDG_STATE_HOME/tallivan when that is an
// absolute path, else ~/.local/state/tallivan (on Windows, %LOCALAPPDATA%\Tallivan\State).
// nullopt when the user has no home folder.
std::optional<std::filesystem::path> StateFolderPath();

// A folder for files that must outlive the process but not the machine, in memory where the
// system has such a folder for the user ($XDG_RUNTIME_DIR/tallivan); nullopt when there is none.
std::optional<std::filesystem::path> RuntimeFolderPath();

}  // namespace tallivan

#endif  // TALLIVAN_STORAGE_SAFE_FOLDER_H_
