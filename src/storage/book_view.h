#ifndef TALLIVAN_STORAGE_BOOK_VIEW_H_
#define TALLIVAN_STORAGE_BOOK_VIEW_H_

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "runtime/error.h"
#include "storage/book_file.h"

namespace tallivan {

// A book's text for reading, with LoadBook's errors. A regular file is mapped into memory rather
// than copied, which keeps even a book of many megabytes quick to open; anything else, such as a
// pipe, is read, as everything is on Windows. Should another program cut the mapped file shorter,
// the part cut off reads as zeros rather than ending the process, and Unchanged() tells.
class BookView {
 public:
  // Opens the book at `path` (a regular file; see BookSource::Open).
  static Result<BookView> Open(const std::filesystem::path& path);

  // Takes the book from the open file `fd` (which stays open) from where it stands; `name`
  // stands for it in errors.
  static Result<BookView> FromFd(int fd, const std::string& name);

  // Takes the book from `source`, from where it stands.
  static Result<BookView> Read(BookSource source);

  BookView(BookView&& other) noexcept;
  BookView& operator=(BookView&&) = delete;
  ~BookView();

  // The whole text.
  std::u16string_view text() const { return mapped_ != nullptr ? mapped_text_ : read_; }

  // ChangedError when another program changed the book since it was opened.
  Status Unchanged() const;

 private:
  explicit BookView(BookSource source);

  // Maps `fd` from byte `from` to byte `to`; false when it cannot be mapped.
  bool Map(int fd, uint64_t from, uint64_t to);

  BookSource source_;
  void* mapped_ = nullptr;
  size_t mapped_bytes_ = 0;
  int guard_ = -1;  // the slot that keeps a cut-short mapping from ending the process
  std::u16string_view mapped_text_;
  std::u16string read_;
};

}  // namespace tallivan

#endif  // TALLIVAN_STORAGE_BOOK_VIEW_H_
