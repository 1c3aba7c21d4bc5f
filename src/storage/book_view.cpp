#include "storage/book_view.h"

#include <utility>

namespace tallivan {

BookView::BookView(BookSource source) : source_(std::move(source)) {}

Result<BookView> BookView::Open(const std::filesystem::path& path) {
  Result<BookSource> source = BookSource::Open(path);
  if (!source) return source.error();
  return Read(std::move(source).value());
}

Result<BookView> BookView::FromFd(int fd, const std::string& name) {
  Result<BookSource> source = BookSource::Adopt(fd, name);
  if (!source) return source.error();
  return Read(std::move(source).value());
}

}  // namespace tallivan
