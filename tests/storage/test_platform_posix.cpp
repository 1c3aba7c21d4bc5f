#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "runtime/error.h"
#include "test_platform.h"

namespace tallivan {

const int kNotFoundCode = ENOENT;
const int kThroughFileCode = ENOTDIR;
const int kThroughFileError = kErrFileAccess;
const bool kMakesSymbolicLinks = true;
const char kDevicePath[] = "/dev/null";

std::string SystemText(int code) { return std::strerror(code); }

void SetVariable(const std::string& name, const std::optional<std::string>& value) {
  value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
}

std::optional<std::string> Variable(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

const char kHomeVariable[] = "HOME";

std::filesystem::path RootFolder() { return "/"; }

uint64_t FileId(const std::filesystem::path& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

std::optional<unsigned> PosixMode(const std::filesystem::path& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return std::nullopt;
  return st.st_mode & 07777;
}

unsigned SetCreationMask(unsigned mask) { return umask(mask); }

// A save holds a lock on its temporary file while it lives.
HeldOpen::HeldOpen(const std::filesystem::path& path) : handle_(open(path.c_str(), O_RDONLY)) {
  flock(static_cast<int>(handle_), LOCK_EX);
}

HeldOpen::~HeldOpen() { close(static_cast<int>(handle_)); }

PipeFrom::PipeFrom(std::string bytes) {
  int ends[2];
  if (pipe(ends) != 0) return;
  // A reader that stops early must not end the process.
  std::signal(SIGPIPE, SIG_IGN);
  fd_ = ends[0];
  writer_ = std::thread([fd = ends[1], bytes = std::move(bytes)] {
    for (size_t done = 0; done < bytes.size();) {
      const ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
      if (put <= 0) break;
      done += static_cast<size_t>(put);
    }
    close(fd);
  });
}

PipeFrom::~PipeFrom() {
  if (fd_ >= 0) close(fd_);
  if (writer_.joinable()) writer_.join();
}

}  // namespace tallivan
