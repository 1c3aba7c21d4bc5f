#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "storage/atomic_writer.h"
#include "storage/file_system_posix.h"

namespace tallivan {

Result<FileFacts> InspectFile(const std::filesystem::path& path) {
  FileFacts facts;
  const Result<posix::ParentFolder> parent = posix::OpenParent(path);
  // A folder on the way that does not exist holds nothing and takes nothing.
  if (!parent && parent.error().number == ErrorNumber::kFileNotFound) return facts;
  if (!parent) return posix::SaveError(path, parent.error().description);
  const int dir = parent.value().folder.get();
  const char* name = parent.value().name.c_str();
  struct stat st {};
  if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    facts.exists = true;
    facts.read_only = posix::IsReadOnly(dir, name, st);
    facts.writable_in_place = !facts.read_only;
  } else if (errno != ENOENT) {
    return posix::SaveError(path, "", errno);
  }
  facts.folder_writable = faccessat(dir, ".", W_OK | X_OK, AT_EACCESS) == 0;
  return facts;
}

}  // namespace tallivan
