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

}  // namespace

bool BookLock::TryLockSlot(intptr_t handle, int slot) {
  flock range = SlotRange(F_WRLCK, slot);
  return fcntl(static_cast<int>(handle), F_OFD_SETLK, &range) == 0;
}

bool BookLock::IsHeldThrough(intptr_t handle, int slot) {
  flock range = SlotRange(F_WRLCK, slot);
  return fcntl(static_cast<int>(handle), F_OFD_GETLK, &range) == 0 && range.l_type != F_UNLCK;
}

void BookLock::ReleaseAndTidy(const SafeFolder& folder) {
  if (handle_ < 0) return;
  const int fd = static_cast<int>(handle_);
  // This window's slot goes first, so that of windows ending together the last to look finds no
  // other slot held and removes the file; looking while still holding it, each would see the other.
  if (slot_ >= 0) {
    flock own = SlotRange(F_UNLCK, slot_);
    fcntl(fd, F_OFD_SETLK, &own);
  }
  bool others = false;
  for (int slot = 0; slot < kSlots && !others; ++slot) others = IsHeldThrough(handle_, slot);
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
