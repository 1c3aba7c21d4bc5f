#include "storage/file_system_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <vector>

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

// The folder above `folder`, a path without links.
fs::path Up(const fs::path& folder) {
  if (folder.empty() || folder.filename() == "..") return folder / "..";
  return folder.has_relative_path() ? folder.parent_path() : folder;
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
  return Error{ErrorNumber::kFileAccess, "Cannot save " + Quoted(path) + ": " + reason};
}

Error SaveError(const fs::path& path, const std::string& what, int error_number) {
  return SaveError(path, (what.empty() ? "" : what + ": ") + Reason(error_number));
}

Result<ParentFolder> OpenParent(const fs::path& path) {
  const auto failed = [](int error_number) {
    return Error{error_number == ENOENT ? ErrorNumber::kFileNotFound : ErrorNumber::kFileAccess,
                 Reason(error_number)};
  };
  ParentFolder parent;
  std::deque<std::string> rest;  // the components still to walk
  const auto start_at = [&](const fs::path& route) {
    std::vector<std::string> components;
    for (const fs::path& component : route.relative_path()) {
      if (!component.empty()) components.push_back(component.string());
    }
    rest.insert(rest.begin(), components.begin(), components.end());
    if (!route.is_absolute()) return true;
    parent.folder = Fd(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    parent.path = "/";
    return parent.folder.ok();
  };
  parent.folder = Fd(open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!parent.folder.ok() || !start_at(path)) return failed(errno);
  for (int hops = 0; !rest.empty();) {
    std::string name = std::move(rest.front());
    rest.pop_front();
    const bool last = rest.empty();
    if (last && (name == "." || name == "..")) {
      parent.name = std::move(name);
      return parent;
    }
    if (name == ".") continue;
    if (name == "..") {
      parent.folder = Fd(openat(parent.folder.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
      if (!parent.folder.ok()) return failed(errno);
      parent.path = Up(parent.path);
      continue;
    }
    Fd entry(openat(parent.folder.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!entry.ok()) {
      if (errno != ENOENT || !last) return failed(errno);
      parent.name = std::move(name);
      return parent;
    }
    if (fstat(entry.get(), &st) != 0) return failed(errno);
    if (S_ISLNK(st.st_mode)) {
      if (++hops > kMaxLinkHops) return failed(ELOOP);
      struct stat shared {};
      if (fstat(parent.folder.get(), &shared) != 0) return failed(errno);
      if ((shared.st_mode & S_ISVTX) != 0 && (shared.st_mode & S_IWOTH) != 0 &&
          st.st_uid != geteuid() && st.st_uid != shared.st_uid) {
        return Error{ErrorNumber::kFileAccess,
                     "it is a symbolic link that another user made in the shared folder " +
                         Quoted(parent.path.empty() ? "." : parent.path) +
                         ", and such links are not followed"};
      }
      std::string target(PATH_MAX + 1, '\0');
      const ssize_t length = readlinkat(entry.get(), "", target.data(), target.size());
      if (length < 0) return failed(errno);
      if (length == 0) return failed(ENOENT);
      if (static_cast<size_t>(length) >= target.size()) return failed(ENAMETOOLONG);
      target.resize(static_cast<size_t>(length));
      if (!start_at(target)) return failed(errno);
      continue;
    }
    if (last) {
      parent.name = std::move(name);
      return parent;
    }
    if (!S_ISDIR(st.st_mode)) return failed(ENOTDIR);
    parent.folder = std::move(entry);
    parent.path /= name;
  }
  // Nothing but the root, or a link to it.
  return parent;
}

std::vector<std::string> NamesIn(int dir_fd) {
  std::vector<std::string> names;
  const int listed = dup(dir_fd);
  DIR* dir = listed >= 0 ? fdopendir(listed) : nullptr;
  if (dir == nullptr) {
    if (listed >= 0) close(listed);
    return names;
  }
  // The copy shares its position with `dir_fd`, which an earlier listing may have moved.
  rewinddir(dir);
  while (const dirent* entry = readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  closedir(dir);
  return names;
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
