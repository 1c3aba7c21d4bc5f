#include <fcntl.h>
#include <io.h>

#include <chrono>
#include <utility>

#include "storage/book_lock.h"
#include "storage/file_system_windows.h"

namespace tallivan {
namespace {

using windows::Handle;

// How long a lock file that another window is just removing is waited for.
constexpr std::chrono::milliseconds kOpenTime{200};

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

BookLock BookLock::Take(const std::filesystem::path& lock_file, unsigned mode) {
  BookLock lock;
  lock.path_ = lock_file;
  windows::PrivateSecurity security;
  Handle file;
  // Another window removing the file holds it alone for a moment. Made hidden, as Explorer shows
  // the files that the system does not mark so.
  windows::Retry(kOpenTime).Run([&] {
    file = Handle(windows::OpenFile(lock_file, GENERIC_READ | GENERIC_WRITE, windows::kShareAll,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_HIDDEN,
                                    (mode & 077) == 0 ? security.attributes() : nullptr));
    return file.ok() ? 0 : GetLastError();
  });
  if (!file.ok()) return lock;
  lock.fd_ = _open_osfhandle(reinterpret_cast<intptr_t>(file.get()), _O_RDWR | _O_BINARY);
  if (lock.fd_ < 0) return lock;
  const HANDLE held = file.Release();
  for (int slot = 0; slot < kSlots; ++slot) {
    if (lock.slot_ < 0 && LockSlot(held, slot)) {
      lock.slot_ = slot;
    } else if (IsHeldThrough(held, slot)) {
      lock.others_open_ = true;
    }
  }
  return lock;
}

bool BookLock::IsHeld(const std::filesystem::path& lock_file, int slot) {
  const Handle file(windows::OpenFile(lock_file, GENERIC_READ | GENERIC_WRITE, windows::kShareAll,
                                      OPEN_EXISTING));
  return file.ok() && IsHeldThrough(file.get(), slot);
}

void BookLock::ReleaseAndTidy() {
  if (fd_ < 0) return;
  Release();
  // Removed only when no other window has it open: opening it alone fails while one does.
  const Handle alone(windows::OpenFile(path_, DELETE, 0, OPEN_EXISTING,
                                       FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT));
}

void BookLock::Release() {
  if (fd_ >= 0) _close(std::exchange(fd_, -1));
  slot_ = -1;
}

}  // namespace tallivan
