// What only POSIX systems have: links, owners, groups, modes and access lists, signals, FIFOs and
// mapped books cut short by another program.
//
// A full disk or a failing flush cannot be had on demand, so this executable defines openat,
// fsync, renameat, linkat, fallocate and read itself. Its definitions take the place of the C
// library's for the storage code linked into it; they pass every call straight to the kernel,
// except at a step a test has armed, which first runs the test's action and then fails with the
// error the test chose.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <numeric>
#include <optional>
#include <random>
#include <thread>

#include "storage/book.h"
#include "storage/book_location.h"
#include "storage/book_view.h"
#include "test_files.h"

namespace {

enum class Step {
  kCreateUnnamed,
  kCreateTemp,
  kSyncFile,
  kSyncFolder,
  kLinkVersion,
  kRename,
  kReserve,
  kRead
};

// The error a step fails with, and how many more times (-1: every time).
struct Failing {
  int error = 0;
  int times = 1;
};
std::map<Step, Failing> failing;
std::map<Step, std::function<void()>> before;  // runs each time the step comes

bool Fails(Step step) {
  if (const auto action = before.find(step); action != before.end()) action->second();
  const auto it = failing.find(step);
  if (it == failing.end()) return false;
  errno = it->second.error;
  if (--it->second.times == 0) failing.erase(it);
  return true;
}

}  // namespace

extern "C" {

int openat(int dir_fd, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const bool creates = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
  const mode_t mode = creates ? va_arg(args, mode_t) : 0;
  va_end(args);
  if ((flags & O_TMPFILE) == O_TMPFILE && Fails(Step::kCreateUnnamed)) return -1;
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

int linkat(int old_dir_fd, const char* old_path, int new_dir_fd, const char* new_path, int flags) {
  // Only a version is linked without flags; the unnamed temporary file is linked through /proc.
  if (flags == 0 && Fails(Step::kLinkVersion)) return -1;
  return static_cast<int>(syscall(SYS_linkat, old_dir_fd, old_path, new_dir_fd, new_path, flags));
}

int fallocate(int fd, int mode, off_t offset, off_t length) {
  if (Fails(Step::kReserve)) return -1;
  return static_cast<int>(syscall(SYS_fallocate, fd, mode, offset, length));
}

ssize_t read(int fd, void* buffer, size_t count) {
  if (!before.empty() && Fails(Step::kRead)) return -1;
  return syscall(SYS_read, fd, buffer, count);
}

}  // extern "C"

namespace tallivan {
namespace {

namespace fs = std::filesystem;

const bool kRoot = geteuid() == 0;

// The unprivileged user and group, and a group a user may be given besides.
constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;
constexpr gid_t kStaff = 50;

// Runs `body` in a child process with the user `uid`, the group `gid` and the supplementary
// `groups`, and returns what it returned, or why it gave nothing.
std::string RunAs(uid_t uid, gid_t gid, const std::vector<gid_t>& groups,
                  const std::function<std::string()>& body) {
  int channel[2];
  if (pipe(channel) != 0) return "no pipe";
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    close(channel[0]);
    std::string said = "cannot become the user";
    if (setgroups(groups.size(), groups.data()) == 0 && setresgid(gid, gid, gid) == 0 &&
        setresuid(uid, uid, uid) == 0) {
      said = body();
    }
    const bool written = write(channel[1], said.data(), said.size()) == ssize_t(said.size());
    _exit(written ? 0 : 1);
  }
  close(channel[1]);
  std::string said;
  char buffer[4096];
  for (ssize_t got; (got = ::read(channel[0], buffer, sizeof buffer)) > 0;)
    said.append(buffer, got);
  close(channel[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? said : "ended by signal " + std::to_string(WTERMSIG(status));
}

// Makes `path` look as if it had last been written an hour ago.
void Age(const fs::path& path) {
  fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(1));
}

std::string Attribute(const fs::path& path, const char* name) {
  char value[1024];
  const ssize_t size = getxattr(path.c_str(), name, value, sizeof value);
  return size < 0 ? "" : std::string(value, size);
}

// Books in a folder whose name is not ASCII, as a user's folder may well be; the unprivileged user
// may find its way to it.
class BookTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::create_directory(Dir()));
    fs::permissions(dir_.path().toStdString(), fs::perms(0755));
    failing.clear();
    before.clear();
  }
  void TearDown() override { failing.clear(), before.clear(); }
  fs::path Dir() const { return dir_.path().toStdString() + "/账本 2024"; }
  fs::path Book() const { return Dir() / "book"; }
  QString QBook() const { return BookPathIn(dir_.path() + QStringLiteral("/账本 2024")); }

  QTemporaryDir dir_;
};

TEST_F(BookTest, SavesThroughLinksToTheFileTheyFinallyNameAndTidiesBesideIt) {
  // The book is a relative link to an absolute one. Killed saves left temporary files beside the
  // real book, and files of that name beside the link: only the real book's old ones go.
  const fs::path data = Dir() / "data";
  fs::create_directory(data);
  fs::create_symlink(data / "real", Dir() / "middle");
  fs::create_symlink("middle", Book());
  for (const fs::path& path :
       {data / ".real.aaaaaaaa.tmp", data / ".real.bbbbbbbb.tmp", Dir() / ".book.cccccccc.tmp"}) {
    WriteBytes(path, "half a save");
    if (path.filename() != ".real.aaaaaaaa.tmp") Age(path);
  }
  for (const std::u16string text : {u"ab\r\n", u"\u8D26"}) {
    ASSERT_TRUE(SaveBook(QBook(), text).ok());
    EXPECT_TRUE(ReadBytes(data / "real") == Le(text));
    const Result<std::u16string> loaded = LoadBook(QBook());
    ASSERT_TRUE(loaded.ok()) << loaded.error().description;
    EXPECT_TRUE(loaded.value() == text);
    EXPECT_TRUE(fs::is_symlink(Book()));
    EXPECT_EQ(Entries(data), (std::vector<std::string>{".real.aaaaaaaa.tmp", "real"}));
    EXPECT_EQ(Entries(Dir()),
              (std::vector<std::string>{".book.cccccccc.tmp", "book", "data", "middle"}));
  }
}

TEST_F(BookTest, FifosAndPipesAndBooksThatChangeWhileReadAreToldApart) {
  // A pipe tells no length in advance: its length shows only once it has been read.
  int pipe_ends[2];
  ASSERT_EQ(pipe(pipe_ends), 0);
  ASSERT_EQ(write(pipe_ends[1], "abc", 3), 3);
  close(pipe_ends[1]);
  WriteBytes(Dir() / "busy", "abcd");
  ASSERT_EQ(mkfifo((Dir() / "fifo").c_str(), 0600), 0);
  // A writer that the FIFO waits for; a load that waited too would read what it writes.
  signal(SIGPIPE, SIG_IGN);
  std::thread writer([fifo = Dir() / "fifo"] {
    const int fd = open(fifo.c_str(), O_WRONLY);
    [[maybe_unused]] const ssize_t written = write(fd, "ab", 2);
    close(fd);
  });
  // Another program writes to the book during every read of it.
  const auto rewrite = [&] {
    const int fd = open((Dir() / "busy").c_str(), O_WRONLY);
    [[maybe_unused]] const ssize_t written = pwrite(fd, "dc", 2, 0);
    close(fd);
  };
  const std::tuple<fs::path, int32_t, std::string> cases[] = {
      {Dir() / "fifo", kErrFileAccess, "not a regular file"},
      {Dir() / "busy", kErrFileAccess, "another program changed it while it was being read"},
  };
  for (const auto& [path, number, reason] : cases) {
    if (path.filename() == "busy") before[Step::kRead] = rewrite;
    const Result<std::u16string> loaded = LoadBookFile(path);
    before.clear();
    ASSERT_FALSE(loaded.ok()) << path;
    EXPECT_EQ(loaded.error(), (Error{number, "Cannot read \"" + path.string() + "\": " + reason}));
  }
  // Only standard input may be a pipe; its odd length shows only once it has been read.
  EXPECT_EQ(
      ReadBook(pipe_ends[0], "<stdin>").error(),
      (Error{kErrBadFileLength,
             "Cannot read \"<stdin>\": its length (3 bytes) is odd, so it is not UTF-16 text"}));
  close(pipe_ends[0]);
  close(open((Dir() / "fifo").c_str(), O_RDONLY | O_NONBLOCK));  // lets the writer go
  writer.join();
  // A book that changed during one read only is read again.
  int reads = 0;
  before[Step::kRead] = [&] { reads++ == 0 ? rewrite() : void(); };
  WriteBytes(Dir() / "busy", "abcd");
  const Result<std::u16string> loaded = LoadBookFile(Dir() / "busy");
  ASSERT_TRUE(loaded.ok()) << loaded.error().description;
  EXPECT_EQ(loaded.value(), u"\u6364\u6463");
}

// Who saves which book in which folder, and what must come of it.
struct Keeping {
  std::string name;
  mode_t mode;  // the old book's (0: none)
  uid_t uid;
  gid_t gid;
  bool access_list;
  uid_t saver;  // root saves in this process; anyone else in a process of their own
  std::vector<gid_t> groups;
  mode_t folder_mode;
  gid_t folder_gid;
  mode_t mask;
  std::string outcome;  // "replaced", "in place", or why the save was refused
};

TEST_F(BookTest, KeepsOwnerGroupModeAndAccessListOrWritesInPlace) {
  const Keeping cases[] = {
      {"new book, umask 022", 0, 0, 0, false, 0, {}, 0755, 0, 022, "replaced"},
      {"new book, umask 077", 0, 0, 0, false, 0, {}, 0755, 0, 077, "replaced"},
      {"new book, umask 002", 0, 0, 0, false, 0, {}, 0755, 0, 002, "replaced"},
      {"another user's book saved by root",
       0640,
       4321,
       8765,
       false,
       0,
       {},
       0755,
       0,
       022,
       "replaced"},
      {"setgid book under umask 077", 02604, 4321, 8765, false, 0, {}, 0755, 0, 077, "replaced"},
      {"access list and attributes", 0660, 0, 0, true, 0, {}, 0755, 0, 022, "replaced"},
      {"root's book with no write permission",
       0444,
       0,
       0,
       false,
       0,
       {},
       0755,
       0,
       022,
       "it is read-only"},
      {"a shared book saved by a member of its group",
       0660,
       0,
       kStaff,
       false,
       kNobody,
       {kStaff},
       0775,
       kStaff,
       022,
       "in place"},
      {"own book in a group of the saver's",
       0660,
       kNobody,
       kStaff,
       false,
       kNobody,
       {kStaff},
       0775,
       kStaff,
       022,
       "replaced"},
      {"own book in a group the saver left",
       0660,
       kNobody,
       kStaff,
       false,
       kNobody,
       {},
       0777,
       0,
       022,
       "in place"},
      {"own book with an access list",
       0600,
       kNobody,
       kNogroup,
       true,
       kNobody,
       {},
       0777,
       0,
       022,
       "replaced"},
      {"a writable book in a folder that takes no new file",
       0666,
       0,
       0,
       true,
       kNobody,
       {},
       0755,
       0,
       022,
       "in place"},
      {"root's book in a folder anyone may write",
       0644,
       0,
       0,
       false,
       kNobody,
       {},
       0777,
       0,
       022,
       "it is read-only"},
      {"a new book in a folder that takes no new file",
       0,
       0,
       0,
       false,
       kNobody,
       {},
       0755,
       0,
       022,
       "Permission denied"},
  };
  const fs::path shelf = Dir() / "shelf", book = shelf / "book";
  for (const Keeping& c : cases) {
    SCOPED_TRACE(c.name);
    if (!kRoot && (c.saver != 0 || c.uid != 0 || c.access_list || c.mode == 0444)) continue;
    fs::remove_all(shelf);
    fs::create_directory(shelf);
    ASSERT_EQ(
        chown(shelf.c_str(), 0, c.folder_gid) == 0 && chmod(shelf.c_str(), c.folder_mode) == 0,
        true);
    if (c.mode != 0) {
      WriteBytes(book, "ab");
      ASSERT_EQ(chown(book.c_str(), c.uid, c.gid), 0);
      ASSERT_EQ(chmod(book.c_str(), c.mode), 0);
      if (c.access_list) {
        ASSERT_EQ(std::system(("setfacl -m u:1234:rw '" + book.string() + "'").c_str()), 0);
        ASSERT_EQ(setxattr(book.c_str(), "user.note", "kept", 4, 0), 0);
      }
    }
    struct stat old {};
    stat(book.c_str(), &old);
    const std::string access_list = Attribute(book, "system.posix_acl_access");
    const auto save = [&] {
      const mode_t previous = umask(c.mask);
      const Result<SaveReport> saved = SaveBookFile(book, u"x", {.history = History::kKeep});
      umask(previous);
      if (!saved) return saved.error().description;
      return std::string(saved.value().in_place ? "in place" : "replaced");
    };
    const std::string outcome = c.saver == 0 ? save() : RunAs(c.saver, kNogroup, c.groups, save);
    EXPECT_NE(outcome.find(c.outcome), outcome.npos) << outcome;
    struct stat now {};
    ASSERT_EQ(stat(book.c_str(), &now), c.mode == 0 && c.outcome != "replaced" ? -1 : 0);
    if (c.outcome != "replaced" && c.outcome != "in place") {
      EXPECT_EQ(ReadBytes(book), c.mode == 0 ? "" : "ab");
      continue;
    }
    EXPECT_EQ(ReadBytes(book), Le(u"x"));
    EXPECT_EQ(now.st_ino == old.st_ino, c.outcome == "in place");
    EXPECT_EQ(now.st_mode & 07777, c.mode != 0 ? old.st_mode & 07777 : 0666 & ~c.mask);
    EXPECT_EQ(now.st_uid, c.mode != 0 ? c.uid : c.saver);
    EXPECT_EQ(now.st_gid, c.mode != 0 ? c.gid : c.saver == 0 ? getegid() : kNogroup);
    EXPECT_EQ(Attribute(book, "system.posix_acl_access"), access_list);
    EXPECT_EQ(Attribute(book, "user.note"), c.access_list ? "kept" : "");
    // The replaced text is kept as privately as the book, by its owner where the saver may say so.
    const fs::path history = shelf / "book.history";
    struct stat folder {};
    if (c.mode == 0 || (stat(history.c_str(), &folder) != 0 && c.saver != 0)) continue;
    ASSERT_EQ(Entries(history).size(), 1u);
    EXPECT_EQ(ReadBytes(history / Entries(history)[0]), "ab");
    EXPECT_EQ(folder.st_uid, c.saver == 0 ? c.uid : c.saver);
    EXPECT_TRUE(folder.st_gid == c.gid || (folder.st_mode & 070) == 0) << folder.st_gid;
  }
}

TEST_F(BookTest, FailedSaveKeepsTheOldBookLeavesNoTemporaryFileAndCanBeRetried) {
  const fs::path shelf = Dir() / "shelf", book = shelf / "book", history = shelf / "book.history";
  ASSERT_TRUE(fs::create_directory(shelf));
  rlimit no_limit{};
  getrlimit(RLIMIT_FSIZE, &no_limit);
  const rlimit limit{64, no_limit.rlim_max};
  signal(SIGXFSZ, SIG_IGN);
  // Changes to make before a save and to undo after it.
  using Change = std::pair<std::function<void()>, std::function<void()>>;
  const Change limited{[&] { setrlimit(RLIMIT_FSIZE, &limit); },
                       [&] { setrlimit(RLIMIT_FSIZE, &no_limit); }},
      none{[] {}, [] {}};
  // No new file in the folder: the book is written over in place.
  const std::pair<Step, Failing> no_new_file{Step::kCreateUnnamed, {EACCES}};
  // {what goes wrong, the error that gives the reason, the steps that fail, a change}
  const std::tuple<std::string, int, std::map<Step, Failing>, Change> cases[] = {
      {"writing goes over the file size limit", EFBIG, {}, limited},
      {"the temporary file cannot be created", ENOSPC, {{Step::kCreateUnnamed, {ENOSPC}}}, none},
      {"the file system is read-only", EROFS, {{Step::kCreateUnnamed, {EROFS}}}, none},
      {"no unnamed file, and no named one",
       EIO,
       {{Step::kCreateUnnamed, {EOPNOTSUPP}}, {Step::kCreateTemp, {EIO}}},
       none},
      {"flushing the file fails", EIO, {{Step::kSyncFile, {EIO}}}, none},
      {"renaming fails, after the old text was kept", EIO, {{Step::kRename, {EIO}}}, none},
      {"there is no room to write in place",
       ENOSPC,
       {no_new_file, {Step::kReserve, {ENOSPC}}},
       none},
      {"writing in place goes over the file size limit", EFBIG, {no_new_file}, limited},
      // The rename has put the new book in place; only its durability is in doubt.
      {"flushing the folder fails (a warning)", EIO, {{Step::kSyncFolder, {EIO}}}, none},
  };
  const std::string old_bytes = Le(u"old book [1]\r\n#  (1.00) ,  1.00");
  const std::u16string text = u"账本 [2]\r\n" + std::u16string(50'000, u'x');
  const SaveOptions keep{.history = History::kKeep};
  for (const auto& [name, error, steps, change] : cases) {
    SCOPED_TRACE(name);
    fs::remove_all(history);
    WriteBytes(book, old_bytes);
    failing = steps;
    change.first();
    const Result<SaveReport> saved = SaveBookFile(book, text, keep);
    change.second();
    ASSERT_TRUE(failing.empty()) << "the save never reached a step";
    // Once the new book is in place, a failure is a warning and the save counts as done.
    const bool in_place = steps.contains(Step::kSyncFolder);
    ASSERT_EQ(saved.ok(), in_place);
    EXPECT_TRUE(in_place || saved.error().number == kErrFileAccess);
    const std::string why = in_place ? saved.value().warnings.at(0) : saved.error().description;
    EXPECT_TRUE(why.find(book.string()) != why.npos && why.find(std::strerror(error)) != why.npos)
        << why;
    EXPECT_TRUE(ReadBytes(book) == (in_place ? Le(text) : old_bytes));
    EXPECT_EQ(Entries(shelf).front(), "book");
    // Only a save that is done keeps the old text; a failed one leaves no version behind.
    EXPECT_EQ(fs::exists(history) ? Entries(history).size() : 0, in_place ? 1u : 0u);
    ASSERT_TRUE(SaveBookFile(book, text).ok());
    EXPECT_TRUE(ReadBytes(book) == Le(text));
  }
}

// A book saved again and again, and what its history must hold after each save.
struct Kept {
  std::string what;
  std::u16string text;
  History history;
  std::map<Step, Failing> steps;
  mode_t mode;         // the book's before the save
  bool kept;           // the replaced text is kept
  bool linked;         // by a link to the replaced file
  mode_t folder_mode;  // of the history folder
};

TEST_F(BookTest, VersionsAreAsPrivateAsTheBookWhetherLinkedOrCopied) {
  const fs::path history = Dir() / "book.history";
  const auto keep = History::kKeep;
  const Kept saves[] = {
      {"a new book replaces nothing", u"one", keep, {}, 0, false, false, 0},
      {"the replaced text is linked", u"two", keep, {}, 0640, true, true, 0750},
      {"where no link can be made, a copy",
       u"four",
       keep,
       {{Step::kLinkVersion, {EXDEV, -1}}},
       0604,
       true,
       false,
       0705},
      {"nor one more link",
       u"five",
       keep,
       {{Step::kLinkVersion, {EMLINK, -1}}},
       0664,
       true,
       false,
       0775},
      {"written in place, a copy",
       u"six",
       keep,
       {{Step::kCreateUnnamed, {EACCES}}},
       0600,
       true,
       false,
       0700},
  };
  std::u16string previous;
  size_t versions = 0;
  for (const Kept& save : saves) {
    SCOPED_TRACE(save.what);
    struct stat old {};
    if (stat(Book().c_str(), &old) == 0) {
      ASSERT_EQ(chmod(Book().c_str(), save.mode) | (kRoot ? chown(Book().c_str(), 0, kStaff) : 0),
                0);
    }
    failing = save.steps;
    const Result<SaveReport> saved = SaveBookFile(Book(), save.text, {.history = save.history});
    ASSERT_TRUE(saved.ok());
    ASSERT_TRUE(failing.empty() || failing.begin()->second.times < 0) << "a step never came";
    failing.clear();
    const fs::path kept = saved.value().kept_version;
    versions += save.kept;
    EXPECT_EQ(fs::exists(history) ? Entries(history).size() : 0, versions);
    ASSERT_EQ(!kept.empty(), save.kept);
    if (save.kept) {
      EXPECT_EQ(kept.parent_path(), history);
      EXPECT_TRUE(ReadBytes(kept) == Le(previous));
      struct stat version {
      }, folder{};
      ASSERT_EQ(stat(kept.c_str(), &version) | stat(history.c_str(), &folder), 0);
      EXPECT_EQ(version.st_ino == old.st_ino, save.linked);
      EXPECT_EQ(version.st_mode & 07777, save.mode);
      EXPECT_EQ(folder.st_mode & 07777, save.folder_mode);
      EXPECT_EQ(folder.st_gid, kRoot ? kStaff : getegid());
      EXPECT_EQ(version.st_gid, kRoot ? kStaff : getegid());
    }
    previous = save.text;
  }
}

// A process saves three texts in turn until it is killed with SIGKILL at a random moment; the
// book must then hold the last text it finished or the one under way, whole. Killed saves leave
// no temporary file, or, when killed just as it got its name, one that a later save removes.
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
  constexpr int kKills = 200;
  for (int kill_number = 0; kill_number < kKills; ++kill_number) {
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
  const std::vector<std::string> left = Entries(Dir());
  EXPECT_LT(left.size(), 1 + kKills / 20) << "temporary files piled up";
  for (const std::string& name : left) Age(Dir() / name);
  ASSERT_TRUE(SaveBookFile(Book(), texts[0]).ok());
  EXPECT_EQ(Entries(Dir()), std::vector<std::string>{"book"});
}

// The unprivileged user opens every file that appears beside a private book during its saves,
// the moment it appears, keeps it open and reads it once the saves are over.
TEST_F(BookTest, NewTextIsPrivateFromTheFirstMoment) {
  if (!kRoot) GTEST_SKIP() << "needs root to watch as another user";
  const std::u16string text = Repeat(u"private [1]\r\n", 20'000);
  for (const bool unnamed : {true, false}) {
    SCOPED_TRACE(unnamed ? "unnamed temporary file" : "named temporary file");
    WriteBytes(Book(), "ab");
    chmod(Book().c_str(), 0600);
    int ready[2], stop[2];
    ASSERT_EQ(pipe(ready) | pipe(stop), 0);
    int saved = 0;
    std::thread saver([&] {
      char go;
      if (::read(ready[0], &go, 1) == 1) {
        if (!unnamed) failing[Step::kCreateUnnamed] = {EOPNOTSUPP, -1};
        for (int i = 0; i < 100; ++i) saved += SaveBookFile(Book(), text).ok();
        failing.clear();
      }
      close(stop[1]);
    });
    const std::string leaked = RunAs(kNobody, kNogroup, {}, [&] {
      const int watch = inotify_init1(IN_CLOEXEC);
      inotify_add_watch(watch, Dir().c_str(), IN_CREATE | IN_MOVED_TO);
      close(ready[0]), close(stop[1]);
      [[maybe_unused]] const ssize_t told = write(ready[1], "!", 1);
      std::vector<int> opened;
      alignas(inotify_event) char events[8192];
      for (pollfd fds[2] = {{watch, POLLIN, 0}, {stop[0], POLLIN, 0}}; poll(fds, 2, -1) > 0;) {
        if (fds[1].revents != 0) break;
        const ssize_t got = ::read(watch, events, sizeof events);
        for (ssize_t at = 0; at < got;) {
          const auto* event = reinterpret_cast<const inotify_event*>(events + at);
          const int fd = open((Dir() / event->name).c_str(), O_RDONLY);
          if (fd >= 0) opened.push_back(fd);
          at += sizeof(inotify_event) + event->len;
        }
      }
      int readable = 0;
      for (int fd : opened) readable += pread(fd, events, 2, 0) > 0;
      return std::to_string(readable);
    });
    saver.join();
    close(ready[0]), close(ready[1]), close(stop[0]);
    EXPECT_EQ(saved, 100);
    EXPECT_EQ(leaked, "0") << "files the other user could read";
  }
}

TEST_F(BookTest, LinksInSharedFoldersAreFollowedOnlyWhenTheirMakerMayBeTrusted) {
  if (!kRoot) GTEST_SKIP() << "needs root to make links as another user";
  const fs::path shared = Dir() / "shared", secret = Dir() / "secret";
  // {the shared folder's mode and owner, who made the link, whether a save follows it}
  const std::tuple<mode_t, uid_t, uid_t, bool> cases[] = {
      {01777, 0, kNobody, false}, {01777, 0, 0, true},       {01777, kNobody, kNobody, true},
      {0777, 0, kNobody, true},   {01775, 0, kNobody, true},
  };
  for (const auto& [mode, owner, maker, followed] : cases) {
    SCOPED_TRACE(::testing::Message() << std::oct << mode << " by " << std::dec << maker);
    fs::remove_all(shared);
    fs::create_directory(shared);
    ASSERT_EQ(chown(shared.c_str(), owner, kNogroup) | chmod(shared.c_str(), mode), 0);
    WriteBytes(secret, "root's");
    RunAs(maker, kNogroup, {},
          [&] { return std::to_string(symlink(secret.c_str(), (shared / "x.book").c_str())); });
    // Reached straight, or through a trusted link elsewhere.
    fs::remove(Dir() / "elsewhere");
    fs::create_symlink(shared / "x.book", Dir() / "elsewhere");
    for (const fs::path& path : {shared / "x.book", Dir() / "elsewhere"}) {
      const Result<FileFacts> facts = InspectFile(path);
      const Result<SaveReport> saved = SaveBookFile(path, u"x");
      EXPECT_EQ(saved.ok(), followed);
      EXPECT_EQ(facts.ok(), followed);
      EXPECT_EQ(ReadBytes(secret), followed ? Le(u"x") : "root's");
      if (!followed) {
        EXPECT_EQ(saved.error().description, "Cannot save \"" + path.string() +
                                                 "\": it is a symbolic link that another user "
                                                 "made in the shared folder \"" +
                                                 shared.string() +
                                                 "\", and such links are not "
                                                 "followed");
      }
      WriteBytes(secret, "root's");
    }
  }
}

TEST(BookViewTest, TellsThatAnotherProgramChangedTheBookAndNeverDiesOfIt) {
  QTemporaryDir dir;
  const fs::path book = fs::path(dir.path().toStdString()) / "book";
  const std::u16string text = Repeat(u"账本 [1]\r\n", 100'000);
  // {what another program does to the book once it is open, the length it then has}
  const std::pair<std::string, size_t> cases[] = {
      {"", text.size()},
      {"truncate -s 4 book", 2},
      {"truncate -s 0 book", 0},
      {"printf xy | dd of=book bs=1 seek=6 conv=notrunc status=none", text.size()},
      {"printf xy >>book", text.size() + 1},
      {"cp book copy && mv copy book", text.size()},
      {"touch book", text.size()},
  };
  for (const auto& [command, units] : cases) {
    SCOPED_TRACE(command);
    WriteBytes(book, Le(text));
    const Result<BookView> view = BookView::Open(book);
    ASSERT_TRUE(view.ok());
    const std::string run = "cd '" + dir.path().toStdString() + "' && " + command;
    ASSERT_EQ(std::system(command.empty() ? "true" : run.c_str()), 0);
    // What was cut off reads as zeros.
    const std::u16string_view seen = view.value().text();
    const auto sum = std::accumulate(seen.begin(), seen.end(), uint64_t{0});
    const auto cut =
        std::accumulate(seen.begin() + std::min(units, seen.size()), seen.end(), uint64_t{0});
    EXPECT_EQ(sum > 0, units > 0);
    EXPECT_EQ(cut, 0u);
    const Status unchanged = view.value().Unchanged();
    EXPECT_EQ(unchanged.ok(), command.empty());
    EXPECT_TRUE(unchanged.ok() || unchanged.error() == ChangedError(book.string()));
  }
}

TEST(BookLocationTest, ReadsTheUsersFoldersFromTheEnvironmentOrThePasswordDatabase) {
  const passwd* user = getpwuid(getuid());
  ASSERT_NE(user, nullptr);
  const std::string own_home = user->pw_dir;
  const struct {
    const char* xdg_data_home;  // nullptr: unset
    const char* home;
    UserFolders expected;
  } cases[] = {
      {"/x/data", "/x/home", {"/x/data", "/x/home"}},
      {nullptr, "/x/home", {"", "/x/home"}},
      {"/x/data", nullptr, {"/x/data", own_home}},
      {nullptr, "", {"", own_home}},
  };
  const auto saved = [](const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
  };
  const auto restore = [](const char* name, const std::optional<std::string>& value) {
    value ? setenv(name, value->c_str(), 1) : unsetenv(name);
  };
  const std::optional<std::string> saved_home = saved("HOME"), saved_data = saved("XDG_DATA_HOME");
  for (const auto& c : cases) {
    restore("XDG_DATA_HOME",
            c.xdg_data_home ? std::optional<std::string>(c.xdg_data_home) : std::nullopt);
    restore("HOME", c.home ? std::optional<std::string>(c.home) : std::nullopt);
    const UserFolders got = CurrentUserFolders();
    EXPECT_EQ(got.xdg_data_home, c.expected.xdg_data_home);
    EXPECT_EQ(got.home, c.expected.home);
  }
  restore("HOME", saved_home);
  restore("XDG_DATA_HOME", saved_data);
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
