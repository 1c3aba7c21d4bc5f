#ifndef TALLIVAN_STORAGE_BOOK_LOCK_H_
#define TALLIVAN_STORAGE_BOOK_LOCK_H_

#include <filesystem>

namespace tallivan {

// Tells the windows of one book from each other. Each window holds one slot of a lock file beside
// the book; the system releases the slot when the process ends, however it ends, so a window that
// crashed or was killed never leaves a lock behind that needs cleaning up.
class BookLock {
 public:
  // The most windows told apart on one book.
  static constexpr int kSlots = 64;

  // Takes the first free slot of `lock_file`, making the file with permission bits `mode` when it
  // does not exist. Never fails: when the file cannot be opened, nothing is held (slot() is -1).
  static BookLock Take(const std::filesystem::path& lock_file, unsigned mode);

  // Whether a window holds slot `slot` of `lock_file` (this one included).
  static bool IsHeld(const std::filesystem::path& lock_file, int slot);

  BookLock() = default;
  BookLock(BookLock&& other) noexcept;
  BookLock& operator=(BookLock&& other) noexcept;
  ~BookLock();

  // This window's slot, or -1 when it holds none.
  int slot() const { return slot_; }

  // Whether another window held a slot when this one took its own.
  bool others_open() const { return others_open_; }

  // Releases the slot, and removes the lock file when no other window holds one.
  void ReleaseAndTidy();

 private:
  void Release();

  std::filesystem::path path_;
  int fd_ = -1;
  int slot_ = -1;
  bool others_open_ = false;
};

}  // namespace tallivan

#endif  // TALLIVAN_STORAGE_BOOK_LOCK_H_
