#include "storage/history_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>

#include "storage/file_system_posix.h"
#include "storage/history.h"

namespace tallivan {
namespace posix {
namespace {

namespace fs = std::filesystem;

constexpr char kHistorySuffix[] = ".history";
constexpr int kMaxSequence = 999;

// The folder's permission bits for a book with `book_mode`: the book's own, where a read bit
// brings the matching search bit; the owner may always use it.
mode_t FolderMode(mode_t book_mode) {
  mode_t mode = (book_mode & 0777) | 0700;
  if ((mode & 040) != 0) mode |= 010;
  if ((mode & 04) != 0) mode |= 01;
  return mode;
}

// Gives `fd`, whose status is `now` and which the caller owns, the owner and group of the book
// `book` where it can (the owner only when the caller is privileged) and the permission bits
// `mode`. Where the group cannot be given, the group gets no permission rather than some other
// group getting the book's.
void MakePrivateLike(int fd, const struct stat& now, const struct stat& book, mode_t mode) {
  const bool given =
      (now.st_uid == book.st_uid && now.st_gid == book.st_gid) ||
      fchown(fd, book.st_uid, book.st_gid) == 0 ||
      (now.st_gid == book.st_gid || fchown(fd, static_cast<uid_t>(-1), book.st_gid) == 0);
  if (!given) mode &= ~mode_t{070};
  if ((now.st_mode & 07777) != mode) fchmod(fd, mode);
}

// The names in the folder `dir_fd` that are versions and regular files.
std::vector<std::string> VersionNames(int dir_fd) {
  std::vector<std::string> names;
  const int listed = dup(dir_fd);
  DIR* dir = listed >= 0 ? fdopendir(listed) : nullptr;
  if (dir == nullptr) {
    if (listed >= 0) close(listed);
    return names;
  }
  rewinddir(dir);
  while (const dirent* entry = readdir(dir)) {
    struct stat st {};
    if (ParseVersionName(entry->d_name) &&
        fstatat(dir_fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
      names.emplace_back(entry->d_name);
    }
  }
  closedir(dir);
  return names;
}

// Copies the file `name` in `dir_fd` into the new file `version` in `history_fd`; 0, EEXIST when
// `version` exists, or the errno that stopped it.
int CopyVersion(int dir_fd, const std::string& name, int history_fd, const std::string& version,
                const struct stat& book) {
  Fd copy(openat(history_fd, version.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                 0600));
  if (!copy.ok()) return errno;
  Fd from(openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  int error_number = 0;
  if (!from.ok() || fstat(from.get(), &st) != 0) {
    error_number = errno;
  } else if ((error_number = CopyContent(from.get(), copy.get(), st.st_size)) == 0) {
    struct stat mine {};
    fstat(copy.get(), &mine);
    MakePrivateLike(copy.get(), mine, book, book.st_mode & 0777);
    if (fsync(copy.get()) != 0) error_number = errno;
  }
  if (error_number == 0) error_number = copy.Close();
  if (error_number != 0) unlinkat(history_fd, version.c_str(), 0);
  return error_number == EEXIST ? EIO : error_number;
}

}  // namespace

Result<fs::path> KeepVersion(int dir_fd, const fs::path& folder, const std::string& name,
                             const struct stat& book, VersionCopy how, int64_t now) {
  const std::string history_name = name + kHistorySuffix;
  const fs::path history = folder / history_name;
  const auto failed = [&](int error_number) {
    return Error{kErrFileAccess, "the text it replaced could not be kept in " + Quoted(history) +
                                     ": " + Reason(error_number)};
  };
  const bool made = mkdirat(dir_fd, history_name.c_str(), 0700) == 0;
  if (!made && errno != EEXIST) return failed(errno);
  Fd history_fd(
      openat(dir_fd, history_name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st {};
  if (!history_fd.ok() || fstat(history_fd.get(), &st) != 0) return failed(errno);
  if (st.st_uid == geteuid()) MakePrivateLike(history_fd.get(), st, book, FolderMode(book.st_mode));
  for (int sequence = 1; sequence <= kMaxSequence; ++sequence) {
    const std::string version = VersionName({now, sequence});
    int error_number = 0;
    if (how == VersionCopy::kLinkOrCopy &&
        linkat(dir_fd, name.c_str(), history_fd.get(), version.c_str(), 0) == 0) {
      return history / version;
    }
    error_number = how == VersionCopy::kCopy ? EPERM : errno;
    if (error_number == EXDEV || error_number == EPERM || error_number == EMLINK ||
        error_number == EOPNOTSUPP) {
      error_number = CopyVersion(dir_fd, name, history_fd.get(), version, book);
      if (error_number == 0) {
        // A copy must outlive a crash of the save that follows, which may write over the book.
        if (fsync(history_fd.get()) != 0 || (made && fsync(dir_fd) != 0)) return failed(errno);
        return history / version;
      }
    }
    if (error_number != EEXIST) return failed(error_number);
  }
  return failed(EEXIST);
}

std::vector<std::string> PruneHistory(const fs::path& version, int64_t now) {
  std::vector<std::string> warnings;
  Fd history_fd(OpenFolder(version.parent_path()));
  if (!history_fd.ok()) return warnings;
  for (const std::string& name : VersionsToPrune(VersionNames(history_fd.get()), now)) {
    if (unlinkat(history_fd.get(), name.c_str(), 0) != 0 && errno != ENOENT) {
      warnings.push_back("The old version " + Quoted(version.parent_path() / name) +
                         " could not be removed: " + Reason(errno));
    }
  }
  return warnings;
}

}  // namespace posix

Result<std::filesystem::path> HistoryFolder(const std::filesystem::path& path) {
  Result<std::filesystem::path> target = posix::FollowLinks(path);
  if (!target) return target.error();
  const auto [folder, name] = posix::SplitPath(target.value());
  return folder / (name + posix::kHistorySuffix);
}

Result<std::vector<Version>> ListVersions(const std::filesystem::path& path) {
  Result<std::filesystem::path> folder = HistoryFolder(path);
  const auto failed = [&](const std::string& reason) {
    return Error{kErrFileAccess,
                 "Cannot read the history of " + posix::Quoted(path) + ": " + reason};
  };
  if (!folder) return failed(folder.error().description);
  std::vector<Version> versions;
  posix::Fd dir_fd(posix::OpenFolder(folder.value()));
  if (!dir_fd.ok()) {
    if (errno == ENOENT) return versions;
    return failed(posix::Reason(errno));
  }
  for (const std::string& name : posix::VersionNames(dir_fd.get())) {
    struct stat st {};
    if (fstatat(dir_fd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    versions.push_back(
        {folder.value() / name, *ParseVersionName(name), static_cast<uint64_t>(st.st_size)});
  }
  std::sort(versions.begin(), versions.end(),
            [](const Version& a, const Version& b) { return a.time < b.time; });
  return versions;
}

}  // namespace tallivan
