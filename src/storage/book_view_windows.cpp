// On Windows a book is read into memory rather than mapped: touching a mapped page of a file on a
// share that went away raises an exception that only structured exception handling could catch.
#include <utility>

#include "storage/book_view.h"

namespace tallivan {

Result<BookView> BookView::Read(BookSource source) {
  BookView view(std::move(source));
  Result<std::u16string> text = ReadBook(view.source_.fd(), view.source_.name());
  if (!text) return text.error();
  view.read_ = std::move(text).value();
  view.source_.CloseFile();
  return view;
}

BookView::BookView(BookView&& other) noexcept
    : source_(std::move(other.source_)), read_(std::move(other.read_)) {}

BookView::~BookView() = default;

Status BookView::Unchanged() const { return source_.Unchanged(); }

}  // namespace tallivan
