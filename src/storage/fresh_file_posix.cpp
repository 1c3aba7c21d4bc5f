#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>
#include <vector>

#include "storage/atomic_writer.h"
#include "storage/file_io.h"
#include "storage/file_system_posix.h"
#include "storage/fresh_file.h"
#include "storage/safe_folder.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;

Error KeepError(const fs::path& path, int error_number) {
  return Error{ErrorNumber::kFileAccess, "Cannot write \"" + path.string() +
                                             "\": " + std::system_category().message(error_number)};
}

fs::path NumberedPath(const fs::path& wanted, int counter) {
  return wanted.parent_path() / Utf8Path(Numbered(PathUtf8(wanted.filename()), counter));
}

// 0 when `text` went whole into `fd` and onto the disk, else the errno that stopped it.
int WriteText(int fd, std::u16string_view text) {
  if (const int error_number = WriteFully(fd, LittleEndianBytes(text)); error_number != 0)
    return error_number;
  return fsync(fd) == 0 ? 0 : errno;
}

bool IsHomeFolder(const char* candidate) {
  if (candidate == nullptr || candidate[0] != '/' || std::string_view(candidate) == "/") {
    return false;
  }
  struct stat st {};
  return stat(candidate, &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

Result<fs::path> WriteFreshFile(const fs::path& wanted, std::u16string_view text, unsigned mode) {
  for (int counter = 1; counter <= kMaxFreshNames; ++counter) {
    const fs::path path = NumberedPath(wanted, counter);
    const int fd =
        open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode & 0777);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) return KeepError(path, errno);
    int error_number = WriteText(fd, text);
    if (close(fd) != 0 && error_number == 0 && errno != EINTR) error_number = errno;
    if (error_number == 0) {
      // Its name too must outlast a crash; a folder that cannot be flushed still holds it.
      const posix::Fd folder(posix::OpenFolder(path.parent_path()));
      if (folder.ok()) fsync(folder.get());
      return path;
    }
    unlink(path.c_str());
    return KeepError(path, error_number);
  }
  return KeepError(wanted, EEXIST);
}

Result<fs::path> MoveToFreshName(const fs::path& from, const fs::path& wanted) {
  for (int counter = 1; counter <= kMaxFreshNames; ++counter) {
    const fs::path path = NumberedPath(wanted, counter);
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) {
      return path;
    }
    if (errno == EEXIST) continue;
    if (errno != EINVAL && errno != ENOSYS) return KeepError(path, errno);
    // The file system cannot rename without replacing: a new link never replaces either.
    if (link(from.c_str(), path.c_str()) != 0) {
      if (errno == EEXIST) continue;
      return KeepError(path, errno);
    }
    unlink(from.c_str());
    return path;
  }
  return KeepError(wanted, EEXIST);
}

bool RemoveFile(const fs::path& path) { return unlink(path.c_str()) == 0 || errno == ENOENT; }

std::optional<fs::path> HomeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') {
    return IsHomeFolder(home) ? std::optional<fs::path>(home) : std::nullopt;
  }
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
      !IsHomeFolder(found->pw_dir)) {
    return std::nullopt;
  }
  return fs::path(found->pw_dir);
}

}  // namespace tallivan
