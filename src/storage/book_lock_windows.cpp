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

}  // namespace

bool BookLock::TryLockSlot(intptr_t handle, int slot) {
  return LockSlot(reinterpret_cast<HANDLE>(handle), slot);
}

// The system tells no holder, so the slot is taken for a moment to see.
bool BookLock::IsHeldThrough(intptr_t handle, int slot) {
  const HANDLE file = reinterpret_cast<HANDLE>(handle);
  if (LockSlot(file, slot)) {
    UnlockSlot(file, slot);
    return false;
  }
  return GetLastError() == ERROR_LOCK_VIOLATION;
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
