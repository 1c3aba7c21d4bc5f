#include "storage/book_lock.h"

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

}  // namespace tallivan
