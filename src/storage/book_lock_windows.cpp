#include <utility>

#include "storage/book_lock.h"
#include "storage/file_system_windows.h"
#include "storage/wide_text.h"

namespace tallivan {
namespace {

using windows::Handle;

// Byte-range locks: held per handle, so two windows in one process are told apart too, and
// released when the handle is closed or the process ends.
bool LockSlot(HANDLE file, int slot) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(slot);
  return LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != 0;
}

void UnlockSlot(HANDLE file, int slot) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(slot);
  UnlockFileEx(file, 0, 1, 0, &at);
}

// Whether a handle other than `file` holds `slot`: the system tells no holder, so the slot is
// taken for a moment to see.
bool IsHeldThrough(HANDLE file, int slot) {
  if (LockSlot(file, slot)) {
    UnlockSlot(file, slot);
    return false;
  }
  return GetLastError() == ERROR_LOCK_VIOLATION;
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
  const HANDLE file = reinterpret_cast<HANDLE>(lock.handle_);
  for (int slot = 0; slot < kSlots; ++slot) {
    if (lock.slot_ < 0 && LockSlot(file, slot)) {
      lock.slot_ = slot;
    } else if (IsHeldThrough(file, slot)) {
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
  return handle_ != -1 && IsHeldThrough(reinterpret_cast<HANDLE>(handle_), slot);
}

void BookLock::ReleaseAndTidy(const SafeFolder& folder) {
  if (handle_ == -1) return;
  windows::FileInfo mine;
  const bool known = windows::InfoOf(reinterpret_cast<HANDLE>(handle_), mine) == 0;
  Release();
  if (!known) return;
  // Removed only when no other window has it open, for opening it alone fails while one does,
  // and only when it is still the file this lock opened, never one that took its name since.
  Handle alone;
  windows::FileInfo named;
  if (windows::OpenAt(reinterpret_cast<HANDLE>(folder.native()), WideFromUtf8(name_),
                      DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN, FILE_NON_DIRECTORY_FILE, alone,
                      nullptr, 0) == 0 &&
      windows::InfoOf(alone.get(), named) == 0 && named.volume == mine.volume &&
      named.index == mine.index) {
    windows::MarkForRemoval(alone.get());
  }
}

void BookLock::Release() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(std::exchange(handle_, -1)));
  slot_ = -1;
}

}  // namespace tallivan
