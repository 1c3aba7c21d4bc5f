#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

#include "storage/atomic_writer.h"
#include "storage/file_system_posix.h"
#include "storage/history_posix.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;
using posix::Fd;
using posix::Quoted;
using posix::Reason;
using posix::SaveError;

constexpr int kMaxNameAttempts = 100;
constexpr size_t kMaxNameStem = 200;
constexpr size_t kNameSuffixLength = 8;
constexpr char kTempSuffix[] = ".tmp";
// A temporary file that nobody holds is taken for a killed save's only once it is this old, so
// that one just made, not yet locked by its maker, is never taken.
constexpr int64_t kStaleSeconds = 10 * 60;
constexpr char kAccessList[] = "system.posix_acl_access";
constexpr int kTerminationSignals[] = {SIGTERM, SIGINT, SIGHUP};

// The files of saves under way that are to go should the save not finish: named temporary files,
// and a version that is still the book itself. For the termination handler. A slot is free (0),
// being filled (1) or holds a file (2).
struct PendingFile {
  std::atomic<int> state{0};
  int dir_fd = -1;
  char name[PATH_MAX] = {};
};
PendingFile pending_files[16];

int Remember(int dir_fd, const std::string& name) {
  if (name.size() >= PATH_MAX) return -1;
  for (int slot = 0; slot < static_cast<int>(std::size(pending_files)); ++slot) {
    PendingFile& file = pending_files[slot];
    int free = 0;
    if (!file.state.compare_exchange_strong(free, 1)) continue;
    file.dir_fd = dir_fd;
    std::memcpy(file.name, name.c_str(), name.size() + 1);
    file.state.store(2);
    return slot;
  }
  return -1;
}

void Forget(int& slot) {
  if (slot >= 0) pending_files[std::exchange(slot, -1)].state.store(0);
}

extern "C" void RemovePendingFilesAndEnd(int signal_number) {
  const int saved_errno = errno;
  for (PendingFile& file : pending_files) {
    if (file.state.load() == 2) unlinkat(file.dir_fd, file.name, 0);
  }
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  sigaction(signal_number, &default_action, nullptr);
  errno = saved_errno;
  // Delivered once this handler returns, now with the default action.
  raise(signal_number);
}

// Holds off the termination signals while the book is written over in place, so that a signal
// ends the process before or after that, never in the middle.
class TerminationDeferred {
 public:
  TerminationDeferred() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal_number : kTerminationSignals) sigaddset(&set, signal_number);
    pthread_sigmask(SIG_BLOCK, &set, &previous_);
  }
  ~TerminationDeferred() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  TerminationDeferred(const TerminationDeferred&) = delete;
  TerminationDeferred& operator=(const TerminationDeferred&) = delete;

 private:
  sigset_t previous_;
};

uint64_t SplitMix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

std::string TempPrefix(const std::string& name) {
  std::string prefix(1, '.');
  return prefix.append(name, 0, kMaxNameStem).append(1, '.');
}

// A fresh name for a temporary file beside `name`, hidden and marked as such.
std::string TempName(const std::string& name) {
  static std::atomic<uint64_t> counter{0};
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  uint64_t bits =
      SplitMix(static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(now.tv_sec) << 30) ^
               (static_cast<uint64_t>(getpid()) << 16) ^ counter.fetch_add(1));
  static constexpr char kDigits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string temp = TempPrefix(name);
  for (size_t i = 0; i < kNameSuffixLength; ++i, bits /= 36) temp += kDigits[bits % 36];
  return temp.append(kTempSuffix);
}

bool IsTempNameOf(const std::string& name, std::string_view candidate) {
  const std::string prefix = TempPrefix(name);
  if (candidate.size() != prefix.size() + kNameSuffixLength + std::strlen(kTempSuffix) ||
      !candidate.starts_with(prefix) || !candidate.ends_with(kTempSuffix)) {
    return false;
  }
  return std::all_of(candidate.begin() + prefix.size(),
                     candidate.begin() + prefix.size() + kNameSuffixLength,
                     [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); });
}

// Removes the temporary files of `name` in `dir_fd` that killed saves left: old enough, and held
// by no live process (each save holds a lock on its own while it lives).
void RemoveStaleTempFiles(int dir_fd, const std::string& name) {
  const int listed = dup(dir_fd);
  DIR* dir = listed >= 0 ? fdopendir(listed) : nullptr;
  if (dir == nullptr) {
    if (listed >= 0) close(listed);
    return;
  }
  const int64_t now = posix::NowSeconds();
  while (const dirent* entry = readdir(dir)) {
    struct stat st {};
    if (!IsTempNameOf(name, entry->d_name) ||
        fstatat(dir_fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        now - st.st_mtime < kStaleSeconds) {
      continue;
    }
    const Fd file(openat(dir_fd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat held {};
    if (file.ok() && flock(file.get(), LOCK_EX | LOCK_NB) == 0 && fstat(file.get(), &held) == 0 &&
        held.st_ino == st.st_ino && held.st_dev == st.st_dev) {
      unlinkat(dir_fd, entry->d_name, 0);
    }
  }
  closedir(dir);
}

// The extended attributes of the file at `path`, names and values.
std::vector<std::pair<std::string, std::string>> AttributesOf(const fs::path& path) {
  std::vector<std::pair<std::string, std::string>> attributes;
  std::string names(4096, '\0');
  ssize_t length = llistxattr(path.c_str(), names.data(), names.size());
  if (length < 0 && errno == ERANGE) {
    length = llistxattr(path.c_str(), nullptr, 0);
    if (length > 0) {
      names.resize(static_cast<size_t>(length));
      length = llistxattr(path.c_str(), names.data(), names.size());
    }
  }
  for (size_t at = 0; length > 0 && at < static_cast<size_t>(length);) {
    const std::string attribute(names.c_str() + at);
    at += attribute.size() + 1;
    const ssize_t size = lgetxattr(path.c_str(), attribute.c_str(), nullptr, 0);
    if (size < 0) continue;
    std::string value(static_cast<size_t>(size), '\0');
    const ssize_t got = lgetxattr(path.c_str(), attribute.c_str(), value.data(), value.size());
    if (got < 0) continue;
    value.resize(static_cast<size_t>(got));
    attributes.emplace_back(attribute, std::move(value));
  }
  return attributes;
}

// Whether the new content in `staged` differs from the file `name` in `dir_fd` of `size` bytes;
// a file that cannot be read counts as different.
bool Differs(int staged, int dir_fd, const std::string& name, uint64_t size) {
  struct stat st {};
  if (fstat(staged, &st) != 0 || static_cast<uint64_t>(st.st_size) != size) return true;
  const Fd old(openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!old.ok()) return true;
  return posix::SameContent(staged, old.get(), size) != true;
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
  fs::path folder;
  std::string name;  // the file's name inside its folder
  SaveOptions options;
  Fd dir;
  bool exists = false;
  struct stat old {};
  mode_t final_mode = 0;
  std::vector<std::pair<std::string, std::string>> attributes;
  Staging staging = Staging::kNamed;
  Fd staged;
  std::string temp_name;  // the name of the staged file, while it has one
  int pending_slot = -1;
  Fd in_place;  // the file itself, open for writing over it

  ~State() { Discard(); }

  // Drops the new content and whatever of it has a name.
  void Discard() {
    Forget(pending_slot);
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
      std::string temp = TempName(name);
      pending_slot = Remember(dir.get(), temp);
      staged = Fd(openat(dir.get(), temp.c_str(),
                         O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
      if (staged.ok()) {
        staging = Staging::kNamed;
        temp_name = std::move(temp);
        flock(staged.get(), LOCK_EX);
        return 0;
      }
      Forget(pending_slot);
      if (errno != EEXIST) return errno;
    }
    return EEXIST;
  }

  // Gives up replacing the file for writing over it in place, because of `why`. The content
  // written so far is kept when `keep_content`.
  Status WriteInPlace(const std::string& why, bool keep_content) {
    Forget(pending_slot);
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
      const bool access_list = attribute == kAccessList;
      has_access_list |= access_list;
      if (fsetxattr(staged.get(), attribute.c_str(), value.data(), value.size(), 0) != 0 &&
          access_list) {
        return WriteInPlace("its access list cannot be kept (" + Reason(errno) + ")", true);
      }
    }
    // One inherited from a default access list of the folder would grant what the file did not.
    if (exists && !has_access_list) fremovexattr(staged.get(), kAccessList);
    if (fchmod(staged.get(), final_mode) != 0) return Failure("", errno);
    return {};
  }

  // Keeps the text being replaced in the history when asked to and when it differs from the new
  // one; the version, or nothing and a warning.
  fs::path KeepOldVersion(posix::VersionCopy how, SaveReport& report) {
    struct stat now {};
    if (options.history != History::kKeep ||
        fstatat(dir.get(), name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(now.st_mode) ||
        !Differs(staged.get(), dir.get(), name, static_cast<uint64_t>(now.st_size))) {
      return {};
    }
    Result<fs::path> kept =
        posix::KeepVersion(dir.get(), folder, name, now, how, posix::NowSeconds());
    if (kept) return kept.value();
    report.warnings.push_back("Saving " + Quoted(shown_path) + ": " + kept.error().description);
    return {};
  }

  // Gives the unnamed file its temporary name; 0 or the errno that stopped it.
  int NameStaged() {
    const std::string proc_path = "/proc/self/fd/" + std::to_string(staged.get());
    for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
      std::string temp = TempName(name);
      pending_slot = Remember(dir.get(), temp);
      if (linkat(AT_FDCWD, proc_path.c_str(), dir.get(), temp.c_str(), AT_SYMLINK_FOLLOW) == 0 ||
          (errno == ENOENT &&
           linkat(staged.get(), "", dir.get(), temp.c_str(), AT_EMPTY_PATH) == 0)) {
        temp_name = std::move(temp);
        return 0;
      }
      Forget(pending_slot);
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
    const fs::path kept = KeepOldVersion(posix::VersionCopy::kLinkOrCopy, report);
    // Until the rename, the version is the book itself: should the save not finish, it would only
    // repeat the book, and a later save that writes over the book in place would change it.
    int kept_slot = kept.empty() ? -1 : Remember(AT_FDCWD, kept.string());
    const auto undo = [&](const Error& error) {
      Forget(kept_slot);
      if (!kept.empty()) unlink(kept.c_str());
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
    Forget(pending_slot);
    Forget(kept_slot);
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
    const fs::path kept = KeepOldVersion(posix::VersionCopy::kCopy, report);
    struct stat was {};
    struct stat now {};
    if (fstat(in_place.get(), &was) != 0 || fstat(staged.get(), &now) != 0) {
      return Failure("", errno);
    }
    const auto old_size = static_cast<uint64_t>(was.st_size);
    const auto new_size = static_cast<uint64_t>(now.st_size);
    const TerminationDeferred deferred;
    if (new_size > old_size) {
      int error_number = 0;
      // The room for the longer text is found before a byte of the old one is touched.
      if (fallocate(in_place.get(), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(new_size)) != 0) {
        error_number = errno;
        if (error_number == EOPNOTSUPP) error_number = WriteTail(old_size, new_size);
      }
      if (error_number != 0) {
        [[maybe_unused]] const int kept_size = ftruncate(in_place.get(), was.st_size);
        if (!kept.empty()) unlink(kept.c_str());
        return Failure("there is no room for the new text, and the file was left as it was",
                       error_number);
      }
    }
    int error_number = posix::CopyContent(staged.get(), in_place.get(), new_size);
    if (error_number == 0 && fsync(in_place.get()) != 0) error_number = errno;
    if (error_number == 0 && ftruncate(in_place.get(), static_cast<off_t>(new_size)) != 0) {
      error_number = errno;
    }
    if (error_number == 0 && fsync(in_place.get()) != 0) error_number = errno;
    if (error_number == 0) error_number = in_place.Close();
    if (error_number != 0) {
      std::string what = "writing it in place failed, so it may be damaged";
      if (!kept.empty()) what += " (its previous text is in " + Quoted(kept) + ")";
      return Failure(what, error_number);
    }
    staged.Close();
    Finish(kept, report);
    return report;
  }

  // Writes the part of the new content beyond `old_size` first, which finds the room for it
  // where the file system cannot reserve it; 0 or the errno that stopped it.
  int WriteTail(uint64_t old_size, uint64_t new_size) {
    std::string tail(static_cast<size_t>(new_size - old_size), '\0');
    if (pread(staged.get(), tail.data(), tail.size(), static_cast<off_t>(old_size)) !=
        static_cast<ssize_t>(tail.size())) {
      return errno != 0 ? errno : EIO;
    }
    for (size_t done = 0; done < tail.size();) {
      const ssize_t put = pwrite(in_place.get(), tail.data() + done, tail.size() - done,
                                 static_cast<off_t>(old_size + done));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) return put < 0 ? errno : ENOSPC;
      done += static_cast<size_t>(put);
    }
    return 0;
  }

  // Reports the version kept and prunes the history around it.
  static void Finish(const fs::path& kept, SaveReport& report) {
    if (kept.empty()) return;
    report.kept_version = kept;
    for (std::string& warning : posix::PruneHistory(kept, posix::NowSeconds())) {
      report.warnings.push_back(std::move(warning));
    }
  }
};

AtomicWriter::AtomicWriter(std::unique_ptr<State> state) : state_(std::move(state)) {}
AtomicWriter::AtomicWriter(AtomicWriter&& other) noexcept = default;
AtomicWriter::~AtomicWriter() = default;

Result<FileFacts> InspectFile(const fs::path& path) {
  Result<fs::path> target = posix::FollowLinks(path);
  if (!target) return SaveError(path, target.error().description);
  const auto [folder, name] = posix::SplitPath(target.value());
  FileFacts facts;
  struct stat st {};
  if (lstat(target.value().c_str(), &st) == 0) {
    facts.exists = true;
    facts.read_only = posix::IsReadOnly(AT_FDCWD, target.value().c_str(), st);
    facts.writable_in_place = !facts.read_only;
  } else if (errno != ENOENT) {
    return SaveError(path, "", errno);
  }
  facts.folder_writable =
      faccessat(AT_FDCWD, folder.empty() ? "." : folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
  return facts;
}

void RemoveTemporaryFilesOnTermination() {
  for (int signal_number : kTerminationSignals) {
    struct sigaction current {};
    if (sigaction(signal_number, nullptr, &current) != 0 || current.sa_handler != SIG_DFL ||
        (current.sa_flags & SA_SIGINFO) != 0) {
      continue;
    }
    struct sigaction action {};
    action.sa_handler = RemovePendingFilesAndEnd;
    sigemptyset(&action.sa_mask);
    for (int other : kTerminationSignals) sigaddset(&action.sa_mask, other);
    sigaction(signal_number, &action, nullptr);
  }
}

Result<AtomicWriter> AtomicWriter::Open(const fs::path& path, const SaveOptions& options) {
  Result<fs::path> target = posix::FollowLinks(path);
  if (!target) return SaveError(path, target.error().description);
  auto state = std::make_unique<State>();
  State& s = *state;
  s.shown_path = path;
  s.options = options;
  std::tie(s.folder, s.name) = posix::SplitPath(target.value());
  if (path.empty()) return SaveError(path, "no file name was given");
  if (path.string().ends_with('/')) {
    return SaveError(path, "a name ending in \"/\" names a folder, not a file");
  }
  if (s.name.empty() || s.name == "." || s.name == "..") return SaveError(path, "", EISDIR);
  s.dir = Fd(posix::OpenFolder(s.folder));
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
  RemoveStaleTempFiles(s.dir.get(), s.name);

  if (const int error_number = s.CreateStaged(); error_number != 0) {
    if (error_number != EACCES && error_number != EPERM) return s.Failure("", error_number);
    const Status in_place =
        s.WriteInPlace("its folder takes no new file (" + Reason(error_number) + ")", false);
    if (!in_place) return in_place.error();
    return AtomicWriter(std::move(state));
  }
  if (s.exists) {
    if (const Status kept = s.KeepOwnerAndGroup(); !kept) return kept.error();
    if (s.staging != Staging::kInPlace) s.attributes = AttributesOf(s.folder / s.name);
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
