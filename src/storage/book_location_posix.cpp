// The user's folders and private folders, the POSIX way.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <vector>

#include "storage/book_location.h"

namespace tallivan {
namespace {

std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::string HomeFromPasswordDatabase() {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
      found->pw_dir == nullptr) {
    return "";
  }
  return found->pw_dir;
}

bool IsFolder(const std::string& path, int& error_number) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    error_number = errno;
    return false;
  }
  error_number = S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  return error_number == 0;
}

}  // namespace

std::filesystem::path RunningExecutable() {
  std::error_code error;
  std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path() : executable;
}

UserFolders CurrentUserFolders() {
  UserFolders folders{Variable("XDG_DATA_HOME"), Variable("HOME")};
  if (folders.home.empty()) folders.home = HomeFromPasswordDatabase();
  return folders;
}

Status MakePrivateFolders(const std::filesystem::path& folder) {
  std::filesystem::path path;
  for (const std::filesystem::path& part : folder) {
    path /= part;
    int error_number = 0;
    if (IsFolder(path, error_number)) continue;
    if (error_number == ENOENT) {
      if (mkdir(path.c_str(), 0700) == 0) continue;
      error_number = errno;
      if (error_number == EEXIST && IsFolder(path, error_number)) continue;
    }
    return Error{ErrorNumber::kFileAccess, "Cannot create the folder \"" + path.string() + "\": " +
                                               std::system_category().message(error_number)};
  }
  return {};
}

}  // namespace tallivan
