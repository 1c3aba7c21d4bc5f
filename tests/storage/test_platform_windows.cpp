#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdlib>
#include <cwchar>
#include <string_view>

#include "runtime/error.h"
#include "storage/file_io.h"
#include "test_platform.h"

namespace tallivan {

const bool kStepsFail = false;
std::map<Step, Failing> failing;
std::map<Step, std::function<void()>> before;

namespace {

bool Fails(Step step) {
  if (const auto action = before.find(step); action != before.end()) action->second();
  const auto it = failing.find(step);
  if (it == failing.end()) return false;
  SetLastError(static_cast<DWORD>(it->second.error));
  if (--it->second.times == 0) failing.erase(it);
  return true;
}

// Windows takes no path of `limit` characters or more without the "\\?\" prefix (unless the user
// turned long paths on); Wine takes them all, so the tests hold the storage to that limit.
bool TooLong(LPCWSTR path, size_t limit = MAX_PATH) {
  if (path == nullptr || std::wstring_view(path).starts_with(L"\\\\?\\") ||
      std::wcslen(path) < limit) {
    return false;
  }
  SetLastError(ERROR_FILENAME_EXCED_RANGE);
  return true;
}

// The system's own `name`, of the type of the pointer `Call`.
template <typename Call>
Call System(const char* name) {
  return reinterpret_cast<Call>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name)));
}

HANDLE WINAPI CreateFileChecked(LPCWSTR path, DWORD access, DWORD share,
                                LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                HANDLE model) {
  static const auto call = System<decltype(&CreateFileW)>("CreateFileW");
  if (TooLong(path)) return INVALID_HANDLE_VALUE;
  return call(path, access, share, security, disposition, flags, model);
}

DWORD WINAPI GetFileAttributesChecked(LPCWSTR path) {
  static const auto call = System<decltype(&GetFileAttributesW)>("GetFileAttributesW");
  return TooLong(path) ? INVALID_FILE_ATTRIBUTES : call(path);
}

BOOL WINAPI GetFileAttributesExChecked(LPCWSTR path, GET_FILEEX_INFO_LEVELS level, LPVOID data) {
  static const auto call = System<decltype(&GetFileAttributesExW)>("GetFileAttributesExW");
  return !TooLong(path) && call(path, level, data);
}

BOOL WINAPI SetFileAttributesChecked(LPCWSTR path, DWORD attributes) {
  static const auto call = System<decltype(&SetFileAttributesW)>("SetFileAttributesW");
  return !TooLong(path) && call(path, attributes);
}

BOOL WINAPI DeleteFileChecked(LPCWSTR path) {
  static const auto call = System<decltype(&DeleteFileW)>("DeleteFileW");
  return !TooLong(path) && call(path);
}

BOOL WINAPI CreateDirectoryChecked(LPCWSTR path, LPSECURITY_ATTRIBUTES security) {
  static const auto call = System<decltype(&CreateDirectoryW)>("CreateDirectoryW");
  // Room is left for an 8.3 file name inside.
  return !TooLong(path, MAX_PATH - 12) && call(path, security);
}

BOOL WINAPI RemoveDirectoryChecked(LPCWSTR path) {
  static const auto call = System<decltype(&RemoveDirectoryW)>("RemoveDirectoryW");
  return !TooLong(path) && call(path);
}

HANDLE WINAPI FindFirstFileExChecked(LPCWSTR pattern, FINDEX_INFO_LEVELS level, LPVOID found,
                                     FINDEX_SEARCH_OPS search, LPVOID filter, DWORD flags) {
  static const auto call = System<decltype(&FindFirstFileExW)>("FindFirstFileExW");
  if (TooLong(pattern)) return INVALID_HANDLE_VALUE;
  return call(pattern, level, found, search, filter, flags);
}

BOOL WINAPI CreateHardLinkChecked(LPCWSTR link, LPCWSTR existing, LPSECURITY_ATTRIBUTES security) {
  static const auto call = System<decltype(&CreateHardLinkW)>("CreateHardLinkW");
  return !TooLong(link) && !TooLong(existing) && !Fails(Step::kLinkVersion) &&
         call(link, existing, security);
}

BOOL WINAPI MoveFileExChecked(LPCWSTR from, LPCWSTR to, DWORD flags) {
  static const auto call = System<decltype(&MoveFileExW)>("MoveFileExW");
  return !TooLong(from) && !TooLong(to) && !Fails(Step::kRename) && call(from, to, flags);
}

}  // namespace
}  // namespace tallivan

// The code under test calls the system through the pointers of its import table; these take the
// place of the system's own, as openat() and renameat() of the tests do on POSIX systems.
extern "C" {
decltype(&CreateFileW) __imp_CreateFileW = tallivan::CreateFileChecked;
decltype(&GetFileAttributesW) __imp_GetFileAttributesW = tallivan::GetFileAttributesChecked;
decltype(&GetFileAttributesExW) __imp_GetFileAttributesExW = tallivan::GetFileAttributesExChecked;
decltype(&SetFileAttributesW) __imp_SetFileAttributesW = tallivan::SetFileAttributesChecked;
decltype(&DeleteFileW) __imp_DeleteFileW = tallivan::DeleteFileChecked;
decltype(&CreateDirectoryW) __imp_CreateDirectoryW = tallivan::CreateDirectoryChecked;
decltype(&RemoveDirectoryW) __imp_RemoveDirectoryW = tallivan::RemoveDirectoryChecked;
decltype(&FindFirstFileExW) __imp_FindFirstFileExW = tallivan::FindFirstFileExChecked;
decltype(&CreateHardLinkW) __imp_CreateHardLinkW = tallivan::CreateHardLinkChecked;
decltype(&MoveFileExW) __imp_MoveFileExW = tallivan::MoveFileExChecked;
}

namespace tallivan {

void LimitFileSize(bool) {}

const int kNotFoundCode = ERROR_FILE_NOT_FOUND;
const int kThroughFileCode = ERROR_PATH_NOT_FOUND;
const int kThroughFileError = kErrFileNotFound;
const bool kMakesSymbolicLinks = false;
const char kDevicePath[] = "NUL";

std::string SystemText(int code) {
  wchar_t text[512];
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, static_cast<DWORD>(code),
      MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, 512, nullptr);
  std::wstring message(text, length);
  message.erase(message.find_last_not_of(L"\r\n .") + 1);
  return PathUtf8(message);
}

void SetVariable(const std::string& name, const std::optional<std::string>& value) {
  SetEnvironmentVariableW(Utf8Path(name).c_str(), value ? Utf8Path(*value).c_str() : nullptr);
}

std::optional<std::string> Variable(const std::string& name) {
  std::wstring value(32767, L'\0');
  const DWORD length = GetEnvironmentVariableW(Utf8Path(name).c_str(), value.data(),
                                               static_cast<DWORD>(value.size()));
  if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
  value.resize(length);
  return PathUtf8(value);
}

const char kHomeVariable[] = "USERPROFILE";
const char kDataVariable[] = "APPDATA";

std::string SystemHome() { return ""; }

std::filesystem::path RootFolder() { return std::filesystem::temp_directory_path().root_path(); }

uint64_t FileId(const std::filesystem::path& path) {
  const HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool got = GetFileInformationByHandle(file, &info) != 0;
  CloseHandle(file);
  return got ? (uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow) : 0;
}

bool HasMode(const std::filesystem::path& path, unsigned mode) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         ((attributes & FILE_ATTRIBUTE_READONLY) != 0) == ((mode & 0200) == 0);
}

unsigned SetCreationMask(unsigned mask) {
  return static_cast<unsigned>(_umask(static_cast<int>(mask)));
}

// A save holds its temporary file open without letting others remove it while it lives.
HeldOpen::HeldOpen(const std::filesystem::path& path)
    : handle_(reinterpret_cast<intptr_t>(
          CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr))) {}

HeldOpen::~HeldOpen() { CloseHandle(reinterpret_cast<HANDLE>(handle_)); }

PipeFrom::PipeFrom(std::string bytes) {
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, nullptr, 0)) return;
  fd_ = _open_osfhandle(reinterpret_cast<intptr_t>(read_end), _O_RDONLY | _O_BINARY);
  writer_ = std::thread([write_end, bytes = std::move(bytes)] {
    for (size_t done = 0; done < bytes.size();) {
      DWORD put = 0;
      const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 20));
      if (!WriteFile(write_end, bytes.data() + done, want, &put, nullptr) || put == 0) break;
      done += put;
    }
    CloseHandle(write_end);
  });
}

PipeFrom::~PipeFrom() {
  if (fd_ >= 0) _close(fd_);
  if (writer_.joinable()) writer_.join();
}

}  // namespace tallivan
