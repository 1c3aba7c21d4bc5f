#ifndef TALLIVAN_STORAGE_ATOMIC_WRITER_H_
#define TALLIVAN_STORAGE_ATOMIC_WRITER_H_

#include <filesystem>
#include <span>
#include <string>

#include "runtime/error.h"

namespace tallivan {

// Writes all of `bytes` to `fd`, going on after short writes and interrupted calls; 0 or the errno
// that stopped it (ENOSPC when nothing more goes in).
int WriteFully(int fd, std::span<const char> bytes);

// Replaces a regular file as a whole: the new content goes to a temporary file in the same
// folder, which Commit() syncs and renames over the file. Until then the file is untouched, and a
// writer that is dropped or fails removes its temporary file.
class AtomicWriter {
 public:
  // Prepares to replace `path`. A symbolic link is followed, so its target is replaced. The new
  // file keeps the old one's permission bits; a new file gets 0666 less the umask.
  static Result<AtomicWriter> Open(const std::filesystem::path& path);

  AtomicWriter(AtomicWriter&& other) noexcept;
  AtomicWriter& operator=(AtomicWriter&&) = delete;
  ~AtomicWriter();

  // Appends `bytes` to the new content.
  Status Write(std::span<const char> bytes);

  // Flushes the new content to disk, puts it in place of the file and flushes the folder.
  Status Commit();

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
