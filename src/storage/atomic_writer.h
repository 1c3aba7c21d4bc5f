#ifndef TALLIVAN_STORAGE_ATOMIC_WRITER_H_
#define TALLIVAN_STORAGE_ATOMIC_WRITER_H_

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "runtime/error.h"

namespace tallivan {

// Writes all of `bytes` to `fd`, going on after short writes and interrupted calls; 0 or the errno
// that stopped it (ENOSPC when nothing more goes in).
int WriteFully(int fd, std::span<const char> bytes);

// Whether a save may replace a file that is read-only (no write permission for anyone, or not for
// the caller); the user made it so to protect it.
enum class ReadOnlyFile { kRefuse, kReplace };

// How a file is to be replaced.
struct SaveOptions {
  ReadOnlyFile read_only = ReadOnlyFile::kRefuse;
  // Permission bits of a file that does not exist yet; nullopt: 0666 less the umask.
  std::optional<unsigned> new_file_mode;
};

// How a save went, once the new content is in place.
struct SaveReport {
  // What went wrong without undoing the save (such as the folder not being flushed to disk), each
  // a sentence that names the path and the reason.
  std::vector<std::string> warnings;
};

// What saving to a path would meet, links followed as a save follows them.
struct FileFacts {
  bool exists = false;
  bool read_only = false;        // exists and may not be written (see ReadOnlyFile)
  bool folder_writable = false;  // a new file can be made beside it
};

// Looks at the file a save to `path` would replace. Error 75 when even that cannot be told.
Result<FileFacts> InspectFile(const std::filesystem::path& path);

// Replaces a regular file as a whole: the new content goes to a temporary file in the same
// folder, which Commit() syncs and renames over the file. Until then the file is untouched, and a
// writer that is dropped or fails removes its temporary file.
class AtomicWriter {
 public:
  // Prepares to replace `path`. A symbolic link is followed, so its target is replaced. The new
  // file keeps the old one's permission bits. A read-only file is refused unless `options` allow.
  static Result<AtomicWriter> Open(const std::filesystem::path& path,
                                   const SaveOptions& options = {});

  AtomicWriter(AtomicWriter&& other) noexcept;
  AtomicWriter& operator=(AtomicWriter&&) = delete;
  ~AtomicWriter();

  // Appends `bytes` to the new content.
  Status Write(std::span<const char> bytes);

  // Flushes the new content to disk, puts it in place of the file and flushes the folder. Once the
  // new content is in place, what still fails is a warning, not an error.
  Result<SaveReport> Commit();

 private:
  AtomicWriter(std::filesystem::path shown_path, std::string name, int dir_fd);

  // Drops the temporary file and makes the error for a failed step.
  Error Failure(const std::string& what, int error_number);
  void Discard();

  std::filesystem::path shown_path_;  // as the caller named it, for messages
  std::string name_;                  // the file's name inside its folder
  std::string temp_name_;
  int dir_fd_ = -1;
  int fd_ = -1;
};

}  // namespace tallivan

#endif  // TALLIVAN_STORAGE_ATOMIC_WRITER_H_
