#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h.
#include <aclapi.h>

#include <cstdlib>
#include <cwchar>
#include <string_view>
#include <type_traits>

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

// Windows takes no path of MAX_PATH characters or more without the "\\?\" prefix (unless the
// user turned long paths on); Wine takes them all, so the tests hold the storage to that limit.
bool TooLong(LPCWSTR path) {
  return path != nullptr && !std::wstring_view(path).starts_with(L"\\\\?\\") &&
         std::wcslen(path) >= MAX_PATH;
}
template <typename NotPath>
bool TooLong(NotPath) {
  return false;
}

// What the system's calls give when they fail.
template <typename Result>
Result Failed() {
  if constexpr (std::is_same_v<Result, HANDLE>) return INVALID_HANDLE_VALUE;
  if constexpr (std::is_same_v<Result, DWORD>) return INVALID_FILE_ATTRIBUTES;
  return Result{};
}

// Stands in for the system's call `kName` of the type `Call`: refuses a path too long for
// Windows, and fails where the test armed `kSteps`.
template <const char* kName, typename Call, Step... kSteps>
struct StandIn;
template <const char* kName, typename Result, typename... Args, Step... kSteps>
struct StandIn<kName, Result(WINAPI*)(Args...), kSteps...> {
  static Result WINAPI Call(Args... args) {
    static const auto system = reinterpret_cast<Result(WINAPI*)(Args...)>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), kName)));
    if ((TooLong(args) || ...)) {
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return Failed<Result>();
    }
    return (Fails(kSteps) || ...) ? Failed<Result>() : system(args...);
  }
};

constexpr char kCreateFile[] = "CreateFileW", kGetAttributes[] = "GetFileAttributesW",
               kGetAttributesEx[] = "GetFileAttributesExW", kCreateFolder[] = "CreateDirectoryW",
               kFindFirst[] = "FindFirstFileExW", kLink[] = "CreateHardLinkW",
               kMove[] = "MoveFileExW";

}  // namespace
}  // namespace tallivan

// The code under test calls the system through the pointers of its import table; these take the
// place of the system's own, as openat() and renameat() of the tests do on POSIX systems.
using tallivan::StandIn;
using tallivan::Step;
extern "C" {
decltype(&CreateFileW) __imp_CreateFileW =
    StandIn<tallivan::kCreateFile, decltype(&CreateFileW)>::Call;
decltype(&GetFileAttributesW) __imp_GetFileAttributesW =
    StandIn<tallivan::kGetAttributes, decltype(&GetFileAttributesW)>::Call;
decltype(&GetFileAttributesExW) __imp_GetFileAttributesExW =
    StandIn<tallivan::kGetAttributesEx, decltype(&GetFileAttributesExW)>::Call;
decltype(&CreateDirectoryW) __imp_CreateDirectoryW =
    StandIn<tallivan::kCreateFolder, decltype(&CreateDirectoryW)>::Call;
decltype(&FindFirstFileExW) __imp_FindFirstFileExW =
    StandIn<tallivan::kFindFirst, decltype(&FindFirstFileExW)>::Call;
decltype(&CreateHardLinkW) __imp_CreateHardLinkW =
    StandIn<tallivan::kLink, decltype(&CreateHardLinkW), Step::kLinkVersion>::Call;
decltype(&MoveFileExW) __imp_MoveFileExW =
    StandIn<tallivan::kMove, decltype(&MoveFileExW), Step::kRename>::Call;
}

namespace tallivan {

void LimitFileSize(bool) {}

const int kNotFoundCode = ERROR_FILE_NOT_FOUND;
const int kThroughFileCode = ERROR_PATH_NOT_FOUND;
const ErrorNumber kThroughFileError = ErrorNumber::kFileNotFound;
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

std::string MakeSymbolicLink(const std::filesystem::path& target,
                             const std::filesystem::path& link) {
  const DWORD kind = std::filesystem::is_directory(target) ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0;
  // Without developer mode, or before Windows 10, only a privileged user may make one.
  if (!CreateSymbolicLinkW(link.c_str(), target.c_str(),
                           kind | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) &&
      !CreateSymbolicLinkW(link.c_str(), target.c_str(), kind)) {
    return SystemText(static_cast<int>(GetLastError()));
  }
  const DWORD attributes = GetFileAttributesW(link.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    return "CreateSymbolicLinkW succeeds but makes no link (Wine does so)";
  }
  return "";
}

void LetEveryoneWrite(const std::filesystem::path& path) {
  PACL list = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, &list, nullptr, &descriptor) != ERROR_SUCCESS) {
    return;
  }
  EXPLICIT_ACCESSW everyone{};
  BuildExplicitAccessWithNameW(&everyone, const_cast<wchar_t*>(L"EVERYONE"), GENERIC_ALL,
                               GRANT_ACCESS, NO_INHERITANCE);
  PACL wider = nullptr;
  if (SetEntriesInAclW(1, &everyone, list, &wider) == ERROR_SUCCESS) {
    SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                          DACL_SECURITY_INFORMATION, nullptr, nullptr, wider, nullptr);
    LocalFree(wider);
  }
  LocalFree(descriptor);
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
const char kStateVariable[] = "LOCALAPPDATA";
const char kRuntimeVariable[] = "TALLIVAN_NO_RUNTIME_FOLDER";

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
