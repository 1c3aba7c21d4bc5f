#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>

#include "storage/atomic_writer.h"
#include "storage/book_file.h"
#include "storage/book_view.h"

namespace tallivan {
namespace {

constexpr size_t kCopyBuffer = size_t{1} << 20;

// Mapped books, for the SIGBUS handler: touching a page of a mapped file beyond its end, once
// another program has cut it shorter, raises SIGBUS. A slot is free while `begin` is 0 and being
// filled while it is 1.
struct GuardedMapping {
  std::atomic<uintptr_t> begin{0};
  std::atomic<uintptr_t> end{0};
  std::atomic<bool> cut{false};
};
GuardedMapping guarded[16];
uintptr_t page_size = 4096;
struct sigaction previous_bus_action {};

extern "C" void OnBusError(int signal_number, siginfo_t* info, void* context) {
  const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
  for (GuardedMapping& mapping : guarded) {
    const uintptr_t begin = mapping.begin.load(), end = mapping.end.load();
    if (begin <= 1 || address < begin || address >= end) continue;
    // Zeros take the place of what was cut off, from the faulting page to the mapping's end.
    const uintptr_t page = address & ~(page_size - 1);
    if (mmap(reinterpret_cast<void*>(page), end - page, PROT_READ,
             MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
      mapping.cut.store(true);
      return;
    }
  }
  if ((previous_bus_action.sa_flags & SA_SIGINFO) != 0 && previous_bus_action.sa_sigaction) {
    previous_bus_action.sa_sigaction(signal_number, info, context);
  } else if ((previous_bus_action.sa_flags & SA_SIGINFO) == 0 &&
             previous_bus_action.sa_handler != SIG_DFL &&
             previous_bus_action.sa_handler != SIG_IGN) {
    previous_bus_action.sa_handler(signal_number);
  } else {
    // Not a book's page: the fault recurs on return and ends the process as it would have.
    signal(signal_number, SIG_DFL);
  }
}

// Watches [begin, end) for SIGBUS; the slot, or -1 when none is free (the mapping then stays
// unguarded and the caller reads the book instead).
int Guard(const void* begin, size_t bytes) {
  static std::once_flag installed;
  std::call_once(installed, [] {
    page_size = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    struct sigaction action {};
    action.sa_sigaction = OnBusError;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, &previous_bus_action);
  });
  for (int slot = 0; slot < static_cast<int>(std::size(guarded)); ++slot) {
    uintptr_t free = 0;
    if (!guarded[slot].begin.compare_exchange_strong(free, 1)) continue;
    guarded[slot].cut.store(false);
    guarded[slot].end.store(reinterpret_cast<uintptr_t>(begin) + bytes);
    guarded[slot].begin.store(reinterpret_cast<uintptr_t>(begin));
    return slot;
  }
  return -1;
}

// Copies what `from` holds up to its end into `to`; 0 or the errno that stopped it.
int CopyToEnd(int from, int to) {
  std::unique_ptr<char[]> buffer(new char[kCopyBuffer]);
  for (;;) {
    const ssize_t got = read(from, buffer.get(), kCopyBuffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return errno;
    if (got == 0) return 0;
    if (const int error_number = WriteFully(to, {buffer.get(), static_cast<size_t>(got)});
        error_number != 0) {
      return error_number;
    }
  }
}

}  // namespace

Result<BookView> BookView::Read(BookSource source) {
  BookView view(std::move(source));
  const int fd = view.source_.fd();
  struct stat st {};
  const bool known = fstat(fd, &st) == 0;
  if (known && S_ISREG(st.st_mode)) {
    const off_t at = lseek(fd, 0, SEEK_CUR);
    // A book read from an odd position would give misaligned code units; that one is read.
    if (at >= 0 && at < st.st_size && at % 2 == 0 && (st.st_size - at) % 2 == 0 &&
        view.Map(fd, static_cast<uint64_t>(at), static_cast<uint64_t>(st.st_size))) {
      lseek(fd, st.st_size, SEEK_SET);  // consumed, as a read would leave it
      return view;
    }
  } else if (known && !S_ISDIR(st.st_mode)) {
    // A pipe goes into an in-memory file first, which then maps like any other.
    if (const int copy = memfd_create("book", MFD_CLOEXEC); copy >= 0) {
      int error_number = CopyToEnd(fd, copy);
      struct stat copied {};
      if (error_number == 0 && fstat(copy, &copied) != 0) error_number = errno;
      if (error_number == 0 && copied.st_size % 2 == 0 &&
          (copied.st_size == 0 || view.Map(copy, 0, static_cast<uint64_t>(copied.st_size)))) {
        close(copy);
        return view;
      }
      if (error_number == 0 && lseek(copy, 0, SEEK_SET) != 0) error_number = errno;
      Result<std::u16string> text = error_number == 0
                                        ? ReadBook(copy, view.source_.name())
                                        : ReadError(view.source_.name(), error_number);
      close(copy);
      if (!text) return text.error();
      view.read_ = std::move(text).value();
      return view;
    }
  }
  // Everything else, errors included, goes the way LoadBook goes.
  Result<std::u16string> text = ReadBook(fd, view.source_.name());
  if (!text) return text.error();
  view.read_ = std::move(text).value();
  return view;
}

bool BookView::Map(int fd, uint64_t from, uint64_t to) {
  if constexpr (std::endian::native != std::endian::little) return false;
  const uint64_t start = from & ~static_cast<uint64_t>(sysconf(_SC_PAGESIZE) - 1);
  const auto bytes = static_cast<size_t>(to - start);
  void* mapped =
      mmap(nullptr, bytes, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, static_cast<off_t>(start));
  if (mapped == MAP_FAILED) return false;
  guard_ = Guard(mapped, bytes);
  if (guard_ < 0) {
    munmap(mapped, bytes);
    return false;
  }
  madvise(mapped, bytes, MADV_SEQUENTIAL);
  mapped_ = mapped;
  mapped_bytes_ = bytes;
  mapped_text_ = std::u16string_view(
      reinterpret_cast<const char16_t*>(static_cast<const char*>(mapped) + (from - start)),
      static_cast<size_t>(to - from) / 2);
  return true;
}

BookView::BookView(BookView&& other) noexcept
    : source_(std::move(other.source_)),
      mapped_(std::exchange(other.mapped_, nullptr)),
      mapped_bytes_(std::exchange(other.mapped_bytes_, 0)),
      guard_(std::exchange(other.guard_, -1)),
      mapped_text_(std::exchange(other.mapped_text_, {})),
      read_(std::move(other.read_)) {}

BookView::~BookView() {
  if (guard_ >= 0) guarded[guard_].begin.store(0);
  if (mapped_ != nullptr) munmap(mapped_, mapped_bytes_);
}

Status BookView::Unchanged() const {
  if (guard_ >= 0 && guarded[guard_].cut.load()) return ChangedError(source_.name());
  return source_.Unchanged();
}

}  // namespace tallivan
