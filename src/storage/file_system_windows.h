// What the Windows implementation of the storage shares among its files; not part of its
// interface.
#ifndef TALLIVAN_STORAGE_FILE_SYSTEM_WINDOWS_H_
#define TALLIVAN_STORAGE_FILE_SYSTEM_WINDOWS_H_

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/error.h"

namespace tallivan::windows {

// Every share mode: the storage never keeps others from reading, writing or renaming a file.
inline constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// How long the steps of a save that another program stands in the way of are tried again, in
// all: virus scanners, the search indexer, Explorer's preview, backup and sync tools open files
// for a moment all the time.
inline constexpr std::chrono::milliseconds kRetryTime{3000};

// The error a step gives for a file that has the read-only attribute, which a backup or sync tool
// may also set for a moment; retried like the others.
inline constexpr DWORD kReadOnlyError = ERROR_FILE_READ_ONLY;

// Whether a step that was denied access is tried again: for most, another program's open gives
// that; for some, it has a lasting cause that a step of its own answers at once.
enum class AccessDenied { kRetried, kFinal };

// Runs steps again while they fail with an error that another program's open or lock of a file
// gives (a sharing, lock or access violation, or kReadOnlyError), pausing a little longer each
// time, until `limit` has passed since it was made. Every step is run at least once.
class Retry {
 public:
  explicit Retry(std::chrono::milliseconds limit = kRetryTime);

  // Runs `step`, which gives 0 or an error, until it succeeds, fails otherwise or the time is up;
  // its last result.
  DWORD Run(const std::function<DWORD()>& step,
            AccessDenied access_denied = AccessDenied::kRetried);

 private:
  uint64_t deadline_;  // GetTickCount64() milliseconds
  DWORD pause_;
};

// An open file handle, closed when dropped.
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE handle) : handle_(handle) {}
  Handle(Handle&& other) noexcept : handle_(std::exchange(other.handle_, INVALID_HANDLE_VALUE)) {}
  Handle& operator=(Handle&& other) noexcept;
  ~Handle();

  HANDLE get() const { return handle_; }
  bool ok() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  // Gives the handle up without closing it.
  HANDLE Release() { return std::exchange(handle_, INVALID_HANDLE_VALUE); }
  // Closes the handle now; 0 or the error of CloseHandle.
  DWORD Close();

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// Opens or makes `name` in the folder held open as `folder` (NtCreateFile relative to the
// folder's handle, for synchronous use), never following a reparse point; 0 and the handle in
// `file`, or the error. `security` is a new file's security descriptor (nullptr: what its folder
// gives); `made` the attributes of a file it makes.
DWORD OpenAt(HANDLE folder, std::wstring_view name, ACCESS_MASK access, ULONG disposition,
             ULONG options, Handle& file, void* security = nullptr, DWORD share = kShareAll,
             DWORD made = FILE_ATTRIBUTE_NORMAL);

// Has the open file `file` (opened with DELETE) removed when its last handle closes; 0 or the
// error.
DWORD MarkForRemoval(HANDLE file);

// Writes all of `bytes` to `file`; 0 or the error that stopped it.
DWORD WriteToHandle(HANDLE file, std::span<const char> bytes);

// `path` as the system's calls take it: a path too long for them otherwise is made absolute and
// given the "\\?\" prefix, so that a book deep in folders is saved with its temporary file and
// its history beside it. Every call in the storage that names a file takes this.
std::wstring LongPath(const std::filesystem::path& path);

// CreateFileW on `path`.
HANDLE OpenFile(const std::filesystem::path& path, DWORD access, DWORD share, DWORD disposition,
                DWORD flags = FILE_ATTRIBUTE_NORMAL, SECURITY_ATTRIBUTES* security = nullptr);

// The system's text for an error of GetLastError(), in UTF-8.
std::string Reason(DWORD code);

// `path` in double quotes, in UTF-8, as descriptions show it.
std::string Quoted(const std::filesystem::path& path);

// "Cannot save "PATH": [WHAT: ]REASON", error 75.
Error SaveError(const std::filesystem::path& path, const std::string& what, DWORD code);
Error SaveError(const std::filesystem::path& path, const std::string& reason);

// The reason given for a path that names a folder where a file is wanted.
std::string FolderReason();

// Follows symbolic links and junctions from `path` to the file they finally name. A path that is
// no link, or does not exist, is given back as it is. Error 75 whose description is the reason.
Result<std::filesystem::path> FollowLinks(const std::filesystem::path& path);

// The path of the open file `file` as it is now. Error 75 whose description is the reason.
Result<std::filesystem::path> PathOf(HANDLE file);

// What tells files apart and whether one changed.
struct FileInfo {
  DWORD attributes = 0;
  uint64_t volume = 0;
  uint64_t index = 0;
  uint64_t size = 0;
  FILETIME created{};
  FILETIME written{};
};

// The FileInfo of the open file `file`; 0 or the error.
DWORD InfoOf(HANDLE file, FileInfo& info);

// Whether the file `path`, whose attributes are `attributes`, may not be written: it has the
// read-only attribute, or the caller is not allowed to write it.
bool IsReadOnly(const std::filesystem::path& path, DWORD attributes);

// A security descriptor that gives the current user alone full control of what it is given to,
// inheriting nothing; on a folder, what is made inside inherits it.
class PrivateSecurity {
 public:
  PrivateSecurity();
  PrivateSecurity(const PrivateSecurity&) = delete;
  PrivateSecurity& operator=(const PrivateSecurity&) = delete;

  // For CreateFileW and CreateDirectoryW; nullptr when the current user cannot be told, and the
  // new file then gets what its folder gives.
  SECURITY_ATTRIBUTES* attributes() { return ok_ ? &attributes_ : nullptr; }

 private:
  std::vector<unsigned char> user_;
  std::vector<unsigned char> list_;
  SECURITY_DESCRIPTOR descriptor_{};
  SECURITY_ATTRIBUTES attributes_{};
  bool ok_ = false;
};

// The access list (DACL) of a file, to give to another one.
class AccessList {
 public:
  // The access list of the open file `file` (opened with READ_CONTROL); nullopt with the error in
  // `code` when it cannot be read.
  static std::optional<AccessList> Of(HANDLE file, DWORD& code);

  // Gives it to the open file `file` (opened with WRITE_DAC): the same entries, and the same
  // inheritance from the folder; 0 or the error.
  DWORD GiveTo(HANDLE file) const;

  // Whether it inherits nothing from its folder, as a list that the user set up does.
  bool is_protected() const { return protected_; }

 private:
  struct Free {
    void operator()(void* memory) const { LocalFree(memory); }
  };
  std::unique_ptr<void, Free> descriptor_;
  ACL* list_ = nullptr;
  bool protected_ = false;
};

// Removes the file `path`, first taking off a read-only attribute that would keep it; 0 or the
// error.
DWORD RemoveFile(const std::filesystem::path& path);

// Copies `bytes` bytes of `from` (from its start) to `to` (at its start); 0 or the error.
DWORD CopyContent(HANDLE from, HANDLE to, uint64_t bytes);

// Whether the two files hold the same first `bytes` bytes; reading stops at the first difference.
// nullopt when either cannot be read.
std::optional<bool> SameContent(HANDLE a, HANDLE b, uint64_t bytes);

// Gives `names` the names of the files (not folders, not links) in `folder`; 0 or the error.
DWORD FileNames(const std::filesystem::path& folder, std::vector<std::wstring>& names);

// Seconds since 1970, UTC, of a file time.
int64_t Seconds(const FILETIME& time);

// A file time in nanoseconds since 1970, UTC.
int64_t Nanoseconds(const FILETIME& time);

// Seconds since 1970, UTC.
int64_t NowSeconds();

}  // namespace tallivan::windows

#endif  // TALLIVAN_STORAGE_FILE_SYSTEM_WINDOWS_H_
