#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

#include "storage/file_io.h"
#include "storage/file_system_posix.h"
#include "storage/fresh_file.h"
#include "storage/safe_folder.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;
using posix::Fd;
using posix::Quoted;
using posix::Reason;

constexpr int kOpenFlags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

Error Failure(const fs::path& path, const std::string& reason,
              ErrorNumber number = ErrorNumber::kFileAccess) {
  return Error{number, "Cannot use " + Quoted(path) + ": " + reason};
}

// Whether `name` names one entry of a folder and nothing else.
bool IsOneName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

// Whether the file whose status is `st` is one the caller made and may trust.
bool IsOwnFile(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1 &&
         static_cast<uint64_t>(st.st_size) <= kMaxCompanionBytes;
}

// Whether the folder whose status is `st` is the caller's alone to change.
bool IsPrivateFolder(const struct stat& st) {
  return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 022) == 0;
}

constexpr char kNotOurs[] =
    "it is not a file this program made (a link, a special file, another "
    "user's file, or too large), so it is left alone";

// Opens the caller's own file `name` in `dir` with `flags`; errno ENOENT when there is none.
Result<Fd> OpenOwn(int dir, const fs::path& path, std::string_view name, int flags) {
  if (!IsOneName(name)) return Failure(path, "not a plain file name");
  const std::string entry(name);
  Fd fd(openat(dir, entry.c_str(), flags | kOpenFlags));
  if (!fd.ok()) {
    const int error_number = errno;
    if (error_number == ENOENT)
      return Failure(path / entry, Reason(ENOENT), ErrorNumber::kFileNotFound);
    if (error_number == ELOOP) return Failure(path / entry, kNotOurs);
    return Failure(path / entry, Reason(error_number));
  }
  struct stat st {};
  if (fstat(fd.get(), &st) != 0) return Failure(path / entry, Reason(errno));
  if (!IsOwnFile(st)) return Failure(path / entry, kNotOurs);
  return fd;
}

// 0 when `bytes` went whole into `fd` and onto the disk, else the errno that stopped it.
int WriteAndFlush(int fd, std::span<const char> bytes) {
  if (const int error_number = WriteFully(fd, bytes); error_number != 0) return error_number;
  return fsync(fd) == 0 ? 0 : errno;
}

// Makes the new file `name` in `dir` holding `bytes`; 0, or the errno that stopped it (EEXIST
// when the name is taken), leaving nothing behind.
int WriteNew(int dir, const std::string& name, std::span<const char> bytes, unsigned mode) {
  Fd fd(openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | kOpenFlags, mode & 0777));
  if (!fd.ok()) return errno;
  int error_number = WriteAndFlush(fd.get(), bytes);
  if (error_number == 0) error_number = fd.Close();
  if (error_number != 0) unlinkat(dir, name.c_str(), 0);
  return error_number;
}

// Opens the folder `name` in `dir` without following a link, making it 0700 first if asked; it
// must be the caller's private folder.
Result<Fd> OpenPrivateAt(int dir, const fs::path& path, MakeFolder make) {
  const std::string name = path.filename().string();
  if (make == MakeFolder::kPrivate && mkdirat(dir, name.c_str(), 0700) != 0 && errno != EEXIST) {
    return Failure(path, Reason(errno));
  }
  Fd fd(openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | kOpenFlags));
  if (!fd.ok()) {
    const int error_number = errno;
    return Failure(path,
                   error_number == ELOOP || error_number == ENOTDIR
                       ? "it is not a folder of this user's"
                       : Reason(error_number),
                   error_number == ENOENT ? ErrorNumber::kFileNotFound : ErrorNumber::kFileAccess);
  }
  struct stat st {};
  if (fstat(fd.get(), &st) != 0) return Failure(path, Reason(errno));
  if (st.st_uid != geteuid() || (st.st_mode & 022) != 0) {
    return Failure(path, "it belongs to another user or others may write it");
  }
  // Files in it are private anyway; the folder is kept private too, as it was made.
  if ((st.st_mode & 077) != 0) fchmod(fd.get(), 0700);
  return fd;
}

std::optional<fs::path> AbsoluteVariable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || value[0] != '/') return std::nullopt;
  return fs::path(value);
}

}  // namespace

void SafeFolder::CloseNative(intptr_t native) { close(static_cast<int>(native)); }

Result<SafeFolder> SafeFolder::Open(const fs::path& path) {
  Fd fd(open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.ok()) {
    const int error_number = errno;
    return Failure(path, Reason(error_number),
                   error_number == ENOENT ? ErrorNumber::kFileNotFound : ErrorNumber::kFileAccess);
  }
  struct stat st {};
  if (fstat(fd.get(), &st) != 0) return Failure(path, Reason(errno));
  const bool is_private = IsPrivateFolder(st);
  return SafeFolder(fd.Release(), path, is_private);
}

Result<SafeFolder> SafeFolder::OpenPrivate(const fs::path& path, MakeFolder make) {
  if (!path.is_absolute() || !path.has_filename()) return Failure(path, "not an absolute path");
  // The folders above the last one that exists are the user's to arrange, links included; every
  // folder from there on is opened without following a link and must be the user's private one.
  fs::path existing = path.parent_path();
  std::vector<fs::path> missing;
  Fd dir(open(existing.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK));
  while (!dir.ok() && errno == ENOENT && make == MakeFolder::kPrivate &&
         existing.has_relative_path()) {
    missing.push_back(existing);
    existing = existing.parent_path();
    dir = Fd(open(existing.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK));
  }
  if (!dir.ok()) {
    const int error_number = errno;
    return Failure(existing, Reason(error_number),
                   error_number == ENOENT ? ErrorNumber::kFileNotFound : ErrorNumber::kFileAccess);
  }
  missing.insert(missing.begin(), path);
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    Result<Fd> next = OpenPrivateAt(dir.get(), *it, make);
    if (!next) return next.error();
    dir = std::move(next).value();
  }
  const int native = dir.Release();
  return SafeFolder(native, path, true);
}

Result<SafeFolder> SafeFolder::Subfolder(std::string_view name, MakeFolder make) const {
  if (!IsOneName(name)) return Failure(path_ / Utf8Path(name), "not a plain folder name");
  Result<Fd> fd = OpenPrivateAt(static_cast<int>(native_), path_ / Utf8Path(name), make);
  if (!fd) return fd.error();
  const int native = fd.value().Release();
  return SafeFolder(native, path_ / Utf8Path(name), true);
}

Result<std::string> SafeFolder::Read(std::string_view name, uint64_t max_bytes) const {
  Result<Fd> fd = OpenOwn(static_cast<int>(native_), path_, name, O_RDONLY);
  if (!fd) return fd.error();
  struct stat st {};
  if (fstat(fd.value().get(), &st) != 0 || static_cast<uint64_t>(st.st_size) > max_bytes) {
    return Failure(path_ / Utf8Path(name), "it is larger than such a file may be");
  }
  std::string content;
  char buffer[65536];
  for (;;) {
    size_t got = 0;
    if (const int error_number = ReadSome(fd.value().get(), buffer, got); error_number != 0) {
      return Failure(path_ / Utf8Path(name), Reason(error_number));
    }
    if (got == 0) return content;
    if (content.size() + got > max_bytes) {
      return Failure(path_ / Utf8Path(name), "it is larger than such a file may be");
    }
    content.append(buffer, got);
  }
}

Status SafeFolder::Replace(std::string_view name, std::span<const char> bytes,
                           unsigned mode) const {
  const int dir = static_cast<int>(native_);
  if (!IsOneName(name)) return Failure(path_ / Utf8Path(name), "not a plain file name");
  const std::string entry(name);
  struct stat st {};
  if (fstatat(dir, entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !IsOwnFile(st)) {
    return Failure(path_ / entry, kNotOurs);
  }
  const std::string temporary = TemporaryName(entry);
  if (const int error_number = WriteNew(dir, temporary, bytes, mode); error_number != 0) {
    return Failure(path_ / entry, Reason(error_number));
  }
  // Whatever stands under the name now, link or not, is replaced, never written through.
  if (renameat(dir, temporary.c_str(), dir, entry.c_str()) != 0) {
    const int error_number = errno;
    unlinkat(dir, temporary.c_str(), 0);
    return Failure(path_ / entry, Reason(error_number));
  }
  fsync(dir);
  return {};
}

Result<std::string> SafeFolder::CreateFresh(std::string_view name, std::span<const char> bytes,
                                            unsigned mode) const {
  if (!IsOneName(name)) return Failure(path_ / Utf8Path(name), "not a plain file name");
  for (int counter = 1; counter <= kMaxFreshNames; ++counter) {
    const std::string entry = Numbered(name, counter);
    const int error_number = WriteNew(static_cast<int>(native_), entry, bytes, mode);
    if (error_number == EEXIST) continue;
    if (error_number != 0) return Failure(path_ / entry, Reason(error_number));
    // Its name too must outlast a crash; a folder that cannot be flushed still holds it.
    fsync(static_cast<int>(native_));
    return entry;
  }
  return Failure(path_ / Utf8Path(name), Reason(EEXIST));
}

Result<std::string> SafeFolder::MoveFresh(std::string_view from, const SafeFolder& to,
                                          std::string_view name) const {
  const int dir = static_cast<int>(native_);
  const int to_dir = static_cast<int>(to.native_);
  if (!IsOneName(name)) return Failure(to.path_ / Utf8Path(name), "not a plain file name");
  if (Result<Fd> own = OpenOwn(dir, path_, from, O_RDONLY); !own) return own.error();
  const std::string source(from);
  for (int counter = 1; counter <= kMaxFreshNames; ++counter) {
    const std::string entry = Numbered(name, counter);
    if (renameat2(dir, source.c_str(), to_dir, entry.c_str(), RENAME_NOREPLACE) != 0) {
      if (errno == EEXIST) continue;
      if (errno != EINVAL && errno != ENOSYS) return Failure(to.path_ / entry, Reason(errno));
      // The file system cannot rename without replacing: a new link never replaces either.
      if (linkat(dir, source.c_str(), to_dir, entry.c_str(), 0) != 0) {
        if (errno == EEXIST) continue;
        return Failure(to.path_ / entry, Reason(errno));
      }
      unlinkat(dir, source.c_str(), 0);
    }
    fsync(to_dir);
    if (to_dir != dir) fsync(dir);
    return entry;
  }
  return Failure(to.path_ / Utf8Path(name), Reason(EEXIST));
}

Result<intptr_t> SafeFolder::OpenForLocking(std::string_view name, unsigned mode) const {
  const int dir = static_cast<int>(native_);
  if (!IsOneName(name)) return Failure(path_ / Utf8Path(name), "not a plain file name");
  const std::string entry(name);
  // Opened as found, else made; a name that another window takes meanwhile is opened as found.
  Fd fd(openat(dir, entry.c_str(), O_RDWR | kOpenFlags));
  if (!fd.ok() && errno == ENOENT) {
    fd = Fd(openat(dir, entry.c_str(), O_RDWR | O_CREAT | O_EXCL | kOpenFlags, mode & 0666));
    if (!fd.ok() && errno == EEXIST) fd = Fd(openat(dir, entry.c_str(), O_RDWR | kOpenFlags));
  }
  if (!fd.ok()) {
    const int error_number = errno;
    return Failure(path_ / entry, error_number == ELOOP ? kNotOurs : Reason(error_number));
  }
  struct stat st {};
  if (fstat(fd.get(), &st) != 0) return Failure(path_ / entry, Reason(errno));
  if (!IsOwnFile(st)) return Failure(path_ / entry, kNotOurs);
  return static_cast<intptr_t>(fd.Release());
}

bool SafeFolder::RemoveEmptyFolder(std::string_view name) const {
  if (!IsOneName(name)) return false;
  const std::string entry(name);
  return unlinkat(static_cast<int>(native_), entry.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT;
}

bool SafeFolder::Remove(std::string_view name) const {
  if (!IsOneName(name)) return false;
  const std::string entry(name);
  struct stat st {};
  if (fstatat(static_cast<int>(native_), entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT;
  }
  if (!S_ISREG(st.st_mode) || st.st_uid != geteuid()) return false;
  return unlinkat(static_cast<int>(native_), entry.c_str(), 0) == 0 || errno == ENOENT;
}

std::vector<OwnFile> SafeFolder::List(std::string_view prefix) const {
  std::vector<OwnFile> files;
  const int listed = dup(static_cast<int>(native_));
  DIR* dir = listed >= 0 ? fdopendir(listed) : nullptr;
  if (dir == nullptr) {
    if (listed >= 0) close(listed);
    return files;
  }
  rewinddir(dir);
  while (const dirent* entry = readdir(dir)) {
    const std::string_view name = entry->d_name;
    struct stat st {};
    if (!name.starts_with(prefix) ||
        fstatat(static_cast<int>(native_), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !IsOwnFile(st)) {
      continue;
    }
    files.push_back({std::string(name), static_cast<uint64_t>(st.st_size),
                     static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec});
  }
  closedir(dir);
  return files;
}

std::optional<fs::path> StateFolderPath() {
  if (std::optional<fs::path> state = AbsoluteVariable("XDG_STATE_HOME")) {
    return *state / "tallivan";
  }
  if (std::optional<fs::path> home = HomeFolder()) return *home / ".local" / "state" / "tallivan";
  return std::nullopt;
}

std::optional<fs::path> RuntimeFolderPath() {
  if (std::optional<fs::path> runtime = AbsoluteVariable("XDG_RUNTIME_DIR")) {
    return *runtime / "tallivan";
  }
  return std::nullopt;
}

}  // namespace tallivan
