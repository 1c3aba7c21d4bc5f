#include "storage/book_location.h"

#include <system_error>

#include "runtime/version.h"
#include "storage/file_io.h"
#include "storage/safe_folder.h"

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

// Whether the user may make files in `folder`: a file is made there and removed at once, which
// answers for access lists and read-only mounts as well as for permission bits.
bool MayMakeFilesIn(const fs::path& folder) {
  const Result<SafeFolder> opened = SafeFolder::Open(folder);
  if (!opened) return false;
  const Result<std::string> probe =
      opened.value().CreateFresh(TemporaryName(kBookFileName), {}, 0600);
  if (!probe) return false;
  opened.value().Remove(probe.value());
  return true;
}

}  // namespace

Result<DefaultBook> DefaultBookPath(const fs::path& executable, const UserFolders& folders) {
  fs::path beside = executable.parent_path() / kBookFileName;
  if (Exists(beside)) return DefaultBook{beside, BookHome::kBesideProgram};
  BookHome home = BookHome::kDataFolder;
  if (!IsInstalled(executable)) {
    if (MayMakeFilesIn(executable.parent_path()))
      return DefaultBook{beside, BookHome::kBesideProgram};
    home = BookHome::kReadOnlyProgramFolder;
  }
  fs::path data_home = Utf8Path(folders.xdg_data_home);
  if (!data_home.is_absolute()) {
    if (!Utf8Path(folders.home).is_absolute()) {
      return Error{ErrorNumber::kFileAccess,
                   "No home folder to keep the book in: set HOME or XDG_DATA_HOME, or name the "
                   "book with --book"};
    }
    data_home = Utf8Path(folders.home) / ".local" / "share";
  }
  return DefaultBook{data_home / kDataFolderName / kBookFileName, home};
}

DefaultBook PrepareDefaultBook(const fs::path& executable) {
  const Result<DefaultBook> book = DefaultBookPath(executable, CurrentUserFolders());
  if (!book) return DefaultBook{executable.parent_path() / kBookFileName, BookHome::kBesideProgram};
  // A folder that cannot be made shows up at the first save, with its reason.
  if (book.value().home != BookHome::kBesideProgram) {
    MakePrivateFolders(book.value().path.parent_path()).IgnoreError();
  }
  return book.value();
}

}  // namespace tallivan
