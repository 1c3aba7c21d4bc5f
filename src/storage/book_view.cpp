#include "storage/book_view.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <memory>
#include <utility>

#include "storage/atomic_writer.h"
#include "storage/book_file.h"

namespace tallivan {
namespace {

constexpr size_t kCopyBuffer = size_t{1} << 20;

// Copies what `from` holds up to its end into `to`; 0 or the errno that stopped it.
int CopyToEnd(int from, int to) {
  std::unique_ptr<char[]> buffer(new char[kCopyBuffer]);
  for (;;) {
    const ssize_t got = read(from, buffer.get(), kCopyBuffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return errno;
    if (got == 0) return 0;
    if (const int error_number = WriteFully(to, {buffer.get(), static_cast<size_t>(got)});
        error_number != 0) {
      return error_number;
    }
  }
}

}  // namespace

Result<BookView> BookView::Open(const std::filesystem::path& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return ReadError(path.string(), errno);
  Result<BookView> view = FromFd(fd, path.string());
  close(fd);
  return view;
}

Result<BookView> BookView::FromFd(int fd, const std::string& name) {
  struct stat st {};
  const bool known = fstat(fd, &st) == 0;
  if (std::endian::native == std::endian::little && known && S_ISREG(st.st_mode) &&
      st.st_size > 0 && st.st_size % 2 == 0) {
    const auto bytes = static_cast<size_t>(st.st_size);
    void* mapped = mmap(nullptr, bytes, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    if (mapped != MAP_FAILED) {
      madvise(mapped, bytes, MADV_SEQUENTIAL);
      BookView view;
      view.mapped_ = mapped;
      view.mapped_bytes_ = bytes;
      view.mapped_text_ = std::u16string_view(static_cast<const char16_t*>(mapped), bytes / 2);
      return view;
    }
  }
  if (known && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
    // A pipe goes into an in-memory file first, which then maps like any other.
    if (const int copy = memfd_create("book", MFD_CLOEXEC); copy >= 0) {
      int error_number = CopyToEnd(fd, copy);
      if (error_number == 0 && lseek(copy, 0, SEEK_SET) != 0) error_number = errno;
      Result<BookView> view =
          error_number == 0 ? FromFd(copy, name) : ReadError(name, error_number);
      close(copy);
      return view;
    }
  }
  // Everything else, errors included, goes the way LoadBook goes.
  Result<std::u16string> text = ReadBook(fd, name);
  if (!text) return text.error();
  BookView view;
  view.read_ = std::move(text).value();
  return view;
}

BookView::BookView(BookView&& other) noexcept
    : mapped_(std::exchange(other.mapped_, nullptr)),
      mapped_bytes_(std::exchange(other.mapped_bytes_, 0)),
      mapped_text_(std::exchange(other.mapped_text_, {})),
      read_(std::move(other.read_)) {}

BookView::~BookView() {
  if (mapped_ != nullptr) munmap(mapped_, mapped_bytes_);
}

}  // namespace tallivan
