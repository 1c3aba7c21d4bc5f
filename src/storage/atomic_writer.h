#ifndef TALLIVAN_STORAGE_ATOMIC_WRITER_H_
#define TALLIVAN_STORAGE_ATOMIC_WRITER_H_

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "runtime/error.h"
#include "storage/file_io.h"
#include "storage/history.h"

namespace tallivan {

// Whether a save may replace a file that is read-only (no write permission for anyone, or not for
// the caller; on Windows, the read-only attribute); the user made it so to protect it.
enum class ReadOnlyFile { kRefuse, kReplace };

// How a file is to be replaced.
struct SaveOptions {
  // Whether the text being replaced is kept in the book's history first (see history.h).
  History history = History::kSkip;
  ReadOnlyFile read_only = ReadOnlyFile::kRefuse;
  // Permission bits of a file that does not exist yet; nullopt: 0666 less the umask. On Windows,
  // no owner write bit makes it read-only, and no bit for others private to the caller.
  std::optional<unsigned> new_file_mode = std::nullopt;
};

// How a save went, once the new content is in place.
struct SaveReport {
  // What went wrong without undoing the save (such as the folder not being flushed to disk, or
  // the replaced text not being kept), each a sentence that names the path and the reason.
  std::vector<std::string> warnings;
  // The file was written over in place rather than replaced (see AtomicWriter): a crash during
  // the save could have left it damaged.
  bool in_place = false;
  // Where the replaced text was kept; empty when nothing was kept.
  std::filesystem::path kept_version;
  // Why the replaced text was not kept although the history was asked for: the history folder's
  // path and the reason (it cannot be made, belongs to another user, lets others change it...),
  // for the caller to put in its own words. `warnings` holds it as an English sentence too.
  std::optional<std::string> history_not_kept;
};

// What saving to a path would meet, links followed as a save follows them.
struct FileFacts {
  bool exists = false;
  bool read_only = false;        // exists and may not be written (see ReadOnlyFile)
  bool folder_writable = false;  // a new file can be made beside it
  // Where the folder takes no new file, a save writes it over in place instead (see AtomicWriter).
  bool writable_in_place = false;
};

// Looks at the file a save to `path` would replace. Error 75 when even that cannot be told.
Result<FileFacts> InspectFile(const std::filesystem::path& path);

// Makes SIGTERM, SIGINT and SIGHUP remove the temporary files of the saves under way before they
// end the process as they otherwise would. Signals the process ignores stay ignored. On Windows,
// the console's control events do (Ctrl+C, Ctrl+Break, closing it, logging off, shutting down).
void RemoveTemporaryFilesOnTermination();

// Replaces a regular file as a whole. The new content goes to a temporary file in the same
// folder, private to the caller until Commit() gives it the old file's owner, group, permissions
// and access lists, flushes it and renames it over the file. Until then the file is untouched,
// and a writer that is dropped or fails leaves nothing behind; a killed one leaves nothing or a
// hidden temporary file that a later save of the same file removes.
//
// Where the folder takes no new file (no write permission) or the old file's owner, group or
// access list cannot be given to a new one, the file is written over in place instead, which
// keeps all of them and its hard links, once the space for the new content is reserved. A file
// that cannot be written in place either is refused with the reason.
//
// On Windows the new file takes the old one's access list, attributes and creation time and is
// renamed over it with MoveFileExW, whose failure leaves the old file as it was; nothing is ever
// written in place. A file that another program holds open cannot be replaced there, and is
// refused with the system's reason before anything is touched.
class AtomicWriter {
 public:
  // Prepares to replace `path`. Symbolic links are followed, so a link's target is replaced (but
  // not anyone's link in a shared folder, whichever component of `path` it is; see OpenParent in
  // file_system_posix.h). A read-only file is refused unless `options` allow.
  static Result<AtomicWriter> Open(const std::filesystem::path& path,
                                   const SaveOptions& options = {});

  AtomicWriter(AtomicWriter&& other) noexcept;
  AtomicWriter& operator=(AtomicWriter&&) = delete;
  ~AtomicWriter();

  // Appends `bytes` to the new content.
  Status Write(std::span<const char> bytes);

  // Flushes the new content to disk, puts it in place of the file and flushes the folder. Just
  // before the file is touched, `still_valid` (when given) is asked; its error cancels the save.
  // Once the new content is in place, what still fails is a warning, not an error.
  Result<SaveReport> Commit(const std::function<Status()>& still_valid = {});

 private:
  struct State;

  explicit AtomicWriter(std::unique_ptr<State> state);

  std::unique_ptr<State> state_;
};

}  // namespace tallivan

#endif  // TALLIVAN_STORAGE_ATOMIC_WRITER_H_
