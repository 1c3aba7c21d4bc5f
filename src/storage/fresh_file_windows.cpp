#include <vector>

#include "storage/file_io.h"
#include "storage/file_system_windows.h"
#include "storage/fresh_file.h"

namespace tallivan {

namespace fs = std::filesystem;

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
