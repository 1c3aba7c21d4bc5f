#ifndef TALLIVAN_STORAGE_BOOK_FILE_H_
#define TALLIVAN_STORAGE_BOOK_FILE_H_

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "runtime/error.h"
#include "storage/atomic_writer.h"

namespace tallivan {

// The error for a book that cannot be read because of the system's error number `error_number`
// (see file_io.h): 53 when it does not exist, 75 otherwise; the description names `name` and the
// reason.
Error ReadError(const std::string& name, int error_number);

// The error for a book of `bytes` bytes, an odd number, which cannot be UTF-16 text (54).
Error OddLengthError(const std::string& name, uint64_t bytes);

// The error for a book that another program changed while it was being read (75).
Error ChangedError(const std::string& name);

// What tells whether a file changed: which file it is, its size, and when its content and its
// status last changed (nanoseconds).
struct FileStamp {
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t size = 0;
  int64_t modified_ns = 0;
  int64_t changed_ns = 0;

  friend bool operator==(const FileStamp&, const FileStamp&) = default;
};

// Where a book is read from: a book file, or an open file such as standard input. Tells
// afterwards whether another program changed it in the meantime.
class BookSource {
 public:
  // Opens the book at `path`, which must be a regular file: a FIFO or a device is refused at once
  // ("not a regular file"), without waiting for a writer or reading it. ReadError's errors.
  static Result<BookSource> Open(const std::filesystem::path& path);

  // Reads from `fd` (which stays open and is not closed; on Windows, a descriptor of the C
  // runtime), from where it stands; any kind of file.
  static Result<BookSource> Adopt(int fd, std::string name);

  BookSource(BookSource&& other) noexcept;
  BookSource& operator=(BookSource&&) = delete;
  ~BookSource();

  int fd() const { return fd_; }
  const std::string& name() const { return name_; }

  // Closes a file that Open() opened once it has been read, so that it no longer stands in the way
  // of replacing it (on Windows, an open file keeps others from renaming a file over it).
  // Unchanged() then tells from the file its path names.
  void CloseFile();

  // ChangedError when the file is no longer as it was when it was opened, or its path now names
  // another file. Always fine for a pipe, whose content cannot change once read.
  Status Unchanged() const;

 private:
  BookSource(int fd, bool owned, std::string name);

  int fd_ = -1;
  bool owned_ = false;
  std::string name_;
  std::filesystem::path path_;  // empty when adopted
  std::optional<FileStamp> stamp_;
};

// Reads the whole book at `path` as raw UTF-16LE code units.
// A book that changes while it is read is read again, and refused if it keeps changing. Error 53
// when it does not exist, 54 when its length is odd, 75 when it cannot be read; the description
// names the path and the reason.
Result<std::u16string> LoadBookFile(const std::filesystem::path& path);

// Reads a book from the open file `fd` to its end, from where it stands, as LoadBookFile does;
// `name` stands for the file in descriptions. `fd` stays open.
Result<std::u16string> ReadBook(int fd, const std::string& name);

// Replaces the book at `path` with `text` as raw UTF-16LE, atomically: either the whole new text
// is on disk or the old book is left as it was (see AtomicWriter, also for the cases where it is
// written in place). A symbolic link is written through to its target. Error 75, whose
// description names the path and the reason.
Result<SaveReport> SaveBookFile(const std::filesystem::path& path, std::u16string_view text,
                                const SaveOptions& options = {});

}  // namespace tallivan

#endif  // TALLIVAN_STORAGE_BOOK_FILE_H_
