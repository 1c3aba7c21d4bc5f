#include "storage/file_system_posix.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <system_error>

namespace tallivan::posix {
namespace {

namespace fs = std::filesystem;

constexpr int kMaxLinkHops = 40;
constexpr size_t kCopyChunk = size_t{1} << 20;

// Reads `bytes.size()` bytes at `offset`, going on after short reads; the count read (less only at
// the end of the file), or -1 with errno.
ssize_t ReadAt(int fd, std::span<char> bytes, uint64_t offset) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t got =
        pread(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return static_cast<ssize_t>(done);
}

}  // namespace

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

Fd::~Fd() { Close(); }

int Fd::Close() {
  if (fd_ < 0) return 0;
  const int result = close(std::exchange(fd_, -1));
  return result == 0 || errno == EINTR ? 0 : errno;
}

std::string Reason(int error_number) { return std::system_category().message(error_number); }

std::string Quoted(const fs::path& path) {
  std::string quoted(1, '"');
  quoted.append(path.string()).push_back('"');
  return quoted;
}

Error SaveError(const fs::path& path, const std::string& reason) {
  return Error{kErrFileAccess, "Cannot save " + Quoted(path) + ": " + reason};
}

Error SaveError(const fs::path& path, const std::string& what, int error_number) {
  return SaveError(path, (what.empty() ? "" : what + ": ") + Reason(error_number));
}

Result<fs::path> FollowLinks(const fs::path& path) {
  fs::path at = path;
  for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
    struct stat link {};
    if (lstat(at.c_str(), &link) != 0) {
      if (errno == ENOENT) return at;
      return Error{kErrFileAccess, Reason(errno)};
    }
    if (!S_ISLNK(link.st_mode)) return at;
    const fs::path folder = at.has_parent_path() ? at.parent_path() : ".";
    struct stat shared {};
    if (stat(folder.c_str(), &shared) != 0) return Error{kErrFileAccess, Reason(errno)};
    if ((shared.st_mode & S_ISVTX) != 0 && (shared.st_mode & S_IWOTH) != 0 &&
        link.st_uid != geteuid() && link.st_uid != shared.st_uid) {
      return Error{kErrFileAccess,
                   "it is a symbolic link that another user made in the shared folder " +
                       Quoted(folder) + ", and such links are not followed"};
    }
    std::string target(PATH_MAX + 1, '\0');
    const ssize_t length = readlink(at.c_str(), target.data(), target.size());
    if (length < 0) return Error{kErrFileAccess, Reason(errno)};
    if (static_cast<size_t>(length) >= target.size()) {
      return Error{kErrFileAccess, Reason(ENAMETOOLONG)};
    }
    target.resize(static_cast<size_t>(length));
    const fs::path next(target);
    at = next.is_absolute() ? next : at.parent_path() / next;
  }
  return Error{kErrFileAccess, Reason(ELOOP)};
}

std::pair<fs::path, std::string> SplitPath(const fs::path& path) {
  return {path.parent_path(), path.filename().string()};
}

int OpenFolder(const fs::path& folder) {
  return open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

bool IsReadOnly(int dir_fd, const char* name, const struct stat& st) {
  return (st.st_mode & 0222) == 0 || faccessat(dir_fd, name, W_OK, AT_EACCESS) != 0;
}

int CopyContent(int from, int to, uint64_t bytes) {
  std::unique_ptr<char[]> buffer(new char[kCopyChunk]);
  for (uint64_t at = 0; at < bytes;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kCopyChunk, bytes - at));
    const ssize_t got = ReadAt(from, {buffer.get(), want}, at);
    if (got < 0) return errno;
    if (got == 0) return ENODATA;
    for (size_t done = 0; done < static_cast<size_t>(got);) {
      const ssize_t put = pwrite(to, buffer.get() + done, static_cast<size_t>(got) - done,
                                 static_cast<off_t>(at + done));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) return put < 0 ? errno : ENOSPC;
      done += static_cast<size_t>(put);
    }
    at += static_cast<uint64_t>(got);
  }
  return 0;
}

std::optional<bool> SameContent(int a, int b, uint64_t bytes) {
  std::unique_ptr<char[]> left(new char[kCopyChunk]), right(new char[kCopyChunk]);
  // The first piece is small: texts that differ mostly differ early.
  size_t piece = 4096;
  for (uint64_t at = 0; at < bytes; at += piece, piece = kCopyChunk) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(piece, bytes - at));
    const ssize_t got_a = ReadAt(a, {left.get(), want}, at);
    const ssize_t got_b = ReadAt(b, {right.get(), want}, at);
    if (got_a < 0 || got_b < 0) return std::nullopt;
    if (got_a != got_b || std::memcmp(left.get(), right.get(), static_cast<size_t>(got_a)) != 0) {
      return false;
    }
    if (static_cast<size_t>(got_a) < want) return true;
  }
  return true;
}

mode_t DefaultFileMode() {
  // The kernel tells the umask without changing it; umask() itself can only be read by setting
  // it, which another thread creating a file at that moment would notice.
  if (FILE* status = std::fopen("/proc/self/status", "re")) {
    char line[256];
    unsigned mask = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, status) != nullptr) {
      found = std::sscanf(line, "Umask: %o", &mask) == 1;
    }
    std::fclose(status);
    if (found) return 0666 & ~static_cast<mode_t>(mask);
  }
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  const mode_t mask = umask(077);
  umask(mask);
  return 0666 & ~mask;
}

int64_t NowSeconds() { return static_cast<int64_t>(std::time(nullptr)); }

}  // namespace tallivan::posix
