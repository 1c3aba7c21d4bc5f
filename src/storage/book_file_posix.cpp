#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <new>
#include <span>
#include <utility>

#include "storage/book_file.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;

constexpr size_t kMinReadUnits = size_t{1} << 15;
constexpr size_t kMaxReadChunk = size_t{1} << 30;
// How often a book that keeps changing under a load is read before the load gives up.
constexpr int kLoadAttempts = 3;
// How long a stamp waits at most for the clock to move past a change just made (see Stamp).
constexpr int kMaxStampWaits = 100;

Error OddLengthError(const std::string& name, uint64_t bytes) {
  return Error{kErrBadFileLength, "Cannot read \"" + name + "\": its length (" +
                                      std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes") +
                                      ") is odd, so it is not UTF-16 text"};
}

int64_t Nanoseconds(const timespec& time) {
  return static_cast<int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

FileStamp StampOf(const struct stat& st) {
  return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
          static_cast<uint64_t>(st.st_size), Nanoseconds(st.st_mtim), Nanoseconds(st.st_ctim)};
}

// The stamp of `fd`, taken once the clock that stamps changes has moved past the file's last
// change: a change made later within the same tick would otherwise leave the stamp as it was.
int Stamp(int fd, FileStamp& stamp) {
  struct stat st {};
  for (int wait = 0;; ++wait) {
    if (fstat(fd, &st) != 0) return errno;
    timespec now{};
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    const int64_t last = std::max(Nanoseconds(st.st_mtim), Nanoseconds(st.st_ctim));
    if (last < Nanoseconds(now) || wait == kMaxStampWaits) break;
    const timespec pause{0, 1'000'000};
    nanosleep(&pause, nullptr);
  }
  stamp = StampOf(st);
  return 0;
}

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

BookSource::BookSource(int fd, bool owned, std::string name)
    : fd_(fd), owned_(owned), name_(std::move(name)) {}

BookSource::BookSource(BookSource&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      owned_(std::exchange(other.owned_, false)),
      name_(std::move(other.name_)),
      path_(std::move(other.path_)),
      stamp_(other.stamp_) {}

BookSource::~BookSource() {
  if (owned_) close(fd_);
}

Result<BookSource> BookSource::Open(const fs::path& path) {
  // Opening a FIFO without O_NONBLOCK would wait for a writer, and a device may do anything.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return ReadError(path.string(), errno);
  BookSource source(fd, true, path.string());
  struct stat st {};
  if (fstat(fd, &st) != 0) return ReadError(source.name_, errno);
  if (S_ISDIR(st.st_mode)) return ReadError(source.name_, EISDIR);
  if (!S_ISREG(st.st_mode)) {
    return Error{kErrFileAccess, "Cannot read \"" + source.name_ + "\": not a regular file"};
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  source.path_ = path;
  source.stamp_.emplace();
  if (const int error_number = Stamp(fd, *source.stamp_); error_number != 0) {
    return ReadError(source.name_, error_number);
  }
  return source;
}

Result<BookSource> BookSource::Adopt(int fd, std::string name) {
  BookSource source(fd, false, std::move(name));
  struct stat st {};
  if (fstat(fd, &st) != 0) return ReadError(source.name_, errno);
  if (S_ISDIR(st.st_mode)) return ReadError(source.name_, EISDIR);
  if (S_ISREG(st.st_mode)) {
    source.stamp_.emplace();
    if (const int error_number = Stamp(fd, *source.stamp_); error_number != 0) {
      return ReadError(source.name_, error_number);
    }
  }
  return source;
}

Status BookSource::Unchanged() const {
  if (!stamp_) return {};
  struct stat st {};
  if (fstat(fd_, &st) != 0 || StampOf(st) != *stamp_) return ChangedError(name_);
  if (!path_.empty() && (stat(path_.c_str(), &st) != 0 || st.st_ino != stamp_->inode ||
                         static_cast<uint64_t>(st.st_dev) != stamp_->device)) {
    return ChangedError(name_);
  }
  return {};
}

Result<std::u16string> LoadBookFile(const fs::path& path) {
  for (int attempt = 0; attempt < kLoadAttempts; ++attempt) {
    Result<BookSource> source = BookSource::Open(path);
    if (!source) return source.error();
    Result<std::u16string> text = ReadBook(source.value().fd(), path.string());
    if (!text || source.value().Unchanged().ok()) return text;
  }
  return ChangedError(path.string());
}

Result<std::u16string> ReadBook(int fd, const std::string& name) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return ReadError(name, errno);
  if (S_ISDIR(st.st_mode)) return ReadError(name, EISDIR);
  size_t hint = 0;
  if (S_ISREG(st.st_mode)) {
    const off_t at = std::max<off_t>(lseek(fd, 0, SEEK_CUR), 0);
    const auto left = static_cast<uint64_t>(std::max<off_t>(st.st_size - at, 0));
    if (left % 2 != 0) return OddLengthError(name, left);
    // One unit more than the file holds, so that the read after the whole book sees its end.
    hint = static_cast<size_t>(left / 2 + 1);
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
  if constexpr (std::endian::native == std::endian::big) {
    for (char16_t& unit : text) unit = static_cast<char16_t>((unit >> 8) | (unit << 8));
  }
  return text;
}

}  // namespace tallivan
