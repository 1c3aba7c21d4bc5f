#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "storage/book_file.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;

// How long a stamp waits at most for the clock to move past a change just made (see Stamp).
constexpr int kMaxStampWaits = 100;

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

}  // namespace

Result<BookSource> BookSource::Open(const fs::path& path) {
  // Opening a FIFO without O_NONBLOCK would wait for a writer, and a device may do anything.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return ReadError(path.string(), errno);
  BookSource source(fd, true, path.string());
  struct stat st {};
  if (fstat(fd, &st) != 0) return ReadError(source.name_, errno);
  if (S_ISDIR(st.st_mode)) return ReadError(source.name_, EISDIR);
  if (!S_ISREG(st.st_mode)) {
    return Error{ErrorNumber::kFileAccess,
                 "Cannot read \"" + source.name_ + "\": not a regular file"};
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

void BookSource::CloseFile() {
  if (owned_ && fd_ >= 0) close(std::exchange(fd_, -1));
}

Status BookSource::Unchanged() const {
  if (!stamp_) return {};
  struct stat st {};
  if (fd_ >= 0 && (fstat(fd_, &st) != 0 || StampOf(st) != *stamp_)) return ChangedError(name_);
  if (!path_.empty() &&
      (stat(path_.c_str(), &st) != 0 || st.st_ino != stamp_->inode ||
       static_cast<uint64_t>(st.st_dev) != stamp_->device || (fd_ < 0 && StampOf(st) != *stamp_))) {
    return ChangedError(name_);
  }
  return {};
}

}  // namespace tallivan
