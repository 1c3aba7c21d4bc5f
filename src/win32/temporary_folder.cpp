#include "win32/temporary_folder.h"

// <windows.h> comes before the headers that build on it.
// clang-format off
#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>
// clang-format on

#include <optional>
#include <string>
#include <utility>

namespace tallivan {
namespace {

namespace fs = std::filesystem;

// Which file or folder `path` names: its volume and its index there; nullopt when it cannot be
// opened.
std::optional<std::pair<DWORD, uint64_t>> IdentityOf(const fs::path& path) {
  const HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool known = GetFileInformationByHandle(file, &info) != 0;
  CloseHandle(file);
  if (!known) return std::nullopt;
  return std::pair(info.dwVolumeSerialNumber,
                   (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow);
}

}  // namespace

bool IsInTemporaryFolder(const fs::path& path) {
  std::wstring temp(MAX_PATH + 1, L'\0');
  temp.resize(GetTempPathW(static_cast<DWORD>(temp.size()), temp.data()));
  const auto temporary = temp.empty() ? std::nullopt : IdentityOf(temp);
  if (!temporary) return false;
  for (fs::path folder = path.lexically_normal(); !folder.empty(); folder = folder.parent_path()) {
    if (IdentityOf(folder) == temporary) return true;
    if (folder == folder.parent_path()) break;
  }
  return false;
}

fs::path DocumentsFolder() {
  wchar_t* found = nullptr;
  fs::path documents;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_Documents, 0, nullptr, &found))) documents = found;
  CoTaskMemFree(found);
  return documents;
}

}  // namespace tallivan
