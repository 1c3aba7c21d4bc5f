#include "storage/history_windows.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "storage/file_io.h"
#include "storage/history.h"

namespace tallivan {
namespace windows {
namespace {

namespace fs = std::filesystem;

constexpr wchar_t kHistorySuffix[] = L".history";
constexpr int kMaxSequence = 999;

std::string NotFolderReason() { return std::generic_category().message(ENOTDIR); }

// Whether a hard link to a file cannot be had for `code`, so that a copy must do.
bool LinkImpossible(DWORD code) {
  return code == ERROR_NOT_SUPPORTED || code == ERROR_INVALID_FUNCTION ||
         code == ERROR_NOT_SAME_DEVICE || code == ERROR_TOO_MANY_LINKS ||
         code == ERROR_ACCESS_DENIED;
}

// The names in `folder` that are versions and files, or the error that kept them from being read.
DWORD VersionNames(const fs::path& folder, std::vector<std::string>& names) {
  std::vector<std::wstring> files;
  if (const DWORD code = FileNames(folder, files); code != 0) return code;
  for (const std::wstring& file : files) {
    std::string name = PathUtf8(file);
    if (ParseVersionName(name)) names.push_back(std::move(name));
  }
  return 0;
}

// Copies `book` to the new file `version`; 0, ERROR_FILE_EXISTS when `version` exists, or the
// error that stopped it.
DWORD CopyVersion(const fs::path& book, const fs::path& version,
                  const std::optional<AccessList>& access_list, Retry& retry) {
  PrivateSecurity security;
  Handle copy(OpenFile(version, GENERIC_WRITE | WRITE_DAC, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                       security.attributes()));
  if (!copy.ok()) return GetLastError();
  Handle from;
  FileInfo info;
  DWORD code = retry.Run(
      [&] {
        from = Handle(OpenFile(book, GENERIC_READ, kShareAll, OPEN_EXISTING));
        return from.ok() ? 0 : GetLastError();
      },
      AccessDenied::kFinal);
  if (code == 0) code = InfoOf(from.get(), info);
  if (code == 0) code = CopyContent(from.get(), copy.get(), info.size);
  if (code == 0 && access_list && access_list->is_protected())
    code = access_list->GiveTo(copy.get());
  if (code == 0 && !FlushFileBuffers(copy.get())) code = GetLastError();
  if (code == 0) code = copy.Close();
  if (code != 0) {
    copy.Close();
    DeleteFileW(LongPath(version).c_str());
  }
  return code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS ? ERROR_WRITE_FAULT : code;
}

}  // namespace

Result<fs::path> KeepVersion(const fs::path& book, const std::optional<AccessList>& access_list,
                             int64_t now, Retry& retry) {
  const fs::path history = book.parent_path() / (book.filename().native() + kHistorySuffix);
  const auto failed = [&](const std::string& reason) {
    return Error{ErrorNumber::kFileAccess,
                 "the text it replaced could not be kept in " + Quoted(history) + ": " + reason};
  };
  const bool made = CreateDirectoryW(LongPath(history).c_str(), nullptr) != 0;
  if (!made && GetLastError() != ERROR_ALREADY_EXISTS) return failed(Reason(GetLastError()));
  const DWORD attributes = GetFileAttributesW(LongPath(history).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return failed(Reason(GetLastError()));
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return failed(NotFolderReason());
  if (made && access_list && access_list->is_protected()) {
    const Handle folder(OpenFile(history, READ_CONTROL | WRITE_DAC, kShareAll, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS));
    // The reason is taken before the folder goes, which sets the thread's last error anew.
    const DWORD code = folder.ok() ? access_list->GiveTo(folder.get()) : GetLastError();
    if (code != 0) {
      RemoveDirectoryW(LongPath(history).c_str());
      return failed(Reason(code));
    }
  }
  for (int sequence = 1; sequence <= kMaxSequence; ++sequence) {
    const fs::path version = history / VersionName({now, sequence});
    // Denied access means a file system or share that takes no links, and a copy does at once.
    DWORD code = retry.Run(
        [&] {
          return CreateHardLinkW(LongPath(version).c_str(), LongPath(book).c_str(), nullptr)
                     ? 0
                     : GetLastError();
        },
        AccessDenied::kFinal);
    if (code == 0) return version;
    if (LinkImpossible(code)) {
      code = CopyVersion(book, version, access_list, retry);
      if (code == 0) return version;
    }
    if (code != ERROR_ALREADY_EXISTS && code != ERROR_FILE_EXISTS) return failed(Reason(code));
  }
  return failed(Reason(ERROR_FILE_EXISTS));
}

std::vector<std::string> PruneHistory(const fs::path& version, int64_t now) {
  std::vector<std::string> warnings;
  const fs::path folder = version.parent_path();
  std::vector<std::string> names;
  if (VersionNames(folder, names) != 0) return warnings;
  for (const std::string& name : VersionsToPrune(names, now)) {
    const fs::path pruned = folder / Utf8Path(name);
    if (const DWORD code = RemoveFile(pruned); code != 0 && code != ERROR_FILE_NOT_FOUND) {
      warnings.push_back("The old version " + Quoted(pruned) +
                         " could not be removed: " + Reason(code));
    }
  }
  return warnings;
}

}  // namespace windows

Result<std::filesystem::path> HistoryFolder(const std::filesystem::path& path) {
  Result<std::filesystem::path> target = windows::FollowLinks(path);
  if (!target) return target.error();
  return target.value().parent_path() /
         (target.value().filename().native() + windows::kHistorySuffix);
}

Result<std::vector<Version>> ListVersions(const std::filesystem::path& path) {
  const auto failed = [&](const std::string& reason) {
    return Error{ErrorNumber::kFileAccess,
                 "Cannot read the history of " + windows::Quoted(path) + ": " + reason};
  };
  Result<std::filesystem::path> folder = HistoryFolder(path);
  if (!folder) return failed(folder.error().description);
  std::vector<Version> versions;
  const DWORD attributes = GetFileAttributesW(windows::LongPath(folder.value()).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD code = GetLastError();
    if (IsNotFound(static_cast<int>(code))) return versions;
    return failed(windows::Reason(code));
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return failed(windows::NotFolderReason());
  std::vector<std::string> names;
  if (const DWORD code = windows::VersionNames(folder.value(), names); code != 0) {
    return failed(windows::Reason(code));
  }
  for (const std::string& name : names) {
    const std::filesystem::path version = folder.value() / Utf8Path(name);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(windows::LongPath(version).c_str(), GetFileExInfoStandard, &data)) {
      continue;
    }
    const uint64_t bytes = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    versions.push_back({version, *ParseVersionName(name), bytes});
  }
  std::sort(versions.begin(), versions.end(),
            [](const Version& a, const Version& b) { return a.time < b.time; });
  return versions;
}

}  // namespace tallivan
