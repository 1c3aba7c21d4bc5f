#ifndef TALLIVAN_SESSION_SESSION_FILES_H_
#define TALLIVAN_SESSION_SESSION_FILES_H_

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "storage/safe_folder.h"

namespace tallivan {

// The name of the folder, in the user's state folder, that holds the session files of `book`:
// the book's file name (letters, digits, '.', '-' and '_' only) and a mark of its full path, so
// that books of one name in different folders never share one.
std::string BookKey(const std::filesystem::path& book);

// The name under which the user's window on `book` answers later starts on the same book: the
// mark of BookKey alone, so that a socket's path stays short.
std::string WindowName(const std::filesystem::path& book);

// Where the files of one user's windows on one book live, and their names. The lock that tells
// windows of every user apart lies beside the book; everything else that belongs to one user's
// session (the user's own lock, the recovery copies, the list of what was reported) lies in that
// user's private state folder, where nobody else can plant or read anything. Texts kept apart go
// beside the book only when its folder is the user's alone, else to the state folder too.
class SessionFiles {
 public:
  // The files of `book`; opens the folders it can, and never fails.
  explicit SessionFiles(const std::filesystem::path& book);

  // The book's folder; nullopt when it cannot be opened.
  const std::optional<SafeFolder>& book_folder() const { return book_folder_; }

  // This user's private folder for the book; nullopt when there is none, and trouble() says why.
  const std::optional<SafeFolder>& state() const { return state_; }
  const std::string& trouble() const { return trouble_; }

  // A private folder for the book in memory, for recovery copies the state folder has no room
  // for; made when `make` allows. nullptr when there is none.
  const SafeFolder* spare(MakeFolder make);

  // Removes this user's folder for the book when nothing is left in it.
  void Tidy();

  // Where texts are kept apart: the book's folder when only this user can write it, else the
  // state folder; nullptr when neither can be had.
  const SafeFolder* kept_folder() const;

  // The lock beside the book, and this user's own one.
  std::string SharedLockName() const { return "." + book_name_ + ".lock"; }
  static constexpr char kOwnLockName[] = "lock";

  // This user's list of the texts kept apart that the user was told about.
  static constexpr char kReportedName[] = "reported";

  // The recovery copy of the window in lock slot `slot`, and what the book held when it was taken.
  static std::string RecoveryName(int slot);
  static std::string RecoveryBaseName(int slot);
  // The slot of the recovery copy `name`; nullopt unless `name` is exactly a RecoveryName.
  static std::optional<int> RecoverySlot(std::string_view name);

  // Texts kept apart are named KeptPrefix() and a stamp ("book.unsaved-20261207-121642"), with
  // "-2", "-3"... when that is taken; IsKeptName tells exactly such names.
  std::string KeptPrefix() const { return book_name_ + ".unsaved-"; }
  bool IsKeptName(std::string_view name) const;

 private:
  std::string book_name_;
  std::string key_;
  std::optional<SafeFolder> book_folder_;
  std::optional<SafeFolder> states_;  // the user's state folder, which holds state_
  std::optional<SafeFolder> state_;
  std::optional<SafeFolder> spares_;  // the user's folder in memory, which holds spare_
  std::optional<SafeFolder> spare_;
  bool spare_tried_ = false;
  std::string trouble_;
};

}  // namespace tallivan

#endif  // TALLIVAN_SESSION_SESSION_FILES_H_
