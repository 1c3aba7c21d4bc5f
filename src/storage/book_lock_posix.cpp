#include <fcntl.h>
#include <unistd.h>

#include <utility>

#include "storage/book_lock.h"

namespace tallivan {
namespace {

// Open-file-description locks: held per open file, not per process, so two windows in one process
// are told apart too, and closing the file releases them.
flock SlotRange(short type, int slot) {
  flock range{};
  range.l_type = type;
  range.l_whence = SEEK_SET;
  range.l_start = slot;
  range.l_len = 1;
  return range;
}

bool IsHeldThrough(int fd, int slot) {
  flock range = SlotRange(F_WRLCK, slot);
  return fcntl(fd, F_OFD_GETLK, &range) == 0 && range.l_type != F_UNLCK;
}

}  // namespace

BookLock BookLock::Take(const std::filesystem::path& lock_file, unsigned mode) {
  BookLock lock;
  lock.path_ = lock_file;
  lock.fd_ = open(lock_file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, mode & 0666);
  if (lock.fd_ < 0) return lock;
  for (int slot = 0; slot < kSlots; ++slot) {
    flock range = SlotRange(F_WRLCK, slot);
    if (lock.slot_ < 0 && fcntl(lock.fd_, F_OFD_SETLK, &range) == 0) {
      lock.slot_ = slot;
    } else if (IsHeldThrough(lock.fd_, slot)) {
      lock.others_open_ = true;
    }
  }
  return lock;
}

bool BookLock::IsHeld(const std::filesystem::path& lock_file, int slot) {
  const int fd = open(lock_file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  const bool held = IsHeldThrough(fd, slot);
  close(fd);
  return held;
}

void BookLock::ReleaseAndTidy() {
  if (fd_ < 0) return;
  bool others = false;
  for (int slot = 0; slot < kSlots && !others; ++slot) {
    others = slot != slot_ && IsHeldThrough(fd_, slot);
  }
  // A window that opens the file just now may lock the removed one and miss this one's warning;
  // that costs a warning, never a text.
  if (!others) unlink(path_.c_str());
  Release();
}

void BookLock::Release() {
  if (fd_ >= 0) close(std::exchange(fd_, -1));
  slot_ = -1;
}

}  // namespace tallivan
