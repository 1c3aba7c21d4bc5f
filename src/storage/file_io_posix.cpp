#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "storage/file_io.h"

namespace tallivan {
namespace {

constexpr size_t kMaxChunk = size_t{1} << 30;

}  // namespace

std::string SystemErrorText(int code) { return std::system_category().message(code); }

bool IsNotFound(int code) { return code == ENOENT; }

int WriteFully(int fd, std::span<const char> bytes) {
  while (!bytes.empty()) {
    const ssize_t written = write(fd, bytes.data(), std::min(bytes.size(), kMaxChunk));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return written < 0 ? errno : ENOSPC;
    bytes = bytes.subspan(static_cast<size_t>(written));
  }
  return 0;
}

int ReadSome(int fd, std::span<char> bytes, size_t& got) {
  for (;;) {
    const ssize_t read_now = read(fd, bytes.data(), std::min(bytes.size(), kMaxChunk));
    if (read_now < 0 && errno == EINTR) continue;
    if (read_now < 0) return errno;
    got = static_cast<size_t>(read_now);
    return 0;
  }
}

std::optional<uint64_t> BytesLeft(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  const off_t at = std::max<off_t>(lseek(fd, 0, SEEK_CUR), 0);
  return static_cast<uint64_t>(std::max<off_t>(st.st_size - at, 0));
}

}  // namespace tallivan
