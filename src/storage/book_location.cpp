#include "storage/book_location.h"

#include <system_error>

#include "runtime/version.h"
#include "storage/file_io.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;

constexpr char kDataFolderName[] = "tallivan";

bool Exists(const fs::path& path) {
  std::error_code error;
  return fs::symlink_status(path, error).type() != fs::file_type::not_found && !error;
}

bool IsInstalled(const fs::path& executable) {
  return Exists(executable.parent_path() / fs::path(kInstalledMarker).lexically_normal());
}

}  // namespace

Result<fs::path> DefaultBookPath(const fs::path& executable, const UserFolders& folders) {
  fs::path beside = executable.parent_path() / kBookFileName;
  if (Exists(beside) || !IsInstalled(executable)) return beside;
  fs::path data_home = Utf8Path(folders.xdg_data_home);
  if (!data_home.is_absolute()) {
    if (!Utf8Path(folders.home).is_absolute()) {
      return Error{ErrorNumber::kFileAccess,
                   "No home folder to keep the book in: set HOME or XDG_DATA_HOME, or name the "
                   "book with --book"};
    }
    data_home = Utf8Path(folders.home) / ".local" / "share";
  }
  return data_home / kDataFolderName / kBookFileName;
}

fs::path PrepareDefaultBook(const fs::path& executable) {
  const Result<fs::path> book = DefaultBookPath(executable, CurrentUserFolders());
  if (!book) return executable.parent_path() / kBookFileName;
  // A folder that cannot be made shows up at the first save, with its reason.
  MakePrivateFolders(book.value().parent_path()).IgnoreError();
  return book.value();
}

}  // namespace tallivan
