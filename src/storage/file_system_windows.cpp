#include "storage/file_system_windows.h"

// After windows.h.
#include <aclapi.h>
#include <winternl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "storage/file_io.h"

namespace tallivan::windows {
namespace {

namespace fs = std::filesystem;

constexpr size_t kCopyChunk = size_t{1} << 20;
// Paths from this length on are too long for some calls without the "\\?\" prefix (MAX_PATH less
// room for an 8.3 name, CreateDirectoryW's limit).
constexpr size_t kShortPathLimit = MAX_PATH - 12;
// The first and the longest pause between tries of a step, in milliseconds.
constexpr DWORD kFirstPause = 10;
constexpr DWORD kLongestPause = 500;
// 100-nanosecond ticks from 1601 to 1970.
constexpr int64_t kTicksTo1970 = 116'444'736'000'000'000;

int64_t Ticks(const FILETIME& time) {
  return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) |
                              time.dwLowDateTime);
}

// Reads up to `bytes.size()` bytes at `offset`; the count read (less only at the end), or nullopt
// with the error in GetLastError().
std::optional<size_t> ReadAt(HANDLE file, char* bytes, size_t count, uint64_t offset) {
  size_t done = 0;
  while (done < count) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset + done);
    at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(count - done, kCopyChunk));
    if (!ReadFile(file, bytes + done, want, &got, &at)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return std::nullopt;
    }
    if (got == 0) break;
    done += got;
  }
  return done;
}

// The current user's SID, as the process token has it.
std::vector<unsigned char> CurrentUser() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size);
  const bool got =
      size > 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size) != 0;
  CloseHandle(token);
  if (!got) return {};
  const SID* sid = static_cast<SID*>(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
  const DWORD length = GetLengthSid(const_cast<SID*>(sid));
  const auto* begin = reinterpret_cast<const unsigned char*>(sid);
  return std::vector<unsigned char>(begin, begin + length);
}

// Whether `code` is what another program's open or lock of a file gives for a moment.
bool MayPass(DWORD code, AccessDenied access_denied) {
  if (code == ERROR_ACCESS_DENIED) return access_denied == AccessDenied::kRetried;
  return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION ||
         code == ERROR_USER_MAPPED_FILE || code == kReadOnlyError;
}

}  // namespace

Retry::Retry(std::chrono::milliseconds limit)
    : deadline_(GetTickCount64() + static_cast<uint64_t>(limit.count())), pause_(kFirstPause) {}

DWORD Retry::Run(const std::function<DWORD()>& step, AccessDenied access_denied) {
  for (;;) {
    const DWORD code = step();
    const uint64_t now = GetTickCount64();
    if (code == 0 || !MayPass(code, access_denied) || now >= deadline_) return code;
    Sleep(static_cast<DWORD>(std::min<uint64_t>(pause_, deadline_ - now)));
    pause_ = std::min(pause_ * 2, kLongestPause);
  }
}

std::wstring LongPath(const fs::path& path) {
  const std::wstring& native = path.native();
  if (native.starts_with(L"\\\\?\\") || native.starts_with(L"\\\\.\\")) return native;
  std::wstring full(std::max<size_t>(native.size() + 1, MAX_PATH), L'\0');
  for (;;) {
    const DWORD length =
        GetFullPathNameW(native.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length == 0) return native;
    if (length < full.size()) {
      full.resize(length);
      break;
    }
    full.resize(length);
  }
  if (full.size() < kShortPathLimit) return native;
  // The prefix takes the path as it is: GetFullPathNameW has already turned "/" into "\",
  // resolved "." and "..", and dropped the dots and blanks that end a name.
  if (full.starts_with(L"\\\\") && !full.starts_with(L"\\\\?\\") && !full.starts_with(L"\\\\.\\")) {
    return L"\\\\?\\UNC" + full.substr(1);
  }
  if (full.size() > 2 && full[1] == L':') return L"\\\\?\\" + full;
  return native;
}

Handle& Handle::operator=(Handle&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, INVALID_HANDLE_VALUE);
  }
  return *this;
}

Handle::~Handle() { Close(); }

DWORD Handle::Close() {
  if (!ok()) return 0;
  return CloseHandle(std::exchange(handle_, INVALID_HANDLE_VALUE)) ? 0 : GetLastError();
}

DWORD OpenAt(HANDLE folder, std::wstring_view name, ACCESS_MASK access, ULONG disposition,
             ULONG options, Handle& file, void* security, DWORD share, DWORD made) {
  UNICODE_STRING text{};
  text.Buffer = const_cast<wchar_t*>(name.data());
  text.Length = text.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  OBJECT_ATTRIBUTES attributes{};
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, folder, security);
  IO_STATUS_BLOCK io{};
  HANDLE opened = nullptr;
  const NTSTATUS status = NtCreateFile(
      &opened, access | SYNCHRONIZE, &attributes, &io, nullptr, made, share, disposition,
      options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (status != 0) return RtlNtStatusToDosError(status);
  file = Handle(opened);
  return 0;
}

DWORD MarkForRemoval(HANDLE file) {
  FILE_DISPOSITION_INFO disposition{TRUE};
  return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition)
             ? 0
             : GetLastError();
}

HANDLE OpenFile(const fs::path& path, DWORD access, DWORD share, DWORD disposition, DWORD flags,
                SECURITY_ATTRIBUTES* security) {
  return CreateFileW(LongPath(path).c_str(), access, share, security, disposition, flags, nullptr);
}

std::string Reason(DWORD code) { return SystemErrorText(static_cast<int>(code)); }

std::string Quoted(const fs::path& path) {
  std::string quoted(1, '"');
  quoted.append(PathUtf8(path)).push_back('"');
  return quoted;
}

Error SaveError(const fs::path& path, const std::string& reason) {
  return Error{ErrorNumber::kFileAccess, "Cannot save " + Quoted(path) + ": " + reason};
}

Error SaveError(const fs::path& path, const std::string& what, DWORD code) {
  return SaveError(path, (what.empty() ? "" : what + ": ") + Reason(code));
}

std::string FolderReason() { return std::generic_category().message(EISDIR); }

Result<fs::path> FollowLinks(const fs::path& path) {
  const DWORD attributes = GetFileAttributesW(LongPath(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    return path;
  }
  const Handle file(
      OpenFile(path, FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS));
  if (!file.ok()) return Error{ErrorNumber::kFileAccess, Reason(GetLastError())};
  return PathOf(file.get());
}

Result<fs::path> PathOf(HANDLE file) {
  std::wstring final_path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetFinalPathNameByHandleW(
        file, final_path.data(), static_cast<DWORD>(final_path.size()), FILE_NAME_NORMALIZED);
    if (length == 0) return Error{ErrorNumber::kFileAccess, Reason(GetLastError())};
    if (length < final_path.size()) {
      final_path.resize(length);
      break;
    }
    final_path.resize(length + 1);
  }
  // "\\?\C:\..." and "\\?\UNC\server\..." as users write them.
  if (final_path.starts_with(L"\\\\?\\UNC\\")) {
    final_path = L"\\\\" + final_path.substr(8);
  } else if (final_path.starts_with(L"\\\\?\\") && final_path.size() > 6 && final_path[5] == L':') {
    final_path = final_path.substr(4);
  }
  return fs::path(final_path);
}

DWORD InfoOf(HANDLE file, FileInfo& info) {
  BY_HANDLE_FILE_INFORMATION by_handle{};
  if (!GetFileInformationByHandle(file, &by_handle)) return GetLastError();
  info.attributes = by_handle.dwFileAttributes;
  info.volume = by_handle.dwVolumeSerialNumber;
  info.index = (static_cast<uint64_t>(by_handle.nFileIndexHigh) << 32) | by_handle.nFileIndexLow;
  info.size = (static_cast<uint64_t>(by_handle.nFileSizeHigh) << 32) | by_handle.nFileSizeLow;
  info.created = by_handle.ftCreationTime;
  info.written = by_handle.ftLastWriteTime;
  return 0;
}

bool IsReadOnly(const fs::path& path, DWORD attributes) {
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) return true;
  const Handle probe(OpenFile(path, FILE_WRITE_DATA, kShareAll, OPEN_EXISTING));
  return !probe.ok() && GetLastError() == ERROR_ACCESS_DENIED;
}

PrivateSecurity::PrivateSecurity() : user_(CurrentUser()) {
  if (user_.empty()) return;
  auto* sid = reinterpret_cast<SID*>(user_.data());
  list_.resize(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid));
  auto* list = reinterpret_cast<ACL*>(list_.data());
  ok_ = InitializeAcl(list, static_cast<DWORD>(list_.size()), ACL_REVISION) &&
        AddAccessAllowedAceEx(list, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                              GENERIC_ALL, sid) &&
        InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
        SetSecurityDescriptorDacl(&descriptor_, TRUE, list, FALSE) &&
        SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
  attributes_ = {sizeof attributes_, &descriptor_, FALSE};
}

std::optional<AccessList> AccessList::Of(HANDLE file, DWORD& code) {
  AccessList list;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  code = GetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                         &list.list_, nullptr, &descriptor);
  if (code != ERROR_SUCCESS) return std::nullopt;
  list.descriptor_.reset(descriptor);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (GetSecurityDescriptorControl(descriptor, &control, &revision)) {
    list.protected_ = (control & SE_DACL_PROTECTED) != 0;
  }
  return list;
}

DWORD AccessList::GiveTo(HANDLE file) const {
  const SECURITY_INFORMATION what =
      DACL_SECURITY_INFORMATION |
      (protected_ ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION);
  return SetSecurityInfo(file, SE_FILE_OBJECT, what, nullptr, nullptr, list_, nullptr);
}

DWORD RemoveFile(const fs::path& path) {
  if (DeleteFileW(LongPath(path).c_str())) return 0;
  const DWORD code = GetLastError();
  if (code != ERROR_ACCESS_DENIED) return code;
  // The attribute belongs to the file, not to its name: the file's other links keep it.
  const Handle file(OpenFile(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll,
                             OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT));
  FILE_BASIC_INFO basic{};
  if (!file.ok() ||
      !GetFileInformationByHandleEx(file.get(), FileBasicInfo, &basic, sizeof basic) ||
      (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) == 0) {
    return code;
  }
  FILE_BASIC_INFO attributes_only{};  // times of 0 are left as they are
  attributes_only.FileAttributes = basic.FileAttributes & ~FILE_ATTRIBUTE_READONLY;
  if (attributes_only.FileAttributes == 0) attributes_only.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  if (!SetFileInformationByHandle(file.get(), FileBasicInfo, &attributes_only,
                                  sizeof attributes_only)) {
    return GetLastError();
  }
  FILE_DISPOSITION_INFO disposition{TRUE};
  const DWORD removed =
      SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof disposition)
          ? 0
          : GetLastError();
  attributes_only.FileAttributes = basic.FileAttributes;
  SetFileInformationByHandle(file.get(), FileBasicInfo, &attributes_only, sizeof attributes_only);
  return removed;
}

DWORD CopyContent(HANDLE from, HANDLE to, uint64_t bytes) {
  std::unique_ptr<char[]> buffer(new char[kCopyChunk]);
  LARGE_INTEGER start{};
  if (!SetFilePointerEx(to, start, nullptr, FILE_BEGIN)) return GetLastError();
  for (uint64_t at = 0; at < bytes;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kCopyChunk, bytes - at));
    const std::optional<size_t> got = ReadAt(from, buffer.get(), want, at);
    if (!got) return GetLastError();
    if (*got == 0) return ERROR_HANDLE_EOF;
    if (const DWORD error = WriteToHandle(to, {buffer.get(), *got}); error != 0) return error;
    at += *got;
  }
  return 0;
}

std::optional<bool> SameContent(HANDLE a, HANDLE b, uint64_t bytes) {
  std::unique_ptr<char[]> left(new char[kCopyChunk]), right(new char[kCopyChunk]);
  // The first piece is small: texts that differ mostly differ early.
  size_t piece = 4096;
  for (uint64_t at = 0; at < bytes; at += piece, piece = kCopyChunk) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(piece, bytes - at));
    const std::optional<size_t> got_a = ReadAt(a, left.get(), want, at);
    const std::optional<size_t> got_b = ReadAt(b, right.get(), want, at);
    if (!got_a || !got_b) return std::nullopt;
    if (*got_a != *got_b || std::memcmp(left.get(), right.get(), *got_a) != 0) return false;
    if (*got_a < want) return true;
  }
  return true;
}

DWORD FileNames(const fs::path& folder, std::vector<std::wstring>& names) {
  WIN32_FIND_DATAW found{};
  const HANDLE search = FindFirstFileExW(LongPath(folder / L"*").c_str(), FindExInfoBasic, &found,
                                         FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    return code == ERROR_FILE_NOT_FOUND ? 0 : code;
  }
  do {
    if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0) {
      names.emplace_back(found.cFileName);
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return 0;
}

int64_t Seconds(const FILETIME& time) { return (Ticks(time) - kTicksTo1970) / 10'000'000; }

int64_t Nanoseconds(const FILETIME& time) { return (Ticks(time) - kTicksTo1970) * 100; }

int64_t NowSeconds() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  return Seconds(now);
}

}  // namespace tallivan::windows
