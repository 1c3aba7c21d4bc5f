#ifndef TALLIVAN_STORAGE_BOOK_LOCK_H_
#define TALLIVAN_STORAGE_BOOK_LOCK_H_

#include <string>
#include <string_view>

#include "storage/safe_folder.h"

namespace tallivan {

// Tells the windows of one book from each other. Each window holds one slot of a lock file; the
// system releases the slot when the process ends, however it ends, so a window that crashed or
// was killed never leaves a lock behind that needs cleaning up.
class BookLock {
 public:
  // The most windows told apart on one book.
  static constexpr int kSlots = 64;

  // Takes the first free slot of the lock file `name` in `folder`, making it with permission bits
  // `mode` when it does not exist. Never fails and never waits: when the name holds anything but
  // the caller's own file (see SafeFolder), or all slots are taken, nothing is held (slot() is -1)
  // and trouble() says why.
  static BookLock Take(const SafeFolder& folder, std::string_view name, unsigned mode);

  BookLock() = default;
  BookLock(BookLock&& other) noexcept;
  BookLock& operator=(BookLock&& other) noexcept;
  ~BookLock();

  // This window's slot, or -1 when it holds none.
  int slot() const { return slot_; }

  // Whether another window held a slot when this one took its own.
  bool others_open() const { return others_open_; }

  // Why no slot is held; empty when one is.
  const std::string& trouble() const { return trouble_; }

  // Whether a window holds `slot` (this one included).
  bool IsHeld(int slot) const;

  // Releases the slot, and removes the lock file from `folder` when no other window holds one.
  void ReleaseAndTidy(const SafeFolder& folder);

 private:
  // Takes `slot` of the lock file open as `handle` if it is free, without waiting.
  static bool TryLockSlot(intptr_t handle, int slot);
  // Whether a handle other than `handle` holds `slot`.
  static bool IsHeldThrough(intptr_t handle, int slot);

  void Release();

  std::string name_;
  intptr_t handle_ = -1;
  int slot_ = -1;
  bool others_open_ = false;
  std::string trouble_;
};

}  // namespace tallivan

#endif  // TALLIVAN_STORAGE_BOOK_LOCK_H_
