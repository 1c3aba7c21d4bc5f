#include "storage/atomic_writer.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <system_error>
#include <utility>

namespace tallivan {
namespace {

namespace fs = std::filesystem;

constexpr int kMaxLinkHops = 40;
constexpr int kMaxNameAttempts = 100;
constexpr size_t kMaxNameStem = 200;
constexpr size_t kMaxWriteChunk = size_t{1} << 30;

std::string Reason(int error_number) { return std::system_category().message(error_number); }

std::string Quoted(const fs::path& path) {
  std::string quoted(1, '"');
  quoted.append(path.string()).push_back('"');
  return quoted;
}

Error SaveError(const fs::path& path, const std::string& what, int error_number) {
  std::string description = "Cannot save " + Quoted(path) + ": ";
  if (!what.empty()) description += what + ": ";
  return Error{kErrFileAccess, description + Reason(error_number)};
}

// Follows symbolic links from `path` to the file they finally name, which need not exist yet.
// Returns 0 or the errno that stopped it.
int FollowLinks(fs::path& path) {
  for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return errno == ENOENT ? 0 : errno;
    if (!S_ISLNK(st.st_mode)) return 0;
    std::string target(PATH_MAX + 1, '\0');
    ssize_t length = readlink(path.c_str(), target.data(), target.size());
    if (length < 0) return errno;
    if (static_cast<size_t>(length) >= target.size()) return ENAMETOOLONG;
    target.resize(length);
    fs::path next(target);
    path = next.is_absolute() ? next : path.parent_path() / next;
  }
  return ELOOP;
}

// Whether the file `name` in `dir_fd`, whose status is `st`, is read-only: nobody may write it, or
// the caller may not.
bool IsReadOnly(int dir_fd, const char* name, const struct stat& st) {
  return (st.st_mode & 0222) == 0 || faccessat(dir_fd, name, W_OK, AT_EACCESS) != 0;
}

uint64_t SplitMix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

// A fresh name for a temporary file beside `name`, hidden and marked as such.
std::string TempName(const std::string& name) {
  static std::atomic<uint64_t> counter{0};
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  uint64_t bits =
      SplitMix(static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(now.tv_sec) << 30) ^
               (static_cast<uint64_t>(getpid()) << 16) ^ counter.fetch_add(1));
  static constexpr char kDigits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string suffix;
  for (int i = 0; i < 8; ++i, bits /= 36) suffix += kDigits[bits % 36];
  std::string temp(1, '.');
  temp.append(name, 0, kMaxNameStem).append(1, '.').append(suffix).append(".tmp");
  return temp;
}

}  // namespace

AtomicWriter::AtomicWriter(fs::path shown_path, std::string name, int dir_fd)
    : shown_path_(std::move(shown_path)), name_(std::move(name)), dir_fd_(dir_fd) {}

AtomicWriter::AtomicWriter(AtomicWriter&& other) noexcept
    : shown_path_(std::move(other.shown_path_)),
      name_(std::move(other.name_)),
      temp_name_(std::exchange(other.temp_name_, {})),
      dir_fd_(std::exchange(other.dir_fd_, -1)),
      fd_(std::exchange(other.fd_, -1)) {}

AtomicWriter::~AtomicWriter() {
  Discard();
  if (dir_fd_ >= 0) close(dir_fd_);
}

int WriteFully(int fd, std::span<const char> bytes) {
  while (!bytes.empty()) {
    const ssize_t written = write(fd, bytes.data(), std::min(bytes.size(), kMaxWriteChunk));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return written < 0 ? errno : ENOSPC;
    bytes = bytes.subspan(static_cast<size_t>(written));
  }
  return 0;
}

Result<FileFacts> InspectFile(const fs::path& path) {
  fs::path target = path;
  if (int error_number = FollowLinks(target); error_number != 0) {
    return SaveError(path, "", error_number);
  }
  fs::path folder = target.parent_path();
  if (folder.empty()) folder = ".";
  FileFacts facts;
  struct stat st {};
  if (lstat(target.c_str(), &st) == 0) {
    facts.exists = true;
    facts.read_only = IsReadOnly(AT_FDCWD, target.c_str(), st);
  } else if (errno != ENOENT) {
    return SaveError(path, "", errno);
  }
  facts.folder_writable = faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
  return facts;
}

Result<AtomicWriter> AtomicWriter::Open(const fs::path& path, const SaveOptions& options) {
  fs::path target = path;
  if (int error_number = FollowLinks(target); error_number != 0) {
    return SaveError(path, "", error_number);
  }
  std::string name = target.filename().string();
  if (name.empty() || name == "." || name == "..") return SaveError(path, "", EISDIR);
  fs::path folder = target.parent_path();
  if (folder.empty()) folder = ".";
  int dir_fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0) return SaveError(path, "", errno);
  AtomicWriter writer(path, std::move(name), dir_fd);

  struct stat old {};
  bool exists = fstatat(dir_fd, writer.name_.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
  if (!exists && errno != ENOENT) return writer.Failure("", errno);
  if (exists && S_ISDIR(old.st_mode)) return writer.Failure("", EISDIR);
  if (exists && !S_ISREG(old.st_mode)) {
    return Error{kErrFileAccess, "Cannot save " + Quoted(path) + ": not a regular file"};
  }
  if (exists && options.read_only == ReadOnlyFile::kRefuse &&
      IsReadOnly(dir_fd, writer.name_.c_str(), old)) {
    return Error{kErrFileAccess, "Cannot save " + Quoted(path) + ": it is read-only"};
  }
  const mode_t new_mode = options.new_file_mode ? *options.new_file_mode & 07777 : 0666;

  for (int attempt = 0; writer.fd_ < 0; ++attempt) {
    std::string temp_name = TempName(writer.name_);
    int fd = openat(dir_fd, temp_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, new_mode);
    if (fd >= 0) {
      writer.fd_ = fd;
      writer.temp_name_ = std::move(temp_name);
    } else if (errno != EEXIST || attempt + 1 >= kMaxNameAttempts) {
      return writer.Failure("", errno);
    }
  }
  if (exists) {
    if (old.st_uid != geteuid() || old.st_gid != getegid()) {
      // Only root may give the file back to its owner; anyone else's save keeps the new owner.
      [[maybe_unused]] int kept_owner = fchown(writer.fd_, old.st_uid, old.st_gid);
    }
    if (fchmod(writer.fd_, old.st_mode & 07777) != 0) return writer.Failure("", errno);
  } else if (options.new_file_mode && fchmod(writer.fd_, new_mode) != 0) {
    return writer.Failure("", errno);
  }
  return writer;
}

Status AtomicWriter::Write(std::span<const char> bytes) {
  if (fd_ < 0) return Failure("", EBADF);
  if (const int error_number = WriteFully(fd_, bytes); error_number != 0) {
    return Failure("", error_number);
  }
  return {};
}

Result<SaveReport> AtomicWriter::Commit() {
  if (fd_ < 0) return Failure("", EBADF);
  if (fsync(fd_) != 0) return Failure("flushing to disk failed", errno);
  int fd = std::exchange(fd_, -1);
  if (close(fd) != 0 && errno != EINTR) return Failure("", errno);
  if (renameat(dir_fd_, temp_name_.c_str(), dir_fd_, name_.c_str()) != 0) {
    return Failure("", errno);
  }
  temp_name_.clear();
  // The new content is in place now; what follows only makes the rename itself durable.
  SaveReport report;
  if (fsync(dir_fd_) != 0 && errno != EINVAL) {
    report.warnings.push_back("Saved " + Quoted(shown_path_) +
                              ", but its folder could not be flushed to disk: " + Reason(errno));
  }
  return report;
}

Error AtomicWriter::Failure(const std::string& what, int error_number) {
  Discard();
  return SaveError(shown_path_, what, error_number);
}

void AtomicWriter::Discard() {
  if (fd_ >= 0) close(std::exchange(fd_, -1));
  if (!temp_name_.empty()) unlinkat(dir_fd_, std::exchange(temp_name_, {}).c_str(), 0);
}

}  // namespace tallivan
