#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "storage/fresh_file.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;

bool IsHomeFolder(const char* candidate) {
  if (candidate == nullptr || candidate[0] != '/' || std::string_view(candidate) == "/") {
    return false;
  }
  struct stat st {};
  return stat(candidate, &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

bool RemoveFile(const fs::path& path) { return unlink(path.c_str()) == 0 || errno == ENOENT; }

std::optional<fs::path> HomeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') {
    return IsHomeFolder(home) ? std::optional<fs::path>(home) : std::nullopt;
  }
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
      !IsHomeFolder(found->pw_dir)) {
    return std::nullopt;
  }
  return fs::path(found->pw_dir);
}

}  // namespace tallivan
