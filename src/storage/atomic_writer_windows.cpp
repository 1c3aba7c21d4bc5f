#include <windows.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <utility>

#include "storage/atomic_writer.h"
#include "storage/file_system_windows.h"
#include "storage/history_windows.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;
using windows::AccessList;
using windows::FileInfo;
using windows::Handle;
using windows::Quoted;
using windows::Reason;
using windows::SaveError;

constexpr int kMaxNameAttempts = 100;
constexpr size_t kMaxNameStem = 200;
constexpr size_t kNameSuffixLength = 8;
constexpr std::wstring_view kTempSuffix = L".tmp";
// A temporary file that nobody holds is taken for a killed save's only once it is this old.
constexpr int64_t kStaleSeconds = 10 * 60;
// The attributes a new book takes over from the one it replaces.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                  FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// The files of saves under way that are to go should the process be ended: temporary files, and
// a version that is still the book itself. The console's control handler runs on a thread of its
// own, so a lock guards them.
struct PendingFiles {
  std::mutex mutex;
  std::map<int, fs::path> files;
  int next = 0;
};

PendingFiles& Pending() {
  static auto* pending = new PendingFiles;  // never destroyed: the handler may run at exit
  return *pending;
}

int Remember(const fs::path& path) {
  PendingFiles& pending = Pending();
  std::lock_guard lock(pending.mutex);
  pending.files.emplace(pending.next, path);
  return pending.next++;
}

void Forget(int& id) {
  if (id < 0) return;
  PendingFiles& pending = Pending();
  std::lock_guard lock(pending.mutex);
  pending.files.erase(std::exchange(id, -1));
}

// Ctrl+C, Ctrl+Break, closing the console, logging off and shutting down end the process once
// the handlers return FALSE; the files of saves under way go first.
BOOL WINAPI RemovePendingFiles(DWORD) {
  PendingFiles& pending = Pending();
  std::lock_guard lock(pending.mutex);
  for (const auto& [id, path] : pending.files) windows::RemoveFile(path);
  return FALSE;
}

uint64_t SplitMix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

std::wstring TempPrefix(const std::wstring& name) {
  std::wstring prefix(1, L'.');
  return prefix.append(name, 0, kMaxNameStem).append(1, L'.');
}

// A fresh name for a temporary file beside `name`, marked as such.
std::wstring TempName(const std::wstring& name) {
  static std::atomic<uint64_t> counter{0};
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  uint64_t bits =
      SplitMix(static_cast<uint64_t>(now.QuadPart) ^
               (static_cast<uint64_t>(GetCurrentProcessId()) << 32) ^ counter.fetch_add(1));
  static constexpr wchar_t kDigits[] = L"abcdefghijklmnopqrstuvwxyz0123456789";
  std::wstring temp = TempPrefix(name);
  for (size_t i = 0; i < kNameSuffixLength; ++i, bits /= 36) temp += kDigits[bits % 36];
  return temp.append(kTempSuffix);
}

bool IsTempNameOf(const std::wstring& name, std::wstring_view candidate) {
  const std::wstring prefix = TempPrefix(name);
  if (candidate.size() != prefix.size() + kNameSuffixLength + kTempSuffix.size() ||
      !candidate.starts_with(prefix) || !candidate.ends_with(kTempSuffix)) {
    return false;
  }
  return std::all_of(
      candidate.begin() + prefix.size(), candidate.begin() + prefix.size() + kNameSuffixLength,
      [](wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9'); });
}

// Marks the open file `file` (opened with DELETE and FILE_WRITE_ATTRIBUTES) to go when its last
// handle closes, read-only or not; 0 or the error.
DWORD DeleteOnClose(HANDLE file) {
  FILE_BASIC_INFO basic{};
  basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic);
  FILE_DISPOSITION_INFO disposition{TRUE};
  return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition)
             ? 0
             : GetLastError();
}

// Removes the temporary files of `name` in `folder` that killed saves left: old enough, and held
// open by no process (each save holds its own open, which keeps others from opening it alone).
void RemoveStaleTempFiles(const fs::path& folder, const std::wstring& name) {
  std::vector<std::wstring> names;
  if (windows::FileNames(folder, names) != 0) return;
  const int64_t now = windows::NowSeconds();
  for (const std::wstring& candidate : names) {
    if (!IsTempNameOf(name, candidate)) continue;
    const fs::path path = folder / candidate;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(windows::LongPath(path).c_str(), GetFileExInfoStandard, &data) ||
        now - windows::Seconds(data.ftLastWriteTime) < kStaleSeconds) {
      continue;
    }
    const Handle alone(windows::OpenFile(path, DELETE | FILE_WRITE_ATTRIBUTES, 0, OPEN_EXISTING,
                                         FILE_FLAG_OPEN_REPARSE_POINT));
    if (alone.ok()) DeleteOnClose(alone.get());
  }
}

// Whether the new content in `staged` differs from the file `path`; a file that cannot be read
// counts as different.
bool Differs(HANDLE staged, const fs::path& path) {
  const Handle old(windows::OpenFile(path, GENERIC_READ, windows::kShareAll, OPEN_EXISTING));
  FileInfo mine, theirs;
  if (!old.ok() || windows::InfoOf(staged, mine) != 0 || windows::InfoOf(old.get(), theirs) != 0 ||
      mine.size != theirs.size) {
    return true;
  }
  return windows::SameContent(staged, old.get(), mine.size) != true;
}

// The folder of `path` for calls that need one.
fs::path FolderOf(const fs::path& path) {
  return path.has_parent_path() ? path.parent_path() : fs::path(L".");
}

}  // namespace

struct AtomicWriter::State {
  fs::path shown_path;  // as the caller named it, for messages
  fs::path target;      // the file itself, links followed
  SaveOptions options;
  bool exists = false;
  FileInfo old;
  std::optional<AccessList> access_list;  // the old file's, when it could be read
  DWORD access_list_error = 0;            // why it could not be
  DWORD final_attributes = FILE_ATTRIBUTE_NORMAL;
  Handle staged;
  fs::path temp;  // the staged file's path, while it has one
  int pending_id = -1;

  ~State() { Discard(); }

  // Drops the new content and its file.
  void Discard() {
    Forget(pending_id);
    if (staged.ok() && !temp.empty()) DeleteOnClose(staged.get());
    staged.Close();
    if (!temp.empty()) windows::RemoveFile(std::exchange(temp, {}));
  }

  Error Failure(const std::string& what, DWORD code) {
    Discard();
    return SaveError(shown_path, what, code);
  }

  // Makes the new content's first home beside the file: hidden, private to the caller where it is
  // to replace a file (which gives it its own access list at the end) or is to be private, held
  // open so that no other process can remove it meanwhile. 0 or the error.
  DWORD CreateStaged(bool private_file) {
    windows::PrivateSecurity security;
    const fs::path folder = target.parent_path();
    for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
      fs::path path = folder / TempName(target.filename().native());
      pending_id = Remember(path);
      staged = Handle(
          windows::OpenFile(path, GENERIC_READ | GENERIC_WRITE | DELETE | READ_CONTROL | WRITE_DAC,
                            FILE_SHARE_READ | FILE_SHARE_DELETE, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN,
                            private_file ? security.attributes() : nullptr));
      if (staged.ok()) {
        temp = std::move(path);
        return 0;
      }
      const DWORD code = GetLastError();
      Forget(pending_id);
      if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) return code;
    }
    return ERROR_FILE_EXISTS;
  }

  // Keeps the text being replaced in the history when asked to and when it differs from the new
  // one; the version, or nothing and a warning.
  fs::path KeepOldVersion(SaveReport& report, windows::Retry& retry) {
    if (options.history != History::kKeep || !exists || !Differs(staged.get(), target)) return {};
    Result<fs::path> kept = windows::KeepVersion(target, access_list, windows::NowSeconds(), retry);
    if (kept) return kept.value();
    // The folder and the reason alone, for the window to put in its own words.
    constexpr std::string_view kNotKept = "the text it replaced could not be kept in ";
    const std::string& why = kept.error().description;
    report.history_not_kept = why.starts_with(kNotKept) ? why.substr(kNotKept.size()) : why;
    report.warnings.push_back("Saving " + Quoted(shown_path) + ": " + why);
    return {};
  }

  // Gives the staged file what the old one had that a new file lacks: its access list, its
  // attributes and the time it was created.
  Status TakeOverFromOld(SaveReport& report) {
    if (exists) {
      const DWORD code = access_list ? access_list->GiveTo(staged.get()) : access_list_error;
      if (code != 0) {
        report.warnings.push_back("Saved " + Quoted(shown_path) +
                                  ", but its access list could not be kept, so only you may use "
                                  "it now: " +
                                  Reason(code));
      }
    }
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = final_attributes;
    if (exists) {
      basic.CreationTime.LowPart = old.created.dwLowDateTime;
      basic.CreationTime.HighPart = static_cast<LONG>(old.created.dwHighDateTime);
    }
    if (!SetFileInformationByHandle(staged.get(), FileBasicInfo, &basic, sizeof basic)) {
      return Failure("", GetLastError());
    }
    return {};
  }

  // Whether the book may be replaced now: no other program has it open, which the system tells
  // only here, before anything is touched (a version linked meanwhile could not even be removed),
  // and it is not read-only unless the caller may replace such a file; it may have become so
  // since the save began. 0 or the error; `attributes` are the book's.
  DWORD CheckReplaceable(DWORD& attributes) const {
    const Handle alone(windows::OpenFile(target, DELETE | FILE_READ_ATTRIBUTES, 0, OPEN_EXISTING,
                                         FILE_FLAG_OPEN_REPARSE_POINT));
    FileInfo now;
    if (!alone.ok()) return GetLastError();
    if (const DWORD code = windows::InfoOf(alone.get(), now); code != 0) return code;
    attributes = now.attributes;
    const bool refused =
        (attributes & FILE_ATTRIBUTE_READONLY) != 0 && options.read_only == ReadOnlyFile::kRefuse;
    return refused ? windows::kReadOnlyError : 0;
  }

  Result<SaveReport> CommitByMove(const std::function<Status()>& still_valid) {
    SaveReport report;
    if (Status taken = TakeOverFromOld(report); !taken) return taken.error();
    if (!FlushFileBuffers(staged.get())) return Failure("flushing to disk failed", GetLastError());
    if (still_valid) {
      if (Status valid = still_valid(); !valid) {
        Discard();
        return valid.error();
      }
    }
    // Another program that has the book open keeps it from being replaced, even for the moment a
    // scanner looks at it; each step waits a while for it to let go (see windows::Retry).
    windows::Retry retry;
    DWORD attributes = 0;
    if (exists) {
      if (const DWORD code = retry.Run([&] { return CheckReplaceable(attributes); }); code != 0) {
        if (code != windows::kReadOnlyError) return Failure("", code);
        Discard();
        return SaveError(shown_path, "it is read-only");
      }
    }
    const fs::path kept = KeepOldVersion(report, retry);
    // Until the move, the version is the book itself: should the save not finish, it would only
    // repeat the book.
    int kept_id = kept.empty() ? -1 : Remember(kept);
    bool attribute_taken_off = false;
    const auto undo = [&](DWORD code) {
      if (attribute_taken_off) SetFileAttributesW(windows::LongPath(target).c_str(), attributes);
      Forget(kept_id);
      if (!kept.empty()) windows::RemoveFile(kept);
      return Failure("", code);
    };
    // A read-only book the caller may replace loses the attribute for the move only (the new
    // file has it already).
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
      if (const DWORD code = retry.Run([&] {
            return SetFileAttributesW(windows::LongPath(target).c_str(),
                                      attributes & ~FILE_ATTRIBUTE_READONLY)
                       ? 0
                       : GetLastError();
          });
          code != 0) {
        return undo(code);
      }
      attribute_taken_off = true;
    }
    // A rename within the folder: the old file stays whole until the new one takes its name.
    if (const DWORD code = retry.Run([&] {
          return MoveFileExW(windows::LongPath(temp).c_str(), windows::LongPath(target).c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
                     ? 0
                     : GetLastError();
        });
        code != 0) {
      return undo(code);
    }
    temp.clear();
    Forget(pending_id);
    Forget(kept_id);
    staged.Close();
    if (!kept.empty()) {
      report.kept_version = kept;
      for (std::string& warning : windows::PruneHistory(kept, windows::NowSeconds())) {
        report.warnings.push_back(std::move(warning));
      }
    }
    return report;
  }
};

AtomicWriter::AtomicWriter(std::unique_ptr<State> state) : state_(std::move(state)) {}
AtomicWriter::AtomicWriter(AtomicWriter&& other) noexcept = default;
AtomicWriter::~AtomicWriter() = default;

Result<FileFacts> InspectFile(const fs::path& path) {
  Result<fs::path> target = windows::FollowLinks(path);
  if (!target) return SaveError(path, target.error().description);
  FileFacts facts;
  const DWORD attributes = GetFileAttributesW(windows::LongPath(target.value()).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    facts.exists = true;
    facts.read_only = windows::IsReadOnly(target.value(), attributes);
  } else if (const DWORD code = GetLastError();
             code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) {
    return SaveError(path, "", code);
  }
  // Opening the folder to add a file to it asks the system whether the caller may.
  const Handle folder(windows::OpenFile(FolderOf(target.value()), FILE_ADD_FILE, windows::kShareAll,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS));
  facts.folder_writable = folder.ok();
  return facts;
}

void RemoveTemporaryFilesOnTermination() {
  static std::once_flag installed;
  std::call_once(installed, [] { SetConsoleCtrlHandler(RemovePendingFiles, TRUE); });
}

Result<AtomicWriter> AtomicWriter::Open(const fs::path& path, const SaveOptions& options) {
  if (path.empty()) return SaveError(path, "no file name was given");
  if (const wchar_t last = path.native().back(); last == L'/' || last == L'\\') {
    return SaveError(path, std::string("a name ending in \"") + static_cast<char>(last) +
                               "\" names a folder, not a file");
  }
  Result<fs::path> target = windows::FollowLinks(path);
  if (!target) return SaveError(path, target.error().description);
  auto state = std::make_unique<State>();
  State& s = *state;
  s.shown_path = path;
  s.options = options;
  s.target = target.value();
  const fs::path name = s.target.filename();
  if (name.empty() || name == L"." || name == L"..") {
    return SaveError(path, windows::FolderReason());
  }
  WIN32_FILE_ATTRIBUTE_DATA data{};
  s.exists =
      GetFileAttributesExW(windows::LongPath(s.target).c_str(), GetFileExInfoStandard, &data) != 0;
  if (!s.exists && GetLastError() != ERROR_FILE_NOT_FOUND) {
    return SaveError(path, "", GetLastError());
  }
  bool private_file = true;
  if (s.exists) {
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return SaveError(path, windows::FolderReason());
    }
    const Handle old(windows::OpenFile(s.target, FILE_READ_ATTRIBUTES | READ_CONTROL,
                                       windows::kShareAll, OPEN_EXISTING));
    if (!old.ok()) return SaveError(path, "", GetLastError());
    if (GetFileType(old.get()) != FILE_TYPE_DISK) return SaveError(path, "not a regular file");
    if (const DWORD code = windows::InfoOf(old.get(), s.old); code != 0) {
      return SaveError(path, "", code);
    }
    s.access_list = AccessList::Of(old.get(), s.access_list_error);
    if (options.read_only == ReadOnlyFile::kRefuse &&
        windows::IsReadOnly(s.target, s.old.attributes)) {
      return SaveError(path, "it is read-only");
    }
    s.final_attributes = s.old.attributes & kKeptAttributes;
  } else {
    // Permission bits say what they can: no write bit for the owner makes the file read-only,
    // none for anyone else makes it private.
    const std::optional<unsigned> mode = options.new_file_mode;
    if (mode && (*mode & 0200) == 0) s.final_attributes = FILE_ATTRIBUTE_READONLY;
    private_file = mode && (*mode & 077) == 0;
  }
  if (s.final_attributes == 0) s.final_attributes = FILE_ATTRIBUTE_NORMAL;
  RemoveStaleTempFiles(FolderOf(s.target), name.native());
  if (const DWORD code = s.CreateStaged(private_file); code != 0) return s.Failure("", code);
  return AtomicWriter(std::move(state));
}

Status AtomicWriter::Write(std::span<const char> bytes) {
  if (!state_ || !state_->staged.ok()) {
    return SaveError(state_ ? state_->shown_path : fs::path(), "", ERROR_INVALID_HANDLE);
  }
  if (const DWORD code = windows::WriteToHandle(state_->staged.get(), bytes); code != 0) {
    return state_->Failure("", code);
  }
  return {};
}

Result<SaveReport> AtomicWriter::Commit(const std::function<Status()>& still_valid) {
  if (!state_ || !state_->staged.ok()) {
    return SaveError(state_ ? state_->shown_path : fs::path(), "", ERROR_INVALID_HANDLE);
  }
  return state_->CommitByMove(still_valid);
}

}  // namespace tallivan
