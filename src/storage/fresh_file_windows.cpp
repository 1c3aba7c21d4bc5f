#include <vector>

#include "storage/file_io.h"
#include "storage/file_system_windows.h"
#include "storage/fresh_file.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;
using windows::Handle;

constexpr int kMaxCounter = 1000;

Error KeepError(const fs::path& path, DWORD code) {
  return Error{ErrorNumber::kFileAccess,
               "Cannot write " + windows::Quoted(path) + ": " + windows::Reason(code)};
}

fs::path Numbered(const fs::path& wanted, int counter) {
  if (counter < 2) return wanted;
  fs::path path = wanted;
  path += L"-" + std::to_wstring(counter);
  return path;
}

// 0 when `text` went whole into `file` and onto the disk, else the error that stopped it.
DWORD WriteText(HANDLE file, std::u16string_view text) {
  if (const DWORD code = windows::WriteToHandle(file, LittleEndianBytes(text)); code != 0)
    return code;
  return FlushFileBuffers(file) ? 0 : GetLastError();
}

bool Taken(DWORD code) { return code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS; }

}  // namespace

Result<fs::path> WriteFreshFile(const fs::path& wanted, std::u16string_view text, unsigned mode) {
  // Permission bits say what they can: no write bit for the owner makes the file read-only, none
  // for anyone else makes it private.
  windows::PrivateSecurity security;
  SECURITY_ATTRIBUTES* attributes = (mode & 077) == 0 ? security.attributes() : nullptr;
  const bool read_only = (mode & 0200) == 0;
  for (int counter = 1; counter <= kMaxCounter; ++counter) {
    const fs::path path = Numbered(wanted, counter);
    Handle file(windows::OpenFile(path, GENERIC_WRITE | DELETE, 0, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, attributes));
    if (!file.ok() && Taken(GetLastError())) continue;
    if (!file.ok()) return KeepError(path, GetLastError());
    DWORD code = WriteText(file.get(), text);
    // Read-only once written.
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = FILE_ATTRIBUTE_READONLY;
    if (code == 0 && read_only &&
        !SetFileInformationByHandle(file.get(), FileBasicInfo, &basic, sizeof basic)) {
      code = GetLastError();
    }
    if (code != 0) {
      FILE_DISPOSITION_INFO disposition{TRUE};
      SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof disposition);
    }
    if (const DWORD closed = file.Close(); code == 0) code = closed;
    if (code == 0) return path;
    return KeepError(path, code);
  }
  return KeepError(wanted, ERROR_FILE_EXISTS);
}

Result<fs::path> MoveToFreshName(const fs::path& from, const fs::path& wanted) {
  for (int counter = 1; counter <= kMaxCounter; ++counter) {
    const fs::path path = Numbered(wanted, counter);
    // A scanner that looks at the file for a moment keeps it from being renamed.
    const DWORD code = windows::Retry().Run([&] {
      return MoveFileExW(windows::LongPath(from).c_str(), windows::LongPath(path).c_str(),
                         MOVEFILE_WRITE_THROUGH)
                 ? 0
                 : GetLastError();
    });
    if (code == 0) return path;
    if (!Taken(code)) return KeepError(path, code);
  }
  return KeepError(wanted, ERROR_FILE_EXISTS);
}

bool RemoveFile(const fs::path& path) {
  const DWORD code = windows::RemoveFile(path);
  return code == 0 || code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

std::optional<fs::path> HomeFolder() {
  std::wstring home(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetEnvironmentVariableW(L"USERPROFILE", home.data(), static_cast<DWORD>(home.size()));
    if (length == 0) return std::nullopt;
    if (length < home.size()) {
      home.resize(length);
      break;
    }
    home.resize(length);
  }
  const fs::path folder = fs::path(home).lexically_normal();
  // Never a drive's root, nor anything but a folder.
  const DWORD attributes = GetFileAttributesW(windows::LongPath(folder).c_str());
  if (!folder.is_absolute() || !folder.has_relative_path() ||
      attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return std::nullopt;
  }
  return folder;
}

}  // namespace tallivan
