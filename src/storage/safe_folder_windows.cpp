// SafeFolder on Windows: names are opened relative to the held folder's handle with NtCreateFile
// (the RootDirectory of its object attributes), renamed relative to a folder's handle with
// NtSetInformationFile, and listed through the folder's handle, so that neither a path nor a
// reparse point in place of a name is ever followed.
#include <windows.h>
// After windows.h.
#include <aclapi.h>
#include <shlobj.h>
#include <winternl.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <utility>

#include "storage/file_io.h"
#include "storage/file_system_windows.h"
#include "storage/safe_folder.h"
#include "storage/wide_text.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;
using windows::Handle;
using windows::MarkForRemoval;
using windows::OpenAt;
using windows::Quoted;
using windows::Reason;

// What a held folder may do: look names up in itself and tell who owns it and who may write it.
constexpr ACCESS_MASK kFolderAccess =
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;
// Rights over a folder that let their holder put, rename or remove files in it.
constexpr ACCESS_MASK kWriteRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD |
                                     DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
// FILE_INFORMATION_CLASS's value for a rename, which winternl.h does not name.
constexpr int kFileRenameInformation = 10;
constexpr size_t kReadChunk = size_t{1} << 20;
constexpr size_t kListBuffer = size_t{64} << 10;
// How long a lock file that another window holds alone while it removes it is waited for.
constexpr std::chrono::milliseconds kLockOpenTime{200};

constexpr char kNotOurs[] =
    "it is not a file this program made (a link, a special file, another "
    "user's file, or too large), so it is left alone";
constexpr char kTooLarge[] = "it is larger than such a file may be";
constexpr char kNotOurFolder[] = "it is not a folder of this user's";

Error Failure(const fs::path& path, const std::string& reason,
              ErrorNumber number = ErrorNumber::kFileAccess) {
  return Error{number, "Cannot use " + Quoted(path) + ": " + reason};
}

Error Failure(const fs::path& path, DWORD code) {
  return Failure(
      path, Reason(code),
      IsNotFound(static_cast<int>(code)) ? ErrorNumber::kFileNotFound : ErrorNumber::kFileAccess);
}

// Whether `name` names one entry of a folder, one that every Windows program can reach: no
// separator, no stream (":"), none of the characters Windows keeps out of names, and no dot or
// blank at its end.
bool IsOneName(std::string_view name) {
  if (name.empty() || name.back() == '.' || name.back() == ' ') return false;
  for (const char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || std::strchr("<>:\"/\\|?*", c) != nullptr) {
      return false;
    }
  }
  return true;
}

bool Taken(DWORD code) { return code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS; }

DWORD ErrorOf(NTSTATUS status) { return status == 0 ? 0 : RtlNtStatusToDosError(status); }

// Renames the open file `file` (opened with DELETE) to `name` in the folder `folder`; 0 or the
// error (ERROR_ALREADY_EXISTS when the name is taken and `replace` is false).
DWORD RenameInto(HANDLE file, HANDLE folder, std::wstring_view name, bool replace) {
  const size_t name_bytes = name.size() * sizeof(wchar_t);
  std::vector<LONGLONG> buffer((sizeof(FILE_RENAME_INFORMATION) + name_bytes) / sizeof(LONGLONG) +
                               1);
  auto* rename = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
  rename->ReplaceIfExists = replace;
  rename->RootDirectory = folder;
  rename->FileNameLength = static_cast<ULONG>(name_bytes);
  std::memcpy(rename->FileName, name.data(), name_bytes);
  IO_STATUS_BLOCK io{};
  return ErrorOf(NtSetInformationFile(file, &io, rename, buffer.size() * sizeof(LONGLONG),
                                      static_cast<FILE_INFORMATION_CLASS>(kFileRenameInformation)));
}

// A SID as the process token gives it, copied.
std::vector<unsigned char> CopySid(PSID sid) {
  const auto* begin = static_cast<const unsigned char*>(sid);
  return std::vector<unsigned char>(begin, begin + GetLengthSid(sid));
}

// Who the caller is: its user, the owner its new files get (the Administrators group for an
// elevated administrator), and whether it is an administrator, elevated now or not.
struct Caller {
  std::vector<unsigned char> user;
  std::vector<unsigned char> owner;
  bool administrator = false;
};

const Caller& TheCaller() {
  static const Caller caller = [] {
    Caller found;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return found;
    std::vector<LONGLONG> buffer(128);
    DWORD size = 0;
    const DWORD capacity = static_cast<DWORD>(buffer.size() * sizeof(LONGLONG));
    if (GetTokenInformation(token, TokenUser, buffer.data(), capacity, &size)) {
      found.user = CopySid(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
    }
    if (GetTokenInformation(token, TokenOwner, buffer.data(), capacity, &size)) {
      found.owner = CopySid(reinterpret_cast<TOKEN_OWNER*>(buffer.data())->Owner);
    }
    // Not elevated, an administrator's token holds the group for denials only, but holds it.
    GetTokenInformation(token, TokenGroups, nullptr, 0, &size);
    std::vector<LONGLONG> groups(size / sizeof(LONGLONG) + 1);
    if (size > 0 &&
        GetTokenInformation(token, TokenGroups, groups.data(),
                            static_cast<DWORD>(groups.size() * sizeof(LONGLONG)), &size)) {
      const auto* list = reinterpret_cast<const TOKEN_GROUPS*>(groups.data());
      for (DWORD i = 0; i < list->GroupCount; ++i) {
        found.administrator |= IsWellKnownSid(list->Groups[i].Sid, WinBuiltinAdministratorsSid);
      }
    }
    CloseHandle(token);
    return found;
  }();
  return caller;
}

bool IsSid(PSID sid, const std::vector<unsigned char>& known) {
  return !known.empty() && EqualSid(sid, const_cast<unsigned char*>(known.data()));
}

// Whether files owned by `sid` are the caller's: its user's, its new files' owner's, and for an
// administrator those the Administrators group owns, as it made them when elevated.
bool IsCaller(PSID sid) {
  const Caller& caller = TheCaller();
  return sid != nullptr &&
         (IsSid(sid, caller.user) || IsSid(sid, caller.owner) ||
          (caller.administrator && IsWellKnownSid(sid, WinBuiltinAdministratorsSid)));
}

// Whether an access list lets anyone but the caller, the system and the administrators (who may
// take any file anyway) put, rename or remove files where it applies.
bool OthersMayWrite(const ACL* list) {
  if (list == nullptr) return true;  // no access list: everyone may do everything
  for (DWORD i = 0; i < list->AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(const_cast<ACL*>(list), i, &entry)) return true;
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE &&
        header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) {
      // Denials take rights away; an allowing entry of another layout is not trusted.
      if (header->AceType == ACCESS_ALLOWED_OBJECT_ACE_TYPE ||
          header->AceType == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE) {
        return true;
      }
      continue;
    }
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
    PSID sid = const_cast<DWORD*>(&allowed->SidStart);
    if ((allowed->Mask & kWriteRights) != 0 && !IsCaller(sid) &&
        !IsWellKnownSid(sid, WinLocalSystemSid) &&
        !IsWellKnownSid(sid, WinBuiltinAdministratorsSid)) {
      return true;
    }
  }
  return false;
}

struct LocalFreer {
  void operator()(void* memory) const { LocalFree(memory); }
};

// Whether the caller owns the open file or folder `file` (opened with READ_CONTROL); and in
// `others_may_write`, when given, whether its access list lets others write there.
bool OwnedByCaller(HANDLE file, bool* others_may_write = nullptr) {
  PSID owner = nullptr;
  ACL* list = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const SECURITY_INFORMATION what =
      OWNER_SECURITY_INFORMATION | (others_may_write ? DACL_SECURITY_INFORMATION : 0);
  if (GetSecurityInfo(file, SE_FILE_OBJECT, what, &owner, nullptr,
                      others_may_write ? &list : nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  const std::unique_ptr<void, LocalFreer> held(descriptor);
  if (others_may_write != nullptr) *others_may_write = OthersMayWrite(list);
  return IsCaller(owner);
}

// Whether the folder `folder` is the caller's alone to change.
bool IsPrivateFolder(HANDLE folder) {
  bool others_may_write = true;
  return OwnedByCaller(folder, &others_may_write) && !others_may_write;
}

// What is known of a file from its handle.
struct Facts {
  DWORD attributes = 0;
  uint64_t volume = 0;
  uint64_t index = 0;
  DWORD links = 0;
  uint64_t bytes = 0;
  FILETIME written{};
};

bool FactsOf(HANDLE file, Facts& facts) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info)) return false;
  facts.attributes = info.dwFileAttributes;
  facts.volume = info.dwVolumeSerialNumber;
  facts.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  facts.links = info.nNumberOfLinks;
  facts.bytes = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  facts.written = info.ftLastWriteTime;
  return true;
}

// Whether the open file `file` (opened with READ_CONTROL) is one the caller made and may trust.
bool IsOwnFile(HANDLE file, Facts& facts) {
  return FactsOf(file, facts) && GetFileType(file) == FILE_TYPE_DISK &&
         (facts.attributes &
          (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) == 0 &&
         facts.links == 1 && facts.bytes <= kMaxCompanionBytes && OwnedByCaller(file);
}

// Opens the caller's own file `name` in `folder` with `access`; error 53 when there is none.
Result<Handle> OpenOwn(HANDLE folder, const fs::path& path, std::string_view name,
                       ACCESS_MASK access) {
  if (!IsOneName(name)) return Failure(path / Utf8Path(name), "not a plain file name");
  Handle file;
  const DWORD code = OpenAt(folder, WideFromUtf8(name),
                            access | FILE_READ_ATTRIBUTES | READ_CONTROL, FILE_OPEN, 0, file);
  if (code != 0) return Failure(path / Utf8Path(name), code);
  Facts facts;
  if (!IsOwnFile(file.get(), facts)) return Failure(path / Utf8Path(name), kNotOurs);
  return file;
}

// Gives `name` in `folder` the attributes `attributes` when it is still the file `facts` tell of;
// whether it has them now.
bool SetAttributesAt(HANDLE folder, std::wstring_view name, const Facts& facts, DWORD attributes) {
  Handle file;
  Facts now;
  FILE_BASIC_INFO basic{};  // times of 0 are left as they are
  basic.FileAttributes = attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
  return OpenAt(folder, name, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, FILE_OPEN, 0, file) ==
             0 &&
         FactsOf(file.get(), now) && now.volume == facts.volume && now.index == facts.index &&
         SetFileInformationByHandle(file.get(), FileBasicInfo, &basic, sizeof basic);
}

// The attributes a new file named `name` gets: hidden when its name starts with a dot, which
// Explorer, unlike the shells of POSIX systems, shows all the same.
DWORD CreatedAttributes(std::wstring_view name) {
  return name.starts_with(L'.') ? FILE_ATTRIBUTE_HIDDEN : FILE_ATTRIBUTE_NORMAL;
}

// Makes the new file `name` in `folder` holding `bytes`, flushed, with permission bits `mode`
// as far as Windows has them (none for others: private to the caller; no write bit for the
// owner: read-only), hidden when the name it will have (`final_name`, else `name`) starts with a
// dot. 0 and the open file in `file`, or the error (ERROR_ALREADY_EXISTS when the name is taken),
// leaving nothing behind.
DWORD WriteNew(HANDLE folder, std::wstring_view name, std::span<const char> bytes, unsigned mode,
               Handle& file, std::wstring_view final_name = {}) {
  windows::PrivateSecurity security;
  SECURITY_ATTRIBUTES* attributes = (mode & 077) == 0 ? security.attributes() : nullptr;
  Handle made;
  DWORD code =
      OpenAt(folder, name, GENERIC_WRITE | DELETE, FILE_CREATE, FILE_NON_DIRECTORY_FILE, made,
             attributes != nullptr ? attributes->lpSecurityDescriptor : nullptr, windows::kShareAll,
             CreatedAttributes(final_name.empty() ? name : final_name));
  if (code != 0) return code;
  code = windows::WriteToHandle(made.get(), bytes);
  if (code == 0 && !FlushFileBuffers(made.get())) code = GetLastError();
  FILE_BASIC_INFO basic{};  // times of 0 are left as they are
  basic.FileAttributes = FILE_ATTRIBUTE_READONLY;
  if (code == 0 && (mode & 0200) == 0 &&
      !SetFileInformationByHandle(made.get(), FileBasicInfo, &basic, sizeof basic)) {
    code = GetLastError();
  }
  if (code != 0) {
    MarkForRemoval(made.get());
    return code;
  }
  file = std::move(made);
  return 0;
}

// Opens the folder `path`, following links as the user's own paths may; the error in
// GetLastError() when it cannot (ERROR_DIRECTORY when it is no folder).
Handle OpenFolder(const fs::path& path) {
  Handle folder(windows::OpenFile(path.empty() ? fs::path(L".") : path, kFolderAccess,
                                  windows::kShareAll, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS));
  Facts facts;
  if (folder.ok() && FactsOf(folder.get(), facts) &&
      (facts.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    folder.Close();
    SetLastError(ERROR_DIRECTORY);
  }
  return folder;
}

// Opens the folder `path`, named by its last component, in `folder`, making it private to the
// caller first if asked; it must be the caller's private folder, and no reparse point.
Result<Handle> OpenPrivateAt(HANDLE folder, const fs::path& path, MakeFolder make) {
  windows::PrivateSecurity security;
  SECURITY_ATTRIBUTES* attributes = security.attributes();
  Handle opened;
  const DWORD code =
      OpenAt(folder, path.filename().native(), kFolderAccess,
             make == MakeFolder::kPrivate ? FILE_OPEN_IF : FILE_OPEN, FILE_DIRECTORY_FILE, opened,
             attributes != nullptr ? attributes->lpSecurityDescriptor : nullptr);
  if (code == ERROR_DIRECTORY) return Failure(path, kNotOurFolder);
  if (code != 0) return Failure(path, code);
  Facts facts;
  if (!FactsOf(opened.get(), facts) || (facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return Failure(path, kNotOurFolder);
  }
  if (!IsPrivateFolder(opened.get())) {
    return Failure(path, "it belongs to another user or others may write it");
  }
  return opened;
}

std::optional<fs::path> AbsoluteVariable(const wchar_t* name) {
  std::wstring value(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
    if (length == 0) return std::nullopt;
    if (length < value.size()) {
      value.resize(length);
      break;
    }
    value.resize(length);
  }
  fs::path path(value);
  if (!path.is_absolute()) return std::nullopt;
  return path;
}

}  // namespace

void SafeFolder::CloseNative(intptr_t native) { CloseHandle(reinterpret_cast<HANDLE>(native)); }

Result<SafeFolder> SafeFolder::Open(const fs::path& path) {
  Handle folder = OpenFolder(path);
  if (!folder.ok()) return Failure(path, GetLastError());
  const bool is_private = IsPrivateFolder(folder.get());
  return SafeFolder(reinterpret_cast<intptr_t>(folder.Release()), path, is_private);
}

Result<SafeFolder> SafeFolder::OpenPrivate(const fs::path& path, MakeFolder make) {
  if (!path.is_absolute() || !path.has_filename()) return Failure(path, "not an absolute path");
  // The folders above the last one that exists are the user's to arrange, links included; every
  // folder from there on is opened relative to the one before, never through a reparse point,
  // and must be the user's private one.
  fs::path existing = path.parent_path();
  std::vector<fs::path> missing;
  Handle folder = OpenFolder(existing);
  while (!folder.ok() && IsNotFound(static_cast<int>(GetLastError())) &&
         make == MakeFolder::kPrivate && existing.has_relative_path()) {
    missing.push_back(existing);
    existing = existing.parent_path();
    folder = OpenFolder(existing);
  }
  if (!folder.ok()) return Failure(existing, GetLastError());
  missing.insert(missing.begin(), path);
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    Result<Handle> next = OpenPrivateAt(folder.get(), *it, make);
    if (!next) return next.error();
    folder = std::move(next).value();
  }
  return SafeFolder(reinterpret_cast<intptr_t>(folder.Release()), path, true);
}

Result<SafeFolder> SafeFolder::Subfolder(std::string_view name, MakeFolder make) const {
  const fs::path path = path_ / Utf8Path(name);
  if (!IsOneName(name)) return Failure(path, "not a plain folder name");
  Result<Handle> folder = OpenPrivateAt(reinterpret_cast<HANDLE>(native_), path, make);
  if (!folder) return folder.error();
  return SafeFolder(reinterpret_cast<intptr_t>(folder.value().Release()), path, true);
}

Result<std::string> SafeFolder::Read(std::string_view name, uint64_t max_bytes) const {
  Result<Handle> file = OpenOwn(reinterpret_cast<HANDLE>(native_), path_, name, GENERIC_READ);
  if (!file) return file.error();
  Facts facts;
  if (!FactsOf(file.value().get(), facts) || facts.bytes > max_bytes) {
    return Failure(path_ / Utf8Path(name), kTooLarge);
  }
  std::string content;
  std::unique_ptr<char[]> buffer(new char[kReadChunk]);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file.value().get(), buffer.get(), kReadChunk, &got, nullptr)) {
      return Failure(path_ / Utf8Path(name), GetLastError());
    }
    if (got == 0) return content;
    if (content.size() + got > max_bytes) return Failure(path_ / Utf8Path(name), kTooLarge);
    content.append(buffer.get(), got);
  }
}

Status SafeFolder::Replace(std::string_view name, std::span<const char> bytes,
                           unsigned mode) const {
  const HANDLE folder = reinterpret_cast<HANDLE>(native_);
  const fs::path path = path_ / Utf8Path(name);
  if (!IsOneName(name)) return Failure(path, "not a plain file name");
  const std::wstring entry = WideFromUtf8(name);
  Handle existing;
  const DWORD looked =
      OpenAt(folder, entry, FILE_READ_ATTRIBUTES | READ_CONTROL, FILE_OPEN, 0, existing);
  if (looked != 0 && !IsNotFound(static_cast<int>(looked))) return Failure(path, looked);
  Facts facts;
  if (looked == 0 && !IsOwnFile(existing.get(), facts)) return Failure(path, kNotOurs);
  existing.Close();
  Handle file;
  if (const DWORD code =
          WriteNew(folder, WideFromUtf8(TemporaryName(name)), bytes, mode, file, entry);
      code != 0) {
    return Failure(path, Reason(code));
  }
  // Windows renames nothing over a read-only file; the attribute comes back if it still cannot.
  const bool read_only = looked == 0 && (facts.attributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (read_only &&
      !SetAttributesAt(folder, entry, facts, facts.attributes & ~FILE_ATTRIBUTE_READONLY)) {
    MarkForRemoval(file.get());
    return Failure(path, Reason(ERROR_ACCESS_DENIED));
  }
  // The very file just written takes the name; whatever stands there now, a reparse point or
  // not, is replaced, never written through, and a folder there is not replaced at all.
  if (const DWORD code = RenameInto(file.get(), folder, entry, true); code != 0) {
    MarkForRemoval(file.get());
    if (read_only) SetAttributesAt(folder, entry, facts, facts.attributes);
    return Failure(path, Reason(code));
  }
  return {};
}

Result<std::string> SafeFolder::CreateFresh(std::string_view name, std::span<const char> bytes,
                                            unsigned mode) const {
  if (!IsOneName(name)) return Failure(path_ / Utf8Path(name), "not a plain file name");
  for (int counter = 1; counter <= kMaxFreshNames; ++counter) {
    const std::string entry = Numbered(name, counter);
    Handle file;
    const DWORD code =
        WriteNew(reinterpret_cast<HANDLE>(native_), WideFromUtf8(entry), bytes, mode, file);
    if (Taken(code)) continue;
    if (code != 0) return Failure(path_ / Utf8Path(entry), Reason(code));
    return entry;
  }
  return Failure(path_ / Utf8Path(name), Reason(ERROR_FILE_EXISTS));
}

Result<std::string> SafeFolder::MoveFresh(std::string_view from, const SafeFolder& to,
                                          std::string_view name) const {
  if (!IsOneName(name)) return Failure(to.path_ / Utf8Path(name), "not a plain file name");
  Result<Handle> own = OpenOwn(reinterpret_cast<HANDLE>(native_), path_, from, DELETE);
  if (!own) return own.error();
  // The file that was checked is the one moved, whatever is renamed in its place meanwhile.
  for (int counter = 1; counter <= kMaxFreshNames; ++counter) {
    const std::string entry = Numbered(name, counter);
    const DWORD code = RenameInto(own.value().get(), reinterpret_cast<HANDLE>(to.native_),
                                  WideFromUtf8(entry), false);
    if (Taken(code)) continue;
    if (code != 0) return Failure(to.path_ / Utf8Path(entry), Reason(code));
    return entry;
  }
  return Failure(to.path_ / Utf8Path(name), Reason(ERROR_FILE_EXISTS));
}

Result<intptr_t> SafeFolder::OpenForLocking(std::string_view name, unsigned mode) const {
  const fs::path path = path_ / Utf8Path(name);
  if (!IsOneName(name)) return Failure(path, "not a plain file name");
  windows::PrivateSecurity security;
  SECURITY_ATTRIBUTES* attributes = (mode & 077) == 0 ? security.attributes() : nullptr;
  const std::wstring entry = WideFromUtf8(name);
  Handle file;
  // Opened as found, else made. A window that removes the file holds it alone for a moment.
  const DWORD code = windows::Retry(kLockOpenTime).Run([&] {
    return OpenAt(reinterpret_cast<HANDLE>(native_), entry,
                  GENERIC_READ | GENERIC_WRITE | READ_CONTROL, FILE_OPEN_IF, 0, file,
                  attributes != nullptr ? attributes->lpSecurityDescriptor : nullptr,
                  windows::kShareAll, CreatedAttributes(entry));
  });
  if (code != 0) return Failure(path, code);
  Facts facts;
  if (!IsOwnFile(file.get(), facts)) return Failure(path, kNotOurs);
  return reinterpret_cast<intptr_t>(file.Release());
}

bool SafeFolder::RemoveEmptyFolder(std::string_view name) const {
  if (!IsOneName(name)) return false;
  Handle folder;
  const DWORD code = OpenAt(reinterpret_cast<HANDLE>(native_), WideFromUtf8(name),
                            DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN, FILE_DIRECTORY_FILE, folder);
  if (code != 0) return IsNotFound(static_cast<int>(code));
  // A reparse point in its place is no folder; a folder that holds anything is not removed.
  Facts facts;
  return FactsOf(folder.get(), facts) && (facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
         MarkForRemoval(folder.get()) == 0;
}

bool SafeFolder::Remove(std::string_view name) const {
  if (!IsOneName(name)) return false;
  Handle file;
  const DWORD code = OpenAt(reinterpret_cast<HANDLE>(native_), WideFromUtf8(name),
                            DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | READ_CONTROL,
                            FILE_OPEN, 0, file);
  if (code != 0) return IsNotFound(static_cast<int>(code));
  Facts facts;
  if (!FactsOf(file.get(), facts) ||
      (facts.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
      !OwnedByCaller(file.get())) {
    return false;
  }
  if (MarkForRemoval(file.get()) == 0) return true;
  if ((facts.attributes & FILE_ATTRIBUTE_READONLY) == 0) return false;
  // Windows removes no read-only file; the attribute comes back if it still cannot.
  FILE_BASIC_INFO basic{};  // times of 0 are left as they are
  basic.FileAttributes = facts.attributes & ~FILE_ATTRIBUTE_READONLY;
  if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  if (!SetFileInformationByHandle(file.get(), FileBasicInfo, &basic, sizeof basic)) return false;
  if (MarkForRemoval(file.get()) == 0) return true;
  basic.FileAttributes = facts.attributes;
  SetFileInformationByHandle(file.get(), FileBasicInfo, &basic, sizeof basic);
  return false;
}

std::vector<OwnFile> SafeFolder::List(std::string_view prefix) const {
  std::vector<OwnFile> files;
  const HANDLE folder = reinterpret_cast<HANDLE>(native_);
  // A handle of its own, so that listings on other threads do not share its place.
  Handle listing;
  if (OpenAt(folder, L"", FILE_LIST_DIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE, listing) != 0) {
    return files;
  }
  std::vector<LONGLONG> buffer(kListBuffer / sizeof(LONGLONG));
  for (FILE_INFO_BY_HANDLE_CLASS kind = FileFullDirectoryRestartInfo;
       GetFileInformationByHandleEx(listing.get(), kind, buffer.data(),
                                    static_cast<DWORD>(buffer.size() * sizeof(LONGLONG)));
       kind = FileFullDirectoryInfo) {
    const auto* at = reinterpret_cast<const unsigned char*>(buffer.data());
    for (;;) {
      const auto* found = reinterpret_cast<const FILE_FULL_DIR_INFO*>(at);
      const std::wstring_view wide(found->FileName, found->FileNameLength / sizeof(wchar_t));
      const std::string name = Utf8FromWide(wide);
      Handle file;
      Facts facts;
      // A name that does not come back whole from UTF-8 could not be asked for again.
      if (name.starts_with(prefix) && IsOneName(name) && WideFromUtf8(name) == wide &&
          (found->FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
              0 &&
          OpenAt(folder, wide, FILE_READ_ATTRIBUTES | READ_CONTROL, FILE_OPEN, 0, file) == 0 &&
          IsOwnFile(file.get(), facts)) {
        files.push_back({name, facts.bytes, windows::Nanoseconds(facts.written)});
      }
      if (found->NextEntryOffset == 0) break;
      at += found->NextEntryOffset;
    }
  }
  return files;
}

std::optional<fs::path> StateFolderPath() {
  std::optional<fs::path> local = AbsoluteVariable(L"LOCALAPPDATA");
  if (!local) {
    wchar_t* known = nullptr;
    if (SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &known) == S_OK) {
      fs::path path(known);
      if (path.is_absolute()) local = std::move(path);
    }
    CoTaskMemFree(known);
  }
  if (!local) return std::nullopt;
  return *local / L"Tallivan" / L"State";
}

std::optional<fs::path> RuntimeFolderPath() { return std::nullopt; }

}  // namespace tallivan
