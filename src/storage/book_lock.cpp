#include "storage/book_lock.h"

#include <string>
#include <utility>

namespace tallivan {

BookLock::BookLock(BookLock&& other) noexcept
    : name_(std::move(other.name_)),
      handle_(std::exchange(other.handle_, -1)),
      slot_(std::exchange(other.slot_, -1)),
      others_open_(other.others_open_),
      trouble_(std::move(other.trouble_)) {}

BookLock& BookLock::operator=(BookLock&& other) noexcept {
  if (this != &other) {
    Release();
    name_ = std::move(other.name_);
    handle_ = std::exchange(other.handle_, -1);
    slot_ = std::exchange(other.slot_, -1);
    others_open_ = other.others_open_;
    trouble_ = std::move(other.trouble_);
  }
  return *this;
}

BookLock::~BookLock() { Release(); }

BookLock BookLock::Take(const SafeFolder& folder, std::string_view name, unsigned mode) {
  BookLock lock;
  lock.name_ = name;
  Result<intptr_t> opened = folder.OpenForLocking(name, mode);
  if (!opened) {
    lock.trouble_ = opened.error().description;
    return lock;
  }
  lock.handle_ = opened.value();
  for (int slot = 0; slot < kSlots; ++slot) {
    if (lock.slot_ < 0 && TryLockSlot(lock.handle_, slot)) {
      lock.slot_ = slot;
    } else if (IsHeldThrough(lock.handle_, slot)) {
      lock.others_open_ = true;
    }
  }
  if (lock.slot_ < 0) {
    lock.trouble_ = "every one of its " + std::to_string(kSlots) + " places is taken";
  }
  return lock;
}

bool BookLock::IsHeld(int slot) const {
  if (slot == slot_ && slot >= 0) return true;
  return handle_ != -1 && IsHeldThrough(handle_, slot);
}

}  // namespace tallivan
