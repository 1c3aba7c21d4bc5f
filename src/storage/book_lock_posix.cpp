#include <fcntl.h>
#include <sys/stat.h>
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

BookLock BookLock::Take(const SafeFolder& folder, std::string_view name, unsigned mode) {
  BookLock lock;
  lock.name_ = name;
  Result<intptr_t> opened = folder.OpenForLocking(name, mode);
  if (!opened) {
    lock.trouble_ = opened.error().description;
    return lock;
  }
  lock.handle_ = opened.value();
  const int fd = static_cast<int>(lock.handle_);
  for (int slot = 0; slot < kSlots; ++slot) {
    flock range = SlotRange(F_WRLCK, slot);
    if (lock.slot_ < 0 && fcntl(fd, F_OFD_SETLK, &range) == 0) {
      lock.slot_ = slot;
    } else if (IsHeldThrough(fd, slot)) {
      lock.others_open_ = true;
    }
  }
  if (lock.slot_ < 0)
    lock.trouble_ = "every one of its " + std::to_string(kSlots) + " places is taken";
  return lock;
}

bool BookLock::IsHeld(int slot) const {
  if (slot == slot_ && slot >= 0) return true;
  return handle_ >= 0 && IsHeldThrough(static_cast<int>(handle_), slot);
}

void BookLock::ReleaseAndTidy(const SafeFolder& folder) {
  if (handle_ < 0) return;
  const int fd = static_cast<int>(handle_);
  bool others = false;
  for (int slot = 0; slot < kSlots && !others; ++slot) {
    others = slot != slot_ && IsHeldThrough(fd, slot);
  }
  // Only the file this lock opened is removed, never one that took its name since. A window that
  // opens the file just now may lock the removed one and miss this one's warning; that costs a
  // warning, never a text.
  struct stat mine {
  }, named{};
  if (!others && fstat(fd, &mine) == 0 &&
      fstatat(static_cast<int>(folder.native()), name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
      mine.st_dev == named.st_dev && mine.st_ino == named.st_ino) {
    unlinkat(static_cast<int>(folder.native()), name_.c_str(), 0);
  }
  Release();
}

void BookLock::Release() {
  if (handle_ >= 0) close(static_cast<int>(std::exchange(handle_, -1)));
  slot_ = -1;
}

}  // namespace tallivan
