// The user's folders and private folders, the Windows way.
#include <cerrno>
#include <string>
#include <system_error>

#include "storage/book_location.h"
#include "storage/file_io.h"
#include "storage/file_system_windows.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;

// The environment variable `name` in UTF-8; empty when unset.
std::string Variable(const wchar_t* name) {
  std::wstring value(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
    if (length == 0) return "";
    if (length < value.size()) {
      value.resize(length);
      return PathUtf8(fs::path(value));
    }
    value.resize(length);
  }
}

}  // namespace

fs::path RunningExecutable() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      return fs::path(path);
    }
    path.resize(path.size() * 2);
  }
}

UserFolders CurrentUserFolders() { return {Variable(L"APPDATA"), Variable(L"USERPROFILE")}; }

Status MakePrivateFolders(const fs::path& folder) {
  windows::PrivateSecurity security;
  fs::path path;
  for (const fs::path& part : folder) {
    path /= part;
    DWORD attributes = GetFileAttributesW(windows::LongPath(path).c_str());
    DWORD code = attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : 0;
    if (IsNotFound(static_cast<int>(code))) {
      if (CreateDirectoryW(windows::LongPath(path).c_str(), security.attributes())) continue;
      code = GetLastError();
      attributes = GetFileAttributesW(windows::LongPath(path).c_str());
      if (code == ERROR_ALREADY_EXISTS && attributes != INVALID_FILE_ATTRIBUTES) code = 0;
    }
    if (code == 0 && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
    return Error{
        ErrorNumber::kFileAccess,
        "Cannot create the folder " + windows::Quoted(path) + ": " +
            (code != 0 ? windows::Reason(code) : std::generic_category().message(ENOTDIR))};
  }
  return {};
}

}  // namespace tallivan
