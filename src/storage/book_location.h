#ifndef TALLIVAN_STORAGE_BOOK_LOCATION_H_
#define TALLIVAN_STORAGE_BOOK_LOCATION_H_

#include <filesystem>
#include <string>

#include "runtime/error.h"

namespace tallivan {

// The book's file name.
inline constexpr char kBookFileName[] = "book";

// The user's folders that decide where an installed copy keeps its book, in UTF-8.
struct UserFolders {
  std::string xdg_data_home;  // $XDG_DATA_HOME (%APPDATA% on Windows); used only when absolute
  std::string home;           // the home folder; used only when it is an absolute path
};

// The path of the running program, as the system reports it.
std::filesystem::path RunningExecutable();

// The user's folders of this process: $XDG_DATA_HOME, and $HOME or else the password database;
// on Windows, %APPDATA% and %USERPROFILE%.
UserFolders CurrentUserFolders();

// Why the book that is used when none is named lives where it does.
enum class BookHome {
  kBesideProgram,          // found there, or a copy run from an unpacked folder the user may write
  kDataFolder,             // an installed copy
  kReadOnlyProgramFolder,  // an unpacked copy in a folder the user cannot write
};

// The book used when none is named, and why there.
struct DefaultBook {
  std::filesystem::path path;
  BookHome home = BookHome::kBesideProgram;
};

// Where the book lives when none is named, for the program at `executable` (an absolute path).
// A book that exists beside the executable is always used. A copy run from an unpacked folder,
// such as the build tree, keeps its book beside the executable when the user may make files
// there. An installed copy, one whose metainfo lies where the installation puts it
// (kInstalledMarker), or an unpacked one in a folder the user cannot write (/opt, Program Files),
// keeps it in the user's data folder: $XDG_DATA_HOME/tallivan/book, or
// ~/.local/share/tallivan/book. Error 75 when such a copy's user has no home folder.
Result<DefaultBook> DefaultBookPath(const std::filesystem::path& executable,
                                    const UserFolders& folders);

// Creates `folder` and the missing folders above it, each private to the user (0700); folders
// that exist are left as they are. Error 75, naming the folder and the reason.
Status MakePrivateFolders(const std::filesystem::path& folder);

// The book a window opens when none is named: DefaultBookPath for the current user, or the book
// beside `executable` when that cannot be decided. A data folder it needs is made now; one that
// cannot be shows up at the first save, with its reason.
DefaultBook PrepareDefaultBook(const std::filesystem::path& executable);

}  // namespace tallivan

#endif  // TALLIVAN_STORAGE_BOOK_LOCATION_H_
