#ifndef TALLIVAN_STORAGE_BOOK_VIEW_H_
#define TALLIVAN_STORAGE_BOOK_VIEW_H_

#include <filesystem>
#include <string>
#include <string_view>

#include "runtime/error.h"

namespace tallivan {

// A book's text for reading, with LoadBook's errors. A regular file is mapped into memory rather
// than copied, which keeps even a book of many megabytes quick to open; anything else, such as a
// pipe, is read. A mapped file must not be cut shorter while the view lives.
class BookView {
 public:
  // Opens the book at `path`.
  static Result<BookView> Open(const std::filesystem::path& path);

  // Takes the book from the open file `fd` (which stays open); `name` stands for it in errors.
  static Result<BookView> FromFd(int fd, const std::string& name);

  BookView(BookView&& other) noexcept;
  BookView& operator=(BookView&&) = delete;
  ~BookView();

  // The whole text.
  std::u16string_view text() const { return mapped_ != nullptr ? mapped_text_ : read_; }

 private:
  BookView() = default;

  void* mapped_ = nullptr;
  size_t mapped_bytes_ = 0;
  std::u16string_view mapped_text_;
  std::u16string read_;
};

}  // namespace tallivan

#endif  // TALLIVAN_STORAGE_BOOK_VIEW_H_
