#include "storage/in_place_posix.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "storage/file_system_posix.h"

namespace tallivan::posix {
namespace {

// Writes the part of `staged` beyond `old_size` into `target`; 0 or the errno that stopped it.
int WriteTail(int target, int staged, uint64_t old_size, uint64_t new_size) {
  std::string tail(static_cast<size_t>(new_size - old_size), '\0');
  if (pread(staged, tail.data(), tail.size(), static_cast<off_t>(old_size)) !=
      static_cast<ssize_t>(tail.size())) {
    return errno != 0 ? errno : EIO;
  }
  for (size_t done = 0; done < tail.size();) {
    const ssize_t put =
        pwrite(target, tail.data() + done, tail.size() - done, static_cast<off_t>(old_size + done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return put < 0 ? errno : ENOSPC;
    done += static_cast<size_t>(put);
  }
  return 0;
}

}  // namespace

int ReserveRoom(int target, int staged, uint64_t old_size, uint64_t new_size) {
  if (new_size <= old_size) return 0;
  int error_number = 0;
  if (fallocate(target, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(new_size)) != 0) {
    error_number = errno;
    if (error_number == EOPNOTSUPP) error_number = WriteTail(target, staged, old_size, new_size);
  }
  if (error_number != 0) {
    // What was written beyond the old end goes again; the old text before it is whole anyway.
    [[maybe_unused]] const int trimmed = ftruncate(target, static_cast<off_t>(old_size));
  }
  return error_number;
}

int WriteOver(int target, int staged, uint64_t new_size) {
  int error_number = CopyContent(staged, target, new_size);
  if (error_number == 0 && fsync(target) != 0) error_number = errno;
  if (error_number == 0 && ftruncate(target, static_cast<off_t>(new_size)) != 0) {
    error_number = errno;
  }
  if (error_number == 0 && fsync(target) != 0) error_number = errno;
  return error_number;
}

}  // namespace tallivan::posix
