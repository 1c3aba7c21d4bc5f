#include "storage/history_posix.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>

#include "runtime/largest_book.h"
#include "storage/book_file.h"
#include "storage/file_attributes_posix.h"
#include "storage/history.h"
#include "storage/pending_files_posix.h"
#include "storage/safe_folder.h"

namespace tallivan {
namespace posix {
namespace {

namespace fs = std::filesystem;

constexpr char kHistorySuffix[] = ".history";
constexpr int kMaxSequence = 999;
constexpr uint16_t kWrite = 2;

// Why the history folder open as `fd`, whose status is `st`, is not to be used for a book whose
// status is `book` and whose access list is `book_list` (null for a book that is not there);
// nullopt when it may be. It must be the caller's (or, for a privileged caller, the book
// owner's), and let nobody change what is in it who may not change the book: what others put
// there could be taken for the owner's text, and what they take away is lost.
std::optional<std::string> WhyNotUsed(int fd, const struct stat& st, const struct stat* book,
                                      const AccessList* book_list) {
  const uid_t me = geteuid();
  if (st.st_uid != me && (me != 0 || book == nullptr || st.st_uid != book->st_uid)) {
    return "it belongs to another user, so it is not used";
  }
  const std::optional<AccessList> list = AccessListOf(fd, st);
  if (!list) return Reason(errno);
  const AccessList owner_only;  // grants nothing to anyone but the folder's owner
  if (GrantsBeyond(*list, st.st_uid, st.st_gid, book_list != nullptr ? *book_list : owner_only,
                   book != nullptr ? book->st_uid : st.st_uid,
                   book != nullptr ? book->st_gid : st.st_gid, kWrite)) {
    return "others who may not change the book may change what is in it, so it is not used";
  }
  return std::nullopt;
}

// Why the folder `name` in `dir_fd` could not be opened with `error_number`.
std::string OpenFailure(int dir_fd, const std::string& name, int error_number) {
  struct stat st {};
  if (fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
    return "it is a symbolic link, which is not followed here";
  }
  return Reason(error_number);
}

// Gives the file or folder `fd`, which the caller made, the owner and group of the book `book`
// where it can and `list`, made for the book's group; where that group cannot be given, its
// place gets nothing rather than some other group getting what the book's has.
int MakePrivateLike(int fd, const struct stat& book, const AccessList& list) {
  struct stat now {};
  if (fstat(fd, &now) != 0) return errno;
  return GiveAccessList(fd, GiveOwnerAndGroup(fd, now, book) ? list : WithoutGroup(list));
}

// The names in the folder `dir_fd` that are versions and regular files, with their status.
std::vector<std::pair<std::string, struct stat>> VersionFiles(int dir_fd) {
  std::vector<std::pair<std::string, struct stat>> files;
  for (std::string& name : NamesIn(dir_fd)) {
    struct stat st {};
    if (ParseVersionName(name) && fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode)) {
      files.emplace_back(std::move(name), st);
    }
  }
  return files;
}

// Copies the file `name` in `dir_fd`, the book `book` with the access list `list`, into
// `history_fd` as the new version replaced at `now`, through a temporary file. 0 and the
// version's name in `version`, or the errno that stopped it, leaving nothing behind.
int CopyVersion(int dir_fd, const std::string& name, const struct stat& book,
                const AccessList& list, int history_fd, int64_t now, std::string& version) {
  const Fd from(openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (!from.ok() || fstat(from.get(), &st) != 0) return errno;
  const std::string temporary = TemporaryName(name);
  PendingFile pending;
  pending.Remember(history_fd, temporary);
  Fd copy(openat(history_fd, temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                 0600));
  if (!copy.ok()) return errno;
  flock(copy.get(), LOCK_EX);
  int error_number = CopyContent(from.get(), copy.get(), static_cast<uint64_t>(st.st_size));
  if (error_number == 0) error_number = MakePrivateLike(copy.get(), book, list);
  if (error_number == 0 && fsync(copy.get()) != 0) error_number = errno;
  for (int sequence = 1; error_number == 0 && sequence <= kMaxSequence; ++sequence) {
    version = VersionName({now, sequence});
    // Only once whole does the copy get its name, which it never takes from another file.
    if (renameat2(history_fd, temporary.c_str(), history_fd, version.c_str(), RENAME_NOREPLACE) ==
        0) {
      return 0;
    }
    error_number = errno;
    if (error_number == EINVAL || error_number == ENOSYS) {
      if (linkat(history_fd, temporary.c_str(), history_fd, version.c_str(), 0) == 0) {
        unlinkat(history_fd, temporary.c_str(), 0);
        return 0;
      }
      error_number = errno;
    }
    if (error_number == EEXIST) error_number = sequence < kMaxSequence ? 0 : EEXIST;
  }
  unlinkat(history_fd, temporary.c_str(), 0);
  return error_number;
}

}  // namespace

Result<KeptVersion> KeepVersion(int dir_fd, const fs::path& folder, const std::string& name,
                                const struct stat& book, VersionCopy how, int64_t now) {
  KeptVersion kept;
  const std::string history_name = name + kHistorySuffix;
  kept.folder_path = folder / history_name;
  const auto failed = [&](const std::string& why) {
    return Error{ErrorNumber::kFileAccess, Quoted(kept.folder_path) + ": " + why};
  };
  const Fd book_fd(openat(dir_fd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat now_book {};
  if (!book_fd.ok() || fstat(book_fd.get(), &now_book) != 0) return failed(Reason(errno));
  const std::optional<AccessList> book_list = AccessListOf(book_fd.get(), now_book);
  if (!book_list) return failed(Reason(errno));

  const bool made = mkdirat(dir_fd, history_name.c_str(), 0700) == 0;
  if (!made && errno != EEXIST) return failed(Reason(errno));
  kept.folder = Fd(openat(dir_fd, history_name.c_str(),
                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (!kept.folder.ok() || fstat(kept.folder.get(), &st) != 0) {
    return failed(OpenFailure(dir_fd, history_name, errno));
  }
  const int history_fd = kept.folder.get();
  if (std::optional<std::string> why = WhyNotUsed(history_fd, st, &book, &*book_list)) {
    return failed(*why);
  }
  if (const int error_number = MakePrivateLike(history_fd, book, FolderAccessList(*book_list));
      error_number != 0) {
    return failed(Reason(error_number));
  }
  RemoveStaleTemporaryFiles(history_fd, name);

  // A book with other names may still change through them; a version of it is a copy.
  if (how == VersionCopy::kLinkOrCopy && book.st_nlink == 1) {
    for (int sequence = 1; sequence <= kMaxSequence; ++sequence) {
      kept.name = VersionName({now, sequence});
      if (linkat(dir_fd, name.c_str(), history_fd, kept.name.c_str(), 0) == 0) return kept;
      if (errno == EEXIST) continue;
      if (errno != EXDEV && errno != EPERM && errno != EMLINK && errno != EOPNOTSUPP) {
        return failed(Reason(errno));
      }
      break;
    }
  }
  if (const int error_number =
          CopyVersion(dir_fd, name, book, *book_list, history_fd, now, kept.name);
      error_number != 0) {
    return failed(Reason(error_number));
  }
  // A copy must outlive a crash of the save that follows, which may write over the book.
  if (fsync(history_fd) != 0 || (made && fsync(dir_fd) != 0)) return failed(Reason(errno));
  return kept;
}

std::vector<std::string> PruneHistory(const KeptVersion& kept, int64_t now) {
  std::vector<std::string> warnings;
  std::vector<std::string> names;
  for (auto& [name, st] : VersionFiles(kept.folder.get())) names.push_back(std::move(name));
  for (const std::string& name : VersionsToPrune(names, now)) {
    if (unlinkat(kept.folder.get(), name.c_str(), 0) != 0 && errno != ENOENT) {
      warnings.push_back("The old version " + Quoted(kept.folder_path / name) +
                         " could not be removed: " + Reason(errno));
    }
  }
  return warnings;
}

namespace {

// The history folder of the book at `path`, open once found fit to be read (see WhyNotUsed),
// and its path; the folder is not open when there is none.
struct ReadableHistory {
  Fd folder;
  fs::path path;
};

Result<ReadableHistory> OpenHistoryToRead(const fs::path& path) {
  const auto failed = [&](const std::string& reason) {
    return Error{ErrorNumber::kFileAccess,
                 "Cannot read the history of " + Quoted(path) + ": " + reason};
  };
  Result<ParentFolder> parent = OpenParent(path);
  ReadableHistory history;
  if (!parent && parent.error().number == ErrorNumber::kFileNotFound) return history;
  if (!parent) return failed(parent.error().description);
  const int dir_fd = parent.value().folder.get();
  const std::string& name = parent.value().name;
  history.path = parent.value().path / (name + kHistorySuffix);
  const auto failed_in = [&](const std::string& reason) {
    return Error{ErrorNumber::kFileAccess, "Cannot read the history of " + Quoted(path) + " in " +
                                               Quoted(history.path) + ": " + reason};
  };
  const Fd book_fd(openat(dir_fd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat book {};
  const bool has_book = book_fd.ok() && fstat(book_fd.get(), &book) == 0 && S_ISREG(book.st_mode);
  std::optional<AccessList> book_list;
  if (has_book && !(book_list = AccessListOf(book_fd.get(), book))) return failed(Reason(errno));
  history.folder = Fd(openat(dir_fd, (name + kHistorySuffix).c_str(),
                             O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (!history.folder.ok() && errno == ENOENT) return history;
  if (!history.folder.ok() || fstat(history.folder.get(), &st) != 0) {
    return failed_in(OpenFailure(dir_fd, name + kHistorySuffix, errno));
  }
  if (const std::optional<std::string> why =
          WhyNotUsed(history.folder.get(), st, has_book ? &book : nullptr,
                     book_list ? &*book_list : nullptr)) {
    return failed_in(*why);
  }
  return history;
}

}  // namespace
}  // namespace posix

Result<std::filesystem::path> HistoryFolder(const std::filesystem::path& path) {
  Result<posix::ParentFolder> parent = posix::OpenParent(path);
  if (!parent) return parent.error();
  return parent.value().path / (parent.value().name + posix::kHistorySuffix);
}

Result<std::vector<Version>> ListVersions(const std::filesystem::path& path) {
  Result<posix::ReadableHistory> history = posix::OpenHistoryToRead(path);
  if (!history) return history.error();
  std::vector<Version> versions;
  if (!history.value().folder.ok()) return versions;
  for (const auto& [name, st] : posix::VersionFiles(history.value().folder.get())) {
    // A version kept by a save has this one name; anything else is no version of this book.
    if (st.st_nlink != 1) continue;
    versions.push_back(
        {history.value().path / name, *ParseVersionName(name), static_cast<uint64_t>(st.st_size)});
  }
  std::sort(versions.begin(), versions.end(),
            [](const Version& a, const Version& b) { return a.time < b.time; });
  return versions;
}

Result<std::u16string> LoadVersion(const std::filesystem::path& path, std::string_view name) {
  Result<posix::ReadableHistory> history = posix::OpenHistoryToRead(path);
  if (!history) return history.error();
  const std::string shown = PathUtf8(history.value().path / Utf8Path(name));
  if (!history.value().folder.ok() || !ParseVersionName(name)) return ReadError(shown, ENOENT);
  const posix::Fd version(openat(history.value().folder.get(), std::string(name).c_str(),
                                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (!version.ok() && errno != ELOOP) return ReadError(shown, errno);
  if (!version.ok() || fstat(version.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
      static_cast<uint64_t>(st.st_size) > kLargestBookBytes) {
    return Error{ErrorNumber::kFileAccess,
                 "Cannot read \"" + shown +
                     "\": it is not a version a save kept (a link, a special "
                     "file, a file with other names, or too large)"};
  }
  return ReadBook(version.get(), shown);
}

}  // namespace tallivan
