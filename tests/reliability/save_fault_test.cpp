// Every step of a save made to fail in turn: the old book stays as it was byte for byte, no
// temporary file is left, the error names the book and the reason, and the next save succeeds.
//
// A full disk or a failing flush cannot be had on demand, so this executable defines openat,
// write, fsync, close and renameat itself. Its definitions take the place of the C library's for
// the storage code linked into it; they pass every call straight to the kernel, except the one
// call a test has armed, which fails with the error the test chose.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "storage/atomic_writer.h"
#include "storage/book.h"

namespace tallivan {
namespace {

enum class Step { kNone, kCreateTemp, kWrite, kSyncFile, kCloseFile, kRename, kSyncFolder };

// The one call that is to fail.
struct Armed {
  Step step = Step::kNone;
  int error = 0;
  size_t bytes_before_failing = 0;  // kWrite: bytes that still reach the file first
  bool fired = false;
};

Armed armed;

bool Fire(Step step) {
  if (armed.step != step || armed.fired) return false;
  armed.fired = true;
  errno = armed.error;
  return true;
}

int OpenAt(int dir_fd, const char* path, int flags, va_list args) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) mode = va_arg(args, mode_t);
  if ((flags & O_CREAT) != 0 && Fire(Step::kCreateTemp)) return -1;
  return static_cast<int>(syscall(SYS_openat, dir_fd, path, flags, mode));
}

}  // namespace
}  // namespace tallivan

extern "C" {

int openat(int dir_fd, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const int fd = tallivan::OpenAt(dir_fd, path, flags, args);
  va_end(args);
  return fd;
}

int openat64(int dir_fd, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const int fd = tallivan::OpenAt(dir_fd, path, flags, args);
  va_end(args);
  return fd;
}

ssize_t write(int fd, const void* data, size_t size) {
  using tallivan::armed;
  if (fd > STDERR_FILENO && armed.step == tallivan::Step::kWrite && !armed.fired) {
    if (armed.bytes_before_failing == 0) {
      tallivan::Fire(tallivan::Step::kWrite);
      return -1;
    }
    size = std::min(size, armed.bytes_before_failing);
    armed.bytes_before_failing -= size;
  }
  return syscall(SYS_write, fd, data, size);
}

int fsync(int fd) {
  struct stat st {};
  const bool folder = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
  if (tallivan::Fire(folder ? tallivan::Step::kSyncFolder : tallivan::Step::kSyncFile)) return -1;
  return static_cast<int>(syscall(SYS_fsync, fd));
}

int close(int fd) {
  struct stat st {};
  const bool file = fd > STDERR_FILENO && fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  const int closed = static_cast<int>(syscall(SYS_close, fd));
  // Linux frees the descriptor even when close reports an error.
  if (file && tallivan::Fire(tallivan::Step::kCloseFile)) return -1;
  return closed;
}

int renameat(int old_dir_fd, const char* old_path, int new_dir_fd, const char* new_path) {
  if (tallivan::Fire(tallivan::Step::kRename)) return -1;
#ifdef SYS_renameat
  return static_cast<int>(syscall(SYS_renameat, old_dir_fd, old_path, new_dir_fd, new_path));
#else
  return static_cast<int>(syscall(SYS_renameat2, old_dir_fd, old_path, new_dir_fd, new_path, 0));
#endif
}

}  // extern "C"

namespace tallivan {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::UnorderedElementsAreArray;

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::vector<std::string> Entries(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

std::string Utf16Le(std::u16string_view text) {
  std::string bytes;
  for (char16_t unit : text) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

enum class Outcome { kOldBookKept, kNewBookInPlace };

struct StepFault {
  std::string name;
  Armed fault;
  Outcome outcome;
};

TEST(SaveFaultTest, EachFailingStepKeepsTheBookWholeAndLeavesNoTemporaryFile) {
  const StepFault faults[] = {
      {"temporary file cannot be created", {Step::kCreateTemp, ENOSPC}, Outcome::kOldBookKept},
      {"first write fails", {Step::kWrite, EIO}, Outcome::kOldBookKept},
      {"disk fills up halfway", {Step::kWrite, ENOSPC, 40'000}, Outcome::kOldBookKept},
      {"flushing the file fails", {Step::kSyncFile, EIO}, Outcome::kOldBookKept},
      {"closing the file fails", {Step::kCloseFile, EIO}, Outcome::kOldBookKept},
      {"renaming fails", {Step::kRename, EIO}, Outcome::kOldBookKept},
      // The rename has already put the new book in place; only its durability is in doubt.
      {"flushing the folder fails", {Step::kSyncFolder, EIO}, Outcome::kNewBookInPlace},
  };
  const std::string old_bytes = Utf16Le(u"old book [1]\r\n#  (1.00) ,  1.00");
  const std::u16string text = u"账本 [2]\r\n" + std::u16string(50'000, u'x');
  for (const StepFault& f : faults) {
    SCOPED_TRACE(f.name);
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString book = BookPathIn(dir.path());
    const fs::path folder = dir.path().toStdString();
    WriteBytes(folder / "book", old_bytes);
    const std::vector<std::string> before = Entries(folder);

    armed = f.fault;
    const Status saved = SaveBook(book, text);
    const bool fired = armed.fired;
    armed = Armed();
    ASSERT_TRUE(fired) << "the save never reached the step";
    ASSERT_FALSE(saved.ok());
    EXPECT_EQ(saved.error().number, kErrFileAccess);
    EXPECT_THAT(saved.error().description, HasSubstr(book.toStdString()));
    EXPECT_THAT(saved.error().description, HasSubstr(std::strerror(f.fault.error)));
    EXPECT_EQ(ReadBytes(folder / "book"),
              f.outcome == Outcome::kOldBookKept ? old_bytes : Utf16Le(text));
    EXPECT_THAT(Entries(folder), UnorderedElementsAreArray(before));

    const Status retried = SaveBook(book, text);
    ASSERT_TRUE(retried.ok()) << retried.error().description;
    EXPECT_EQ(ReadBytes(folder / "book"), Utf16Le(text));
    EXPECT_THAT(Entries(folder), UnorderedElementsAreArray(before));
  }
}

// Lowers the limit on open files so that exactly `spare` more can be opened; restores it when
// it goes out of scope.
class OpenFileLimit {
 public:
  explicit OpenFileLimit(int spare) {
    getrlimit(RLIMIT_NOFILE, &saved_);
    const int lowest_free = dup(STDIN_FILENO);
    ::close(lowest_free);
    rlimit lowered = saved_;
    lowered.rlim_cur = static_cast<rlim_t>(lowest_free + spare);
    setrlimit(RLIMIT_NOFILE, &lowered);
  }
  ~OpenFileLimit() { setrlimit(RLIMIT_NOFILE, &saved_); }

 private:
  rlimit saved_{};
};

TEST(SaveFaultTest, OrdinaryCausesKeepTheOldBookAndAllowARetry) {
  const std::string old_bytes = Utf16Le(u"old [3]");
  const std::u16string text = u"new [4]";

  {
    SCOPED_TRACE("no file can be opened beside the folder itself");
    QTemporaryDir dir;
    const fs::path folder = dir.path().toStdString();
    WriteBytes(folder / "book", old_bytes);
    const std::vector<std::string> before = Entries(folder);
    Status saved;
    {
      OpenFileLimit limit(1);
      saved = SaveBookFile(folder / "book", text);
    }
    ASSERT_FALSE(saved.ok());
    EXPECT_THAT(saved.error().description, HasSubstr((folder / "book").string()));
    EXPECT_THAT(saved.error().description, HasSubstr(std::strerror(EMFILE)));
    EXPECT_EQ(ReadBytes(folder / "book"), old_bytes);
    EXPECT_THAT(Entries(folder), UnorderedElementsAreArray(before));
    ASSERT_TRUE(SaveBookFile(folder / "book", text).ok());
    EXPECT_EQ(ReadBytes(folder / "book"), Utf16Le(text));
  }
  {
    SCOPED_TRACE("the book turns into a folder with files in it before the rename");
    QTemporaryDir dir;
    const fs::path folder = dir.path().toStdString();
    const fs::path book = folder / "book";
    WriteBytes(book, old_bytes);
    Result<AtomicWriter> writer = AtomicWriter::Open(book);
    ASSERT_TRUE(writer.ok()) << writer.error().description;
    ASSERT_TRUE(writer.value().Write({"n\0e\0w\0", 6}).ok());
    fs::rename(book, folder / "kept");
    fs::create_directory(book);
    WriteBytes(book / "inside", "x");

    const Status committed = writer.value().Commit();
    ASSERT_FALSE(committed.ok());
    EXPECT_THAT(committed.error().description, HasSubstr(book.string()));
    EXPECT_THAT(committed.error().description, HasSubstr(std::strerror(EISDIR)));
    EXPECT_THAT(Entries(folder), UnorderedElementsAreArray({"book", "kept"}));
    EXPECT_THAT(Entries(book), UnorderedElementsAreArray({"inside"}));
    EXPECT_EQ(ReadBytes(book / "inside"), "x");

    fs::remove_all(book);
    fs::rename(folder / "kept", book);
    EXPECT_EQ(ReadBytes(book), old_bytes);
    ASSERT_TRUE(SaveBookFile(book, text).ok());
    EXPECT_EQ(ReadBytes(book), Utf16Le(text));
  }
}

}  // namespace
}  // namespace tallivan
