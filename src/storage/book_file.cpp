#include "storage/book_file.h"

#include <algorithm>
#include <bit>
#include <new>
#include <span>
#include <stdexcept>
#include <utility>

#include "storage/atomic_writer.h"
#include "storage/file_io.h"

namespace tallivan {
namespace {

constexpr size_t kMinReadUnits = size_t{1} << 15;
// How often a book that keeps changing under a load is read before the load gives up.
constexpr int kLoadAttempts = 3;

// Reads `fd` to its end into `text`, which is sized to `hint` units at first and doubled when
// full. Returns 0 or the error number that stopped it; `bytes` tells how many bytes arrived.
int ReadToEnd(int fd, size_t hint, std::u16string& text, size_t& bytes) {
  text.resize(std::max(hint, kMinReadUnits));
  bytes = 0;
  for (;;) {
    if (bytes == text.size() * sizeof(char16_t)) text.resize(text.size() * 2);
    const size_t capacity = text.size() * sizeof(char16_t);
    char* buffer = reinterpret_cast<char*>(text.data());
    size_t got = 0;
    if (const int error_number = ReadSome(fd, {buffer + bytes, capacity - bytes}, got);
        error_number != 0) {
      return error_number;
    }
    if (got == 0) return 0;
    bytes += got;
  }
}

}  // namespace

BookSource::BookSource(int fd, bool owned, std::string name)
    : fd_(fd), owned_(owned), name_(std::move(name)) {}

BookSource::BookSource(BookSource&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      owned_(std::exchange(other.owned_, false)),
      name_(std::move(other.name_)),
      path_(std::move(other.path_)),
      stamp_(other.stamp_) {}

BookSource::~BookSource() { CloseFile(); }

Error ReadError(const std::string& name, int error_number) {
  return Error{IsNotFound(error_number) ? ErrorNumber::kFileNotFound : ErrorNumber::kFileAccess,
               "Cannot read \"" + name + "\": " + SystemErrorText(error_number)};
}

Error OddLengthError(const std::string& name, uint64_t bytes) {
  return Error{ErrorNumber::kBadFileLength,
               "Cannot read \"" + name + "\": its length (" + std::to_string(bytes) +
                   (bytes == 1 ? " byte" : " bytes") + ") is odd, so it is not UTF-16 text"};
}

Error ChangedError(const std::string& name) {
  return Error{ErrorNumber::kFileAccess,
               "Cannot read \"" + name + "\": another program changed it while it was being read"};
}

Result<std::u16string> LoadBookFile(const std::filesystem::path& path) {
  for (int attempt = 0; attempt < kLoadAttempts; ++attempt) {
    Result<BookSource> source = BookSource::Open(path);
    if (!source) return source.error();
    Result<std::u16string> text = ReadBook(source.value().fd(), source.value().name());
    if (!text || source.value().Unchanged().ok()) return text;
  }
  return ChangedError(PathUtf8(path));
}

Result<std::u16string> ReadBook(int fd, const std::string& name) {
  size_t hint = 0;
  if (const std::optional<uint64_t> left = BytesLeft(fd)) {
    if (*left % 2 != 0) return OddLengthError(name, *left);
    // One unit more than the file holds, so that the read after the whole book sees its end.
    hint = static_cast<size_t>(*left / 2 + 1);
  }
  std::u16string text;
  size_t bytes = 0;
  try {
    if (int error_number = ReadToEnd(fd, hint, text, bytes); error_number != 0) {
      return ReadError(name, error_number);
    }
  } catch (const std::bad_alloc&) {
    return Error{ErrorNumber::kFileAccess, "Cannot read \"" + name + "\": not enough memory"};
  } catch (const std::length_error&) {
    return Error{ErrorNumber::kFileAccess,
                 "Cannot read \"" + name + "\": it is too large to hold in memory"};
  }
  if (bytes % 2 != 0) return OddLengthError(name, bytes);
  text.resize(bytes / 2);
  if constexpr (std::endian::native == std::endian::big) {
    for (char16_t& unit : text) unit = static_cast<char16_t>((unit >> 8) | (unit << 8));
  }
  return text;
}

Result<SaveReport> SaveBookFile(const std::filesystem::path& path, std::u16string_view text,
                                const SaveOptions& options) {
  Result<AtomicWriter> writer = AtomicWriter::Open(path, options);
  if (!writer) return writer.error();
  std::u16string swapped;
  if constexpr (std::endian::native == std::endian::big) {
    swapped = text;
    for (char16_t& unit : swapped) unit = static_cast<char16_t>((unit >> 8) | (unit << 8));
    text = swapped;
  }
  Status written = writer.value().Write(
      {reinterpret_cast<const char*>(text.data()), text.size() * sizeof(char16_t)});
  if (!written) return written.error();
  return writer.value().Commit();
}

}  // namespace tallivan
