#include <fcntl.h>
#include <io.h>

#include <utility>

#include "storage/book_file.h"
#include "storage/file_io.h"
#include "storage/file_system_windows.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;
using windows::FileInfo;
using windows::Handle;

// How long a stamp waits at most for the clock to move past a change just made (see Stamp).
constexpr int kMaxStampWaits = 100;

HANDLE HandleOf(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

Error FolderError(const std::string& name) {
  return Error{ErrorNumber::kFileAccess,
               "Cannot read \"" + name + "\": " + windows::FolderReason()};
}

// The stamp of `file`, taken once the clock that stamps changes has moved past the file's last
// write: a change made later within the same tick would otherwise leave the stamp as it was.
DWORD Stamp(HANDLE file, FileStamp& stamp) {
  FileInfo info;
  for (int wait = 0;; ++wait) {
    if (const DWORD code = windows::InfoOf(file, info); code != 0) return code;
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    if (windows::Nanoseconds(info.written) < windows::Nanoseconds(now) || wait == kMaxStampWaits) {
      break;
    }
    Sleep(1);
  }
  stamp = {info.volume, info.index, info.size, windows::Nanoseconds(info.written), 0};
  return 0;
}

}  // namespace

Result<BookSource> BookSource::Open(const fs::path& path) {
  const std::string name = PathUtf8(path);
  Handle file;
  // A program that has the book open for itself alone for a moment is waited for.
  const DWORD code = windows::Retry().Run(
      [&] {
        file = Handle(windows::OpenFile(path, GENERIC_READ, windows::kShareAll, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN));
        return file.ok() ? 0 : GetLastError();
      },
      windows::AccessDenied::kFinal);
  if (code != 0) {
    // A folder cannot be opened as a file at all.
    const DWORD attributes = GetFileAttributesW(windows::LongPath(path).c_str());
    if (code == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return FolderError(name);
    }
    return ReadError(name, static_cast<int>(code));
  }
  // Devices (NUL, CON, COM1) and pipes are no books.
  if (GetFileType(file.get()) != FILE_TYPE_DISK) {
    return Error{ErrorNumber::kFileAccess, "Cannot read \"" + name + "\": not a regular file"};
  }
  FileStamp stamp;
  if (const DWORD code = Stamp(file.get(), stamp); code != 0) {
    return ReadError(name, static_cast<int>(code));
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file.get()), _O_RDONLY | _O_BINARY);
  if (fd < 0) return ReadError(name, ERROR_TOO_MANY_OPEN_FILES);
  file.Release();  // the descriptor owns it now
  BookSource source(fd, true, name);
  source.path_ = path;
  source.stamp_ = stamp;
  return source;
}

Result<BookSource> BookSource::Adopt(int fd, std::string name) {
  BookSource source(fd, false, std::move(name));
  const HANDLE file = HandleOf(fd);
  if (file == INVALID_HANDLE_VALUE) return ReadError(source.name_, ERROR_INVALID_HANDLE);
  FileInfo info;
  // A file that tells nothing about itself, as Wine's standard input from a Unix file does, is
  // read as a stream, which is never taken for changed.
  if (GetFileType(file) == FILE_TYPE_DISK && windows::InfoOf(file, info) == 0) {
    if ((info.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return FolderError(source.name_);
    source.stamp_.emplace();
    if (const DWORD code = Stamp(file, *source.stamp_); code != 0) {
      return ReadError(source.name_, static_cast<int>(code));
    }
  }
  return source;
}

void BookSource::CloseFile() {
  if (owned_ && fd_ >= 0) _close(std::exchange(fd_, -1));
}

Status BookSource::Unchanged() const {
  if (!stamp_) return {};
  FileInfo info;
  const auto stamp_of = [&info] {
    return FileStamp{info.volume, info.index, info.size, windows::Nanoseconds(info.written), 0};
  };
  if (fd_ >= 0 && (windows::InfoOf(HandleOf(fd_), info) != 0 || stamp_of() != *stamp_)) {
    return ChangedError(name_);
  }
  if (!path_.empty()) {
    const Handle named(
        windows::OpenFile(path_, FILE_READ_ATTRIBUTES, windows::kShareAll, OPEN_EXISTING));
    if (!named.ok() || windows::InfoOf(named.get(), info) != 0 || info.volume != stamp_->device ||
        info.index != stamp_->inode || (fd_ < 0 && stamp_of() != *stamp_)) {
      return ChangedError(name_);
    }
  }
  return {};
}

}  // namespace tallivan
