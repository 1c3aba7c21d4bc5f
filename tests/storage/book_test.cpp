// A full disk or a failing flush cannot be had on demand, so this executable defines openat,
// fsync and renameat itself. Its definitions take the place of the C library's for the storage
// code linked into it; they pass every call straight to the kernel, except the one step a test
// has armed, which fails with the error the test chose.

#include "storage/book.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <functional>
#include <random>
#include <thread>

#include "test_files.h"

namespace {

enum class Step { kNone, kCreateTemp, kSyncFile, kRename, kSyncFolder };

// The step of a save that is to fail, and its error; the step is disarmed when it fails.
Step failing_step = Step::kNone;
int failing_error = 0;

bool Fails(Step step) {
  if (step != failing_step) return false;
  failing_step = Step::kNone;
  errno = failing_error;
  return true;
}

}  // namespace

extern "C" {

int openat(int dir_fd, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(args, mode_t) : 0;
  va_end(args);
  if ((flags & O_CREAT) != 0 && Fails(Step::kCreateTemp)) return -1;
  return static_cast<int>(syscall(SYS_openat, dir_fd, path, flags, mode));
}

int fsync(int fd) {
  struct stat st {};
  const bool folder = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
  if (Fails(folder ? Step::kSyncFolder : Step::kSyncFile)) return -1;
  return static_cast<int>(syscall(SYS_fsync, fd));
}

int renameat(int old_dir_fd, const char* old_path, int new_dir_fd, const char* new_path) {
  if (Fails(Step::kRename)) return -1;
  return static_cast<int>(syscall(SYS_renameat2, old_dir_fd, old_path, new_dir_fd, new_path, 0));
}

}  // extern "C"

namespace tallivan {
namespace {

namespace fs = std::filesystem;

// Books in a folder whose name is not ASCII, as a user's folder may well be.
class BookTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(fs::create_directory(Dir())); }
  fs::path Dir() const { return dir_.path().toStdString() + "/账本 2024"; }
  fs::path Book() const { return Dir() / "book"; }
  QString QBook() const { return BookPathIn(dir_.path() + QStringLiteral("/账本 2024")); }

  QTemporaryDir dir_;
};

TEST_F(BookTest, SavesRawUtf16LeThroughLinksOverAnyOldBookAndLoadsItBack) {
  std::u16string every_unit;
  for (uint32_t unit = 0; unit <= 0xFFFF; ++unit) every_unit.push_back(static_cast<char16_t>(unit));
  const std::pair<std::u16string, std::string> cases[] = {
      {u"ab\r\n", std::string("a\0b\0\r\0\n\0", 8)},
      {u"\u8D26", "\x26\x8D"},
      {u"\uFEFFx", std::string("\xFF\xFEx\0", 4)},  // not taken for a byte-order mark
      {u"abc", std::string("a\0b\0c\0", 6)},
      {u"", ""},
      {u"\u6261\u6463", "abcd"},  // what an 8-bit file of even length loads as
      {u"\xDC00 x\xD800", std::string("\0\xDC \0x\0\0\xD8", 8)},  // unpaired surrogates
      {every_unit, Le(every_unit)},
  };
  // The book is a relative link to an absolute one, and a killed save left a temporary file
  // beside the real book, which must neither block a save nor get company.
  fs::create_directory(Dir() / "data");
  fs::create_symlink(Dir() / "data/real", Dir() / "middle");
  fs::create_symlink("middle", Book());
  WriteBytes(Dir() / "data/.real.aaaaaaaa.tmp", "half a save");
  for (const auto& [text, bytes] : cases) {
    WriteBytes(Book(), std::string(100, 'o'));
    ASSERT_TRUE(SaveBook(QBook(), text).ok());
    EXPECT_TRUE(ReadBytes(Dir() / "data/real") == bytes) << bytes.size() << " bytes expected";
    const Result<std::u16string> loaded = LoadBook(QBook());
    ASSERT_TRUE(loaded.ok()) << loaded.error().description;
    EXPECT_TRUE(loaded.value() == text) << bytes.size() << " bytes";
    EXPECT_TRUE(fs::is_symlink(Book()));
    EXPECT_EQ(Entries(Dir() / "data"), (std::vector<std::string>{".real.aaaaaaaa.tmp", "real"}));
  }
}

TEST_F(BookTest, LoadFailuresCarryNumberPathAndReason) {
  WriteBytes(Dir() / "odd", "abc");
  // A pipe tells no length in advance: its length shows only once it has been read.
  int pipe_ends[2];
  ASSERT_EQ(pipe(pipe_ends), 0);
  ASSERT_EQ(write(pipe_ends[1], "abc", 3), 3);
  close(pipe_ends[1]);
  const std::string odd = "its length (3 bytes) is odd, so it is not UTF-16 text";
  const std::tuple<fs::path, int32_t, std::string> cases[] = {
      {Book(), kErrFileNotFound, "No such file or directory"},
      {Dir() / "odd", kErrBadFileLength, odd},
      {"/proc/self/fd/" + std::to_string(pipe_ends[0]), kErrBadFileLength, odd},
      {Dir(), kErrFileAccess, "Is a directory"},
      {Dir() / "odd/book", kErrFileAccess, "Not a directory"},
  };
  for (const auto& [path, number, reason] : cases) {
    const Result<std::u16string> loaded = LoadBookFile(path);
    ASSERT_FALSE(loaded.ok()) << path;
    EXPECT_EQ(loaded.error(), (Error{number, "Cannot read \"" + path.string() + "\": " + reason}));
  }
  close(pipe_ends[0]);
}

TEST_F(BookTest, KeepsPermissionsAndOwnerAndGivesNewBooksTheUmaskDefault) {
  // {the old book's mode (0: no old book), umask, the mode after a save}
  const mode_t cases[][3] = {{0640, 022, 0640}, {0604, 077, 0604}, {0755, 022, 0755},
                             {0, 022, 0644},    {0, 077, 0600},    {0, 002, 0664}};
  const bool root = geteuid() == 0;  // only root can give a file to another owner, or back
  for (const auto& [old_mode, mask, expected] : cases) {
    fs::remove(Book());
    if (old_mode != 0) {
      WriteBytes(Book(), "ab");
      ASSERT_EQ(chmod(Book().c_str(), old_mode), 0);
      ASSERT_TRUE(!root || chown(Book().c_str(), 4321, 8765) == 0);
    }
    const mode_t previous = umask(mask);
    const bool saved = SaveBook(QBook(), u"x").ok();
    umask(previous);
    ASSERT_TRUE(saved);
    struct stat st {};
    ASSERT_EQ(stat(Book().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, expected);
    EXPECT_TRUE(!root || (st.st_uid == (old_mode != 0 ? 4321u : 0u) &&
                          st.st_gid == (old_mode != 0 ? 8765u : getegid())));
  }
}

TEST_F(BookTest, FailedSaveKeepsTheOldBookLeavesNoTemporaryFileAndCanBeRetried) {
  const fs::path shelf = Dir() / "shelf", book = shelf / "book";
  ASSERT_TRUE(fs::create_directory(shelf));
  rlimit no_limit{};
  getrlimit(RLIMIT_FSIZE, &no_limit);
  const rlimit limit{64, no_limit.rlim_max};
  signal(SIGXFSZ, SIG_IGN);
  // Changes to make before a save and to undo after it.
  using Change = std::pair<std::function<void()>, std::function<void()>>;
  const auto book_back = [&] { fs::remove_all(book), fs::rename(Dir() / "kept", book); };
  const Change shelf_is_file{[&] { fs::rename(shelf, Dir() / "moved"), WriteBytes(shelf, "x"); },
                             [&] { fs::remove(shelf), fs::rename(Dir() / "moved", shelf); }},
      book_is_folder{[&] { fs::rename(book, Dir() / "kept"), fs::create_directories(book / "x"); },
                     book_back},
      limited{[&] { setrlimit(RLIMIT_FSIZE, &limit); },
              [&] { setrlimit(RLIMIT_FSIZE, &no_limit); }},
      none{[] {}, [] {}};
  // {what goes wrong, the error that gives the reason, the step that fails with it, a change}
  const std::tuple<std::string, int, Step, Change> cases[] = {
      {"the folder is a file", ENOTDIR, Step::kNone, shelf_is_file},
      {"the book is a folder with something in it", EISDIR, Step::kNone, book_is_folder},
      {"writing goes over the file size limit", EFBIG, Step::kNone, limited},
      {"the temporary file cannot be created", ENOSPC, Step::kCreateTemp, none},
      {"flushing the file fails", EIO, Step::kSyncFile, none},
      {"renaming fails", EIO, Step::kRename, none},
      // The rename has put the new book in place; only its durability is in doubt.
      {"flushing the folder fails (a warning)", EIO, Step::kSyncFolder, none},
  };
  const std::string old_bytes = Le(u"old book [1]\r\n#  (1.00) ,  1.00");
  const std::u16string text = u"账本 [2]\r\n" + std::u16string(50'000, u'x');
  for (const auto& [name, error, step, change] : cases) {
    SCOPED_TRACE(name);
    WriteBytes(book, old_bytes);
    std::tie(failing_step, failing_error) = std::pair(step, error);
    change.first();
    const Result<SaveReport> saved = SaveBookFile(book, text);
    change.second();
    ASSERT_EQ(failing_step, Step::kNone) << "the save never reached the step";
    // Once the new book is in place, a failure is a warning and the save counts as done.
    const bool in_place = step == Step::kSyncFolder;
    ASSERT_EQ(saved.ok(), in_place);
    EXPECT_TRUE(in_place || saved.error().number == kErrFileAccess);
    const std::string why = in_place ? saved.value().warnings.at(0) : saved.error().description;
    EXPECT_TRUE(why.find(book.string()) != why.npos && why.find(std::strerror(error)) != why.npos)
        << why;
    EXPECT_TRUE(ReadBytes(book) == (in_place ? Le(text) : old_bytes));
    EXPECT_EQ(Entries(shelf), std::vector<std::string>{"book"});
    ASSERT_TRUE(SaveBookFile(book, text).ok());
    EXPECT_TRUE(ReadBytes(book) == Le(text));
  }
}

// A process saves three texts in turn until it is killed with SIGKILL at a random moment; the
// book must then hold the last text it finished or the one under way, whole, and the temporary
// files of killed saves must not get in the way of the next load or save.
TEST_F(BookTest, KilledSavesLeaveTheLastOrTheNextBookWhole) {
  using Clock = std::chrono::steady_clock;
  // Texts of different lengths that differ at every code unit, so that any mix of them shows.
  const std::u16string texts[3] = {Repeat(u"ABCDEFGHIJKLMNOPQRSTUVWXYZ", 5000),
                                   Repeat(u"账本記", 60'000), Repeat(u"0123456789", 14'000)};
  // Kills are spread over about two saves' time after the saver is ready.
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(SaveBookFile(Book(), texts[i % 3]).ok());
  std::uniform_int_distribution<Clock::rep> moment(0, (Clock::now() - start).count() / 2);
  std::mt19937 random(20240607);
  // How many saves the saver has finished, -1 until it is ready; shared with it.
  auto* saves =
      static_cast<std::atomic<int>*>(mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE,
                                          MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  int current = 0, finished_saves = 0;
  for (int kill_number = 0; kill_number < 200; ++kill_number) {
    saves->store(-1);
    const pid_t child = fork();
    if (child == 0) {
      saves->store(0);
      for (int n = 0; SaveBookFile(Book(), texts[(current + 1 + n) % 3]).ok();) saves->store(++n);
      _exit(3);
    }
    while (saves->load() < 0) std::this_thread::yield();
    std::this_thread::sleep_for(Clock::duration(moment(random)));
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "a save failed";
    finished_saves += saves->load();
    const Result<std::u16string> loaded = LoadBookFile(Book());
    ASSERT_TRUE(loaded.ok()) << loaded.error().description;
    const int last = (current + saves->load()) % 3, next = (last + 1) % 3;
    current = loaded.value() == texts[last] ? last : next;
    ASSERT_TRUE(loaded.value() == texts[current])
        << "kill " << kill_number << ": " << loaded.value().size() << " code units";
  }
  EXPECT_GT(finished_saves, 0) << "every kill came too early";
}

TEST(BookPathTest, IsTheBookBesideTheExecutableJoinedWithoutNormalising) {
  int argc = 1;
  char name[] = "book_test";
  char* argv[] = {name, nullptr};
  QCoreApplication app(argc, argv);
  const fs::path executable = fs::read_symlink("/proc/self/exe");
  EXPECT_EQ(BookPath().toStdString(), (executable.parent_path() / "book").string());
  EXPECT_EQ(BookPathIn("/"), "//book");
}

}  // namespace
}  // namespace tallivan
