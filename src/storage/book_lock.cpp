#include "storage/book_lock.h"

#include <utility>

namespace tallivan {

BookLock::BookLock(BookLock&& other) noexcept
    : path_(std::move(other.path_)),
      fd_(std::exchange(other.fd_, -1)),
      slot_(std::exchange(other.slot_, -1)),
      others_open_(other.others_open_) {}

BookLock& BookLock::operator=(BookLock&& other) noexcept {
  if (this != &other) {
    Release();
    path_ = std::move(other.path_);
    fd_ = std::exchange(other.fd_, -1);
    slot_ = std::exchange(other.slot_, -1);
    others_open_ = other.others_open_;
  }
  return *this;
}

BookLock::~BookLock() { Release(); }

}  // namespace tallivan
