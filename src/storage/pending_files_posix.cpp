#include "storage/pending_files_posix.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

#include "storage/atomic_writer.h"
#include "storage/file_system_posix.h"
#include "storage/safe_folder.h"

namespace tallivan {
namespace {

// A temporary file that nobody holds is taken for a killed save's only once it is this old, so
// that one just made, not yet locked by its maker, is never taken.
constexpr int64_t kStaleSeconds = 10 * 60;
constexpr int kTerminationSignals[] = {SIGTERM, SIGINT, SIGHUP};

// The files of saves under way, for the termination handler. A slot is free (0), being filled
// (1) or holds a file (2).
struct PendingSlot {
  std::atomic<int> state{0};
  int dir_fd = -1;
  char name[PATH_MAX] = {};
};
PendingSlot pending_slots[16];

extern "C" void RemovePendingFilesAndEnd(int signal_number) {
  const int saved_errno = errno;
  for (PendingSlot& file : pending_slots) {
    if (file.state.load() == 2) unlinkat(file.dir_fd, file.name, 0);
  }
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  sigaction(signal_number, &default_action, nullptr);
  errno = saved_errno;
  // Delivered once this handler returns, now with the default action.
  raise(signal_number);
}

}  // namespace

namespace posix {

void PendingFile::Remember(int dir_fd, const std::string& name) {
  Forget();
  if (name.size() >= PATH_MAX) return;
  for (int slot = 0; slot < static_cast<int>(std::size(pending_slots)); ++slot) {
    PendingSlot& file = pending_slots[slot];
    int free = 0;
    if (!file.state.compare_exchange_strong(free, 1)) continue;
    file.dir_fd = dir_fd;
    std::memcpy(file.name, name.c_str(), name.size() + 1);
    file.state.store(2);
    slot_ = slot;
    return;
  }
}

void PendingFile::Forget() {
  if (slot_ >= 0) pending_slots[std::exchange(slot_, -1)].state.store(0);
}

TerminationDeferred::TerminationDeferred() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal_number : kTerminationSignals) sigaddset(&set, signal_number);
  pthread_sigmask(SIG_BLOCK, &set, &previous_);
}

TerminationDeferred::~TerminationDeferred() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

void RemoveStaleTemporaryFiles(int dir_fd, const std::string& name) {
  const int64_t now = NowSeconds();
  for (const std::string& entry : NamesIn(dir_fd)) {
    struct stat st {};
    if (!IsTemporaryNameOf(name, entry) ||
        fstatat(dir_fd, entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        now - st.st_mtime < kStaleSeconds) {
      continue;
    }
    const Fd file(openat(dir_fd, entry.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat held {};
    if (file.ok() && flock(file.get(), LOCK_EX | LOCK_NB) == 0 && fstat(file.get(), &held) == 0 &&
        held.st_ino == st.st_ino && held.st_dev == st.st_dev) {
      unlinkat(dir_fd, entry.c_str(), 0);
    }
  }
}

}  // namespace posix

void RemoveTemporaryFilesOnTermination() {
  for (int signal_number : kTerminationSignals) {
    struct sigaction current {};
    if (sigaction(signal_number, nullptr, &current) != 0 || current.sa_handler != SIG_DFL ||
        (current.sa_flags & SA_SIGINFO) != 0) {
      continue;
    }
    struct sigaction action {};
    action.sa_handler = RemovePendingFilesAndEnd;
    sigemptyset(&action.sa_mask);
    for (int other : kTerminationSignals) sigaddset(&action.sa_mask, other);
    sigaction(signal_number, &action, nullptr);
  }
}

}  // namespace tallivan
