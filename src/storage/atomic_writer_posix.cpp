#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <utility>

#include "storage/atomic_writer.h"
#include "storage/file_attributes_posix.h"
#include "storage/file_system_posix.h"
#include "storage/history_posix.h"
#include "storage/in_place_posix.h"
#include "storage/pending_files_posix.h"
#include "storage/safe_folder.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;
using posix::Fd;
using posix::KeptVersion;
using posix::Quoted;
using posix::Reason;
using posix::SaveError;

constexpr int kMaxNameAttempts = 100;

// Whether the new content in `staged` differs from the file `name` in `dir_fd` of `size` bytes;
// a file that cannot be read counts as different.
bool Differs(int staged, int dir_fd, const std::string& name, uint64_t size) {
  struct stat st {};
  if (fstat(staged, &st) != 0 || static_cast<uint64_t>(st.st_size) != size) return true;
  const Fd old(openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!old.ok()) return true;
  return posix::SameContent(staged, old.get(), size) != true;
}

// The path by which the file `name` in the folder held as `dir_fd` (at `folder`) is reached
// without walking `folder` again, where the system lets a folder held be named.
fs::path HeldPath(int dir_fd, const fs::path& folder, const std::string& name) {
  if (access("/proc/self/fd", X_OK) != 0) return folder / name;
  return fs::path("/proc/self/fd") / std::to_string(dir_fd) / name;
}

}  // namespace

// Where the new content waits until Commit().
enum class Staging {
  kUnnamed,  // a temporary file without a name, which gets one just before the rename
  kNamed,    // a hidden temporary file beside the file
  kInPlace,  // in memory (or a temporary file already written), to be written over the file
};

struct AtomicWriter::State {
  fs::path shown_path;  // as the caller named it, for messages
  fs::path folder;      // as reached, links followed
  std::string name;     // the file's name inside its folder
  SaveOptions options;
  Fd dir;
  bool exists = false;
  struct stat old {};
  mode_t final_mode = 0;
  std::vector<std::pair<std::string, std::string>> attributes;
  Staging staging = Staging::kNamed;
  Fd staged;
  std::string temp_name;  // the name of the staged file, while it has one
  posix::PendingFile pending;
  Fd in_place;  // the file itself, open for writing over it

  ~State() { Discard(); }

  // Drops the new content and whatever of it has a name.
  void Discard() {
    pending.Forget();
    if (!temp_name.empty()) unlinkat(dir.get(), std::exchange(temp_name, {}).c_str(), 0);
    staged.Close();
    in_place.Close();
  }

  Error Failure(const std::string& what, int error_number) {
    Discard();
    return SaveError(shown_path, what, error_number);
  }

  // Makes the new content's first home: a private file (0600) that only the caller can open.
  // 0 or the errno that stopped it.
  int CreateStaged() {
    // Without /proc, only a privileged caller could give the unnamed file its name.
    if (access("/proc/self/fd", X_OK) == 0 || geteuid() == 0) {
      staged = Fd(openat(dir.get(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
      if (staged.ok()) {
        staging = Staging::kUnnamed;
        flock(staged.get(), LOCK_EX);
        return 0;
      }
      if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT) {
        return errno;
      }
    }
    for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
      std::string temp = TemporaryName(name);
      pending.Remember(dir.get(), temp);
      staged = Fd(openat(dir.get(), temp.c_str(),
                         O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
      if (staged.ok()) {
        staging = Staging::kNamed;
        temp_name = std::move(temp);
        flock(staged.get(), LOCK_EX);
        return 0;
      }
      pending.Forget();
      if (errno != EEXIST) return errno;
    }
    return EEXIST;
  }

  // Gives up replacing the file for writing over it in place, because of `why`. The content
  // written so far is kept when `keep_content`.
  Status WriteInPlace(const std::string& why, bool keep_content) {
    pending.Forget();
    if (!temp_name.empty()) unlinkat(dir.get(), std::exchange(temp_name, {}).c_str(), 0);
    if (!keep_content) staged.Close();
    if (!exists) {
      Discard();
      return SaveError(shown_path, why);
    }
    in_place = Fd(openat(dir.get(), name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!in_place.ok() || fstat(in_place.get(), &st) != 0) {
      const int error_number = errno;
      Discard();
      return SaveError(shown_path,
                       why + ", and it cannot be written in place: " + Reason(error_number));
    }
    if (st.st_ino != old.st_ino || st.st_dev != old.st_dev) {
      Discard();
      return SaveError(shown_path, "another program replaced it meanwhile");
    }
    if (!keep_content) staged = Fd(memfd_create("tallivan-save", MFD_CLOEXEC));
    if (!staged.ok()) return Failure("", errno);
    staging = Staging::kInPlace;
    return {};
  }

  // Gives the new file the old one's owner and group where it can, and otherwise turns to
  // writing in place.
  Status KeepOwnerAndGroup() {
    struct stat mine {};
    if (fstat(staged.get(), &mine) != 0) return Failure("", errno);
    if (old.st_uid == mine.st_uid && old.st_gid == mine.st_gid) return {};
    // Anyone may give their file a group they belong to; only a privileged caller an owner.
    const bool owner = old.st_uid != mine.st_uid;
    if (fchown(staged.get(), owner ? old.st_uid : static_cast<uid_t>(-1), old.st_gid) == 0) {
      return {};
    }
    if (errno != EPERM) return Failure("", errno);
    return WriteInPlace(owner ? "its owner (user " + std::to_string(old.st_uid) + ") cannot be kept"
                              : "its group (" + std::to_string(old.st_gid) + ") cannot be kept",
                        false);
  }

  // Gives the staged file the old one's extended attributes, its access list above all, and its
  // permission bits.
  Status KeepAttributesAndMode() {
    bool has_access_list = false;
    for (const auto& [attribute, value] : attributes) {
      const bool access_list = attribute == posix::kAccessListAttribute;
      has_access_list |= access_list;
      if (fsetxattr(staged.get(), attribute.c_str(), value.data(), value.size(), 0) != 0 &&
          access_list) {
        return WriteInPlace("its access list cannot be kept (" + Reason(errno) + ")", true);
      }
    }
    // One inherited from a default access list of the folder would grant what the file did not.
    if (exists && !has_access_list) fremovexattr(staged.get(), posix::kAccessListAttribute);
    if (fchmod(staged.get(), final_mode) != 0) return Failure("", errno);
    return {};
  }

  // Keeps the text being replaced in the history when asked to and when it differs from the new
  // one; the version, or nothing and why in `report`.
  std::optional<KeptVersion> KeepOldVersion(posix::VersionCopy how, SaveReport& report) {
    struct stat now {};
    if (options.history != History::kKeep ||
        fstatat(dir.get(), name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(now.st_mode) ||
        !Differs(staged.get(), dir.get(), name, static_cast<uint64_t>(now.st_size))) {
      return std::nullopt;
    }
    Result<KeptVersion> kept =
        posix::KeepVersion(dir.get(), folder, name, now, how, posix::NowSeconds());
    if (kept) return std::move(kept).value();
    report.history_not_kept = kept.error().description;
    report.warnings.push_back("Saving " + Quoted(shown_path) +
                              ": the text it replaced could not be kept in " +
                              kept.error().description);
    return std::nullopt;
  }

  // Gives the unnamed file its temporary name; 0 or the errno that stopped it.
  int NameStaged() {
    const std::string proc_path = "/proc/self/fd/" + std::to_string(staged.get());
    for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
      std::string temp = TemporaryName(name);
      pending.Remember(dir.get(), temp);
      if (linkat(AT_FDCWD, proc_path.c_str(), dir.get(), temp.c_str(), AT_SYMLINK_FOLLOW) == 0 ||
          (errno == ENOENT &&
           linkat(staged.get(), "", dir.get(), temp.c_str(), AT_EMPTY_PATH) == 0)) {
        temp_name = std::move(temp);
        return 0;
      }
      pending.Forget();
      if (errno != EEXIST) return errno;
    }
    return EEXIST;
  }

  Result<SaveReport> CommitByRename(const std::function<Status()>& still_valid) {
    // Before the old file gets its link in the history, which changes its status time.
    if (still_valid) {
      if (Status valid = still_valid(); !valid) {
        Discard();
        return valid.error();
      }
    }
    SaveReport report;
    const std::optional<KeptVersion> kept = KeepOldVersion(posix::VersionCopy::kLinkOrCopy, report);
    // Until the rename, the version is the book itself: should the save not finish, it would only
    // repeat the book, and a later save that writes over the book in place would change it.
    posix::PendingFile kept_pending;
    if (kept) kept_pending.Remember(kept->folder.get(), kept->name);
    const auto undo = [&](const Error& error) {
      kept_pending.Forget();
      if (kept) unlinkat(kept->folder.get(), kept->name.c_str(), 0);
      Discard();
      return error;
    };
    if (staging == Staging::kUnnamed) {
      if (const int error_number = NameStaged(); error_number != 0) {
        return undo(SaveError(shown_path, "", error_number));
      }
    }
    if (renameat(dir.get(), temp_name.c_str(), dir.get(), name.c_str()) != 0) {
      return undo(SaveError(shown_path, "", errno));
    }
    temp_name.clear();
    pending.Forget();
    kept_pending.Forget();
    staged.Close();
    // The new content is in place now; what follows only makes the rename itself durable.
    if (fsync(dir.get()) != 0 && errno != EINVAL) {
      report.warnings.push_back("Saved " + Quoted(shown_path) +
                                ", but its folder could not be flushed to disk: " + Reason(errno));
    }
    Finish(kept, report);
    return report;
  }

  Result<SaveReport> CommitInPlace(const std::function<Status()>& still_valid) {
    if (still_valid) {
      if (Status valid = still_valid(); !valid) {
        Discard();
        return valid.error();
      }
    }
    SaveReport report;
    report.in_place = true;
    const std::optional<KeptVersion> kept = KeepOldVersion(posix::VersionCopy::kCopy, report);
    struct stat was {};
    struct stat now {};
    if (fstat(in_place.get(), &was) != 0 || fstat(staged.get(), &now) != 0) {
      return Failure("", errno);
    }
    const auto new_size = static_cast<uint64_t>(now.st_size);
    const posix::TerminationDeferred deferred;
    if (const int error_number = posix::ReserveRoom(in_place.get(), staged.get(),
                                                    static_cast<uint64_t>(was.st_size), new_size);
        error_number != 0) {
      if (kept) unlinkat(kept->folder.get(), kept->name.c_str(), 0);
      return Failure("there is no room for the new text, and the file was left as it was",
                     error_number);
    }
    int error_number = posix::WriteOver(in_place.get(), staged.get(), new_size);
    if (error_number == 0) error_number = in_place.Close();
    if (error_number != 0) {
      std::string what = "writing it in place failed, so it may be damaged";
      if (kept) what += " (its previous text is in " + Quoted(kept->path()) + ")";
      return Failure(what, error_number);
    }
    staged.Close();
    Finish(kept, report);
    return report;
  }

  // Reports the version kept and prunes the history around it.
  static void Finish(const std::optional<KeptVersion>& kept, SaveReport& report) {
    if (!kept) return;
    report.kept_version = kept->path();
    for (std::string& warning : posix::PruneHistory(*kept, posix::NowSeconds())) {
      report.warnings.push_back(std::move(warning));
    }
  }
};

AtomicWriter::AtomicWriter(std::unique_ptr<State> state) : state_(std::move(state)) {}
AtomicWriter::AtomicWriter(AtomicWriter&& other) noexcept = default;
AtomicWriter::~AtomicWriter() = default;

Result<AtomicWriter> AtomicWriter::Open(const fs::path& path, const SaveOptions& options) {
  if (path.empty()) return SaveError(path, "no file name was given");
  if (path.string().ends_with('/')) {
    return SaveError(path, "a name ending in \"/\" names a folder, not a file");
  }
  Result<posix::ParentFolder> parent = posix::OpenParent(path);
  if (!parent) return SaveError(path, parent.error().description);
  auto state = std::make_unique<State>();
  State& s = *state;
  s.shown_path = path;
  s.options = options;
  s.folder = parent.value().path;
  s.name = parent.value().name;
  if (s.name.empty() || s.name == "." || s.name == "..") return SaveError(path, "", EISDIR);
  // The folder reached, now open for reading and flushing.
  s.dir = Fd(openat(parent.value().folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!s.dir.ok()) return SaveError(path, "", errno);

  s.exists = fstatat(s.dir.get(), s.name.c_str(), &s.old, AT_SYMLINK_NOFOLLOW) == 0;
  if (!s.exists && errno != ENOENT) return SaveError(path, "", errno);
  if (s.exists && S_ISDIR(s.old.st_mode)) return SaveError(path, "", EISDIR);
  if (s.exists && !S_ISREG(s.old.st_mode)) return SaveError(path, "not a regular file");
  if (s.exists && options.read_only == ReadOnlyFile::kRefuse &&
      posix::IsReadOnly(s.dir.get(), s.name.c_str(), s.old)) {
    return SaveError(path, "it is read-only");
  }
  s.final_mode = s.exists                ? s.old.st_mode & 07777
                 : options.new_file_mode ? *options.new_file_mode & 07777
                                         : posix::DefaultFileMode();
  posix::RemoveStaleTemporaryFiles(s.dir.get(), s.name);

  if (const int error_number = s.CreateStaged(); error_number != 0) {
    if (error_number != EACCES && error_number != EPERM) return s.Failure("", error_number);
    const Status in_place =
        s.WriteInPlace("its folder takes no new file (" + Reason(error_number) + ")", false);
    if (!in_place) return in_place.error();
    return AtomicWriter(std::move(state));
  }
  if (s.exists) {
    if (const Status kept = s.KeepOwnerAndGroup(); !kept) return kept.error();
    if (s.staging != Staging::kInPlace) {
      s.attributes = posix::AttributesOf(HeldPath(s.dir.get(), s.folder, s.name));
    }
  }
  return AtomicWriter(std::move(state));
}

Status AtomicWriter::Write(std::span<const char> bytes) {
  if (!state_ || !state_->staged.ok())
    return SaveError(state_ ? state_->shown_path : "", "", EBADF);
  if (const int error_number = WriteFully(state_->staged.get(), bytes); error_number != 0) {
    return state_->Failure("", error_number);
  }
  return {};
}

Result<SaveReport> AtomicWriter::Commit(const std::function<Status()>& still_valid) {
  if (!state_ || !state_->staged.ok())
    return SaveError(state_ ? state_->shown_path : "", "", EBADF);
  State& s = *state_;
  if (s.staging != Staging::kInPlace) {
    if (const Status kept = s.KeepAttributesAndMode(); !kept) return kept.error();
  }
  if (s.staging != Staging::kInPlace && fsync(s.staged.get()) != 0) {
    return s.Failure("flushing to disk failed", errno);
  }
  return s.staging == Staging::kInPlace ? s.CommitInPlace(still_valid)
                                        : s.CommitByRename(still_valid);
}

}  // namespace tallivan
