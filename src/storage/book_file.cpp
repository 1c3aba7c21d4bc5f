#include "storage/book_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <new>
#include <span>
#include <system_error>
#include <utility>

#include "storage/atomic_writer.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;

constexpr size_t kMinReadUnits = size_t{1} << 15;
constexpr size_t kMaxReadChunk = size_t{1} << 30;

Error OddLengthError(const std::string& name, uint64_t bytes) {
  return Error{kErrBadFileLength, "Cannot read \"" + name + "\": its length (" +
                                      std::to_string(bytes) +
                                      " bytes) is odd, so it is not UTF-16 text"};
}

[[maybe_unused]] void SwapBytes(std::span<char16_t> units) {
  for (char16_t& unit : units) unit = static_cast<char16_t>((unit >> 8) | (unit << 8));
}

class FdCloser {
 public:
  explicit FdCloser(int fd) : fd_(fd) {}
  FdCloser(const FdCloser&) = delete;
  FdCloser& operator=(const FdCloser&) = delete;
  ~FdCloser() { close(fd_); }

 private:
  int fd_;
};

// Reads `fd` to its end into `text`, which is sized to `hint` units at first and doubled when
// full. Returns 0 or the errno that stopped it; `bytes` tells how many bytes arrived.
int ReadToEnd(int fd, size_t hint, std::u16string& text, size_t& bytes) {
  text.resize(std::max(hint, kMinReadUnits));
  bytes = 0;
  for (;;) {
    if (bytes == text.size() * sizeof(char16_t)) text.resize(text.size() * 2);
    const size_t capacity = text.size() * sizeof(char16_t);
    char* buffer = reinterpret_cast<char*>(text.data());
    const ssize_t got = read(fd, buffer + bytes, std::min(capacity - bytes, kMaxReadChunk));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return errno;
    if (got == 0) return 0;
    bytes += static_cast<size_t>(got);
  }
}

}  // namespace

Error ReadError(const std::string& name, int error_number) {
  return Error{error_number == ENOENT ? kErrFileNotFound : kErrFileAccess,
               "Cannot read \"" + name + "\": " + std::system_category().message(error_number)};
}

Result<std::u16string> LoadBookFile(const fs::path& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return ReadError(path.string(), errno);
  FdCloser closer(fd);
  return ReadBook(fd, path.string());
}

Result<std::u16string> ReadBook(int fd, const std::string& name) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return ReadError(name, errno);
  if (S_ISDIR(st.st_mode)) return ReadError(name, EISDIR);
  size_t hint = 0;
  if (S_ISREG(st.st_mode)) {
    if (st.st_size % 2 != 0) return OddLengthError(name, st.st_size);
    // One unit more than the file holds, so that the read after the whole book sees its end.
    hint = static_cast<size_t>(st.st_size) / 2 + 1;
  }
  std::u16string text;
  size_t bytes = 0;
  try {
    if (int error_number = ReadToEnd(fd, hint, text, bytes); error_number != 0) {
      return ReadError(name, error_number);
    }
  } catch (const std::bad_alloc&) {
    return ReadError(name, ENOMEM);
  } catch (const std::length_error&) {
    return ReadError(name, EFBIG);
  }
  if (bytes % 2 != 0) return OddLengthError(name, bytes);
  text.resize(bytes / 2);
  if constexpr (std::endian::native == std::endian::big) SwapBytes(text);
  return text;
}

Result<SaveReport> SaveBookFile(const fs::path& path, std::u16string_view text,
                                const SaveOptions& options) {
  Result<AtomicWriter> writer = AtomicWriter::Open(path, options);
  if (!writer) return writer.error();
  std::u16string swapped;
  if constexpr (std::endian::native == std::endian::big) {
    swapped = text;
    SwapBytes(swapped);
    text = swapped;
  }
  Status written = writer.value().Write(
      {reinterpret_cast<const char*>(text.data()), text.size() * sizeof(char16_t)});
  if (!written) return written.error();
  return writer.value().Commit();
}

}  // namespace tallivan
