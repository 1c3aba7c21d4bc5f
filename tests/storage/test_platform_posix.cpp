#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "runtime/error.h"
#include "test_platform.h"

namespace tallivan {

const bool kStepsFail = true;
std::map<Step, Failing> failing;
std::map<Step, std::function<void()>> before;

namespace {

bool Fails(Step step) {
  if (const auto action = before.find(step); action != before.end()) action->second();
  const auto it = failing.find(step);
  if (it == failing.end()) return false;
  errno = it->second.error;
  if (--it->second.times == 0) failing.erase(it);
  return true;
}

}  // namespace
}  // namespace tallivan

using tallivan::Fails;
using tallivan::Step;

extern "C" {

int openat(int dir_fd, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const bool unnamed = (flags & O_TMPFILE) == O_TMPFILE, creates = unnamed || (flags & O_CREAT);
  const mode_t mode = creates ? va_arg(args, mode_t) : 0;
  va_end(args);
  if ((unnamed && Fails(Step::kCreateUnnamed)) || ((flags & O_CREAT) && Fails(Step::kCreateTemp))) {
    return -1;
  }
  const int fd = static_cast<int>(syscall(SYS_openat, dir_fd, path, flags, mode));
  if (creates && fd >= 0 && Fails(Step::kCreated)) return close(fd), -1;
  return fd;
}

int fsync(int fd) {
  struct stat st {};
  const bool folder = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
  if (Fails(folder ? Step::kSyncFolder : Step::kSyncFile)) return -1;
  return static_cast<int>(syscall(SYS_fsync, fd));
}

int renameat(int old_dir_fd, const char* old_path, int new_dir_fd, const char* new_path) {
  if (Fails(Step::kRename)) return -1;
  return static_cast<int>(syscall(SYS_renameat2, old_dir_fd, old_path, new_dir_fd, new_path, 0));
}

int linkat(int old_dir_fd, const char* old_path, int new_dir_fd, const char* new_path, int flags) {
  // Only a version is linked without flags; the unnamed temporary file is linked through /proc.
  if (flags == 0 && Fails(Step::kLinkVersion)) return -1;
  return static_cast<int>(syscall(SYS_linkat, old_dir_fd, old_path, new_dir_fd, new_path, flags));
}

int fallocate(int fd, int mode, off_t offset, off_t length) {
  if (Fails(Step::kReserve)) return -1;
  return static_cast<int>(syscall(SYS_fallocate, fd, mode, offset, length));
}

ssize_t read(int fd, void* buffer, size_t count) {
  if (!tallivan::before.empty() && Fails(Step::kRead)) return -1;
  return syscall(SYS_read, fd, buffer, count);
}

ssize_t write(int fd, const void* buffer, size_t count) {
  if (!tallivan::before.empty() && Fails(Step::kWrite)) return -1;
  return syscall(SYS_write, fd, buffer, count);
}

int madvise(void* address, size_t length, int advice) {
  if (Fails(Step::kAdvise)) return -1;
  return static_cast<int>(syscall(SYS_madvise, address, length, advice));
}

}  // extern "C"

namespace tallivan {

const int kNotFoundCode = ENOENT;
const int kThroughFileCode = ENOTDIR;
const ErrorNumber kThroughFileError = ErrorNumber::kFileAccess;
const bool kMakesSymbolicLinks = true;
const char kDevicePath[] = "/dev/null";

std::string SystemText(int code) { return std::strerror(code); }

std::string MakeSymbolicLink(const std::filesystem::path& target,
                             const std::filesystem::path& link) {
  return symlink(target.c_str(), link.c_str()) == 0 ? "" : std::strerror(errno);
}

void LetEveryoneWrite(const std::filesystem::path& path) { chmod(path.c_str(), 0777); }

void SetVariable(const std::string& name, const std::optional<std::string>& value) {
  value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
}

std::optional<std::string> Variable(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

const char kHomeVariable[] = "HOME";
const char kDataVariable[] = "XDG_DATA_HOME";
const char kStateVariable[] = "XDG_STATE_HOME";
const char kRuntimeVariable[] = "XDG_RUNTIME_DIR";

std::string SystemHome() { return getpwuid(getuid())->pw_dir; }

std::filesystem::path RootFolder() { return "/"; }

uint64_t FileId(const std::filesystem::path& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

bool HasMode(const std::filesystem::path& path, unsigned mode) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && (st.st_mode & 07777) == mode;
}

unsigned SetCreationMask(unsigned mask) { return umask(mask); }

void LimitFileSize(bool limited) {
  static rlimit unlimited = [] {
    rlimit now{};
    getrlimit(RLIMIT_FSIZE, &now);
    std::signal(SIGXFSZ, SIG_IGN);  // a write over the limit fails with EFBIG instead
    return now;
  }();
  const rlimit small{64, unlimited.rlim_max};
  setrlimit(RLIMIT_FSIZE, limited ? &small : &unlimited);
}

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
