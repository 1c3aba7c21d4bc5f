// What only POSIX systems have: links, owners, groups, modes and access lists, other users and
// signals.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <random>
#include <thread>

#include "storage/book.h"
#include "test_files.h"
#include "test_platform.h"
#include "test_posix.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;

const bool kRoot = geteuid() == 0;

std::string Attribute(const fs::path& path, const char* name) {
  char value[1024];
  const ssize_t size = getxattr(path.c_str(), name, value, sizeof value);
  return size < 0 ? "" : std::string(value, size);
}

// Books in a folder whose name is not ASCII, as a user's may well be, that anyone may reach.
class BookTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::create_directory(Dir()));
    fs::permissions(dir_.path().toStdString(), fs::perms(0755));
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

TEST_F(BookTest, BooksThatChangeWhileReadAreReadAgainOrRefused) {
  const fs::path busy = Dir() / "busy";
  // Another program writes to the book during every read of it, or during the first one only.
  for (const int rewrites : {1000, 1}) {
    WriteBytes(busy, "abcd");
    int reads = 0;
    before[Step::kRead] = [&] {
      if (reads++ < rewrites) std::fstream(busy, std::ios::in | std::ios::out) << "dc";
    };
    const Result<std::u16string> loaded = LoadBookFile(busy);
    before.clear();
    EXPECT_TRUE(rewrites == 1 ? loaded.ok() && loaded.value() == u"\u6364\u6463"
                              : loaded.error() == ChangedError(busy.string()));
  }
}

// Who saves which book in which folder, and what must come of it.
struct Keeping {
  std::string name;
  mode_t mode;  // the old book's (0: none)
  uid_t uid;
  gid_t gid;
  uid_t saver;  // root saves in this process; anyone else in a process of their own
  std::vector<gid_t> groups;
  mode_t folder_mode;
  gid_t folder_gid;
  std::string outcome;  // kReplaced, kInPlace, or why the save was refused
  bool access_list = false;
  mode_t mask = 022;
};
constexpr char kReplaced[] = "replaced", kInPlace[] = "in place", kReadOnly[] = "it is read-only";

TEST_F(BookTest, KeepsOwnerGroupModeAndAccessListOrWritesInPlace) {
  const Keeping cases[] = {
      {"new book, umask 077", 0, 0, 0, 0, {}, 0755, 0, kReplaced, false, 077},
      {"new book, umask 002", 0, 0, 0, 0, {}, 0755, 0, kReplaced, false, 002},
      {"another user's book saved by root", 0640, 4321, 8765, 0, {}, 0755, 0, kReplaced},
      {"setgid book under umask 077", 02604, 4321, 8765, 0, {}, 0755, 0, kReplaced, false, 077},
      {"access list and attributes", 0660, 0, 0, 0, {}, 0755, 0, kReplaced, true},
      {"shared, saved by its group", 0660, 0, kStaff, kNobody, {kStaff}, 0775, kStaff, kInPlace},
      {"own, in its group", 0660, kNobody, kStaff, kNobody, {kStaff}, 0775, kStaff, kReplaced},
      {"own, in a group the saver left", 0660, kNobody, kStaff, kNobody, {}, 0777, 0, kInPlace},
      {"own, with an access list", 0600, kNobody, kNogroup, kNobody, {}, 0777, 0, kReplaced, true},
      {"root's, in a folder anyone may write", 0644, 0, 0, kNobody, {}, 0777, 0, kReadOnly},
      {"new, folder takes no new file", 0, 0, 0, kNobody, {}, 0755, 0, "Permission denied"},
  };
  const fs::path shelf = Dir() / "shelf", book = shelf / "book";
  for (const Keeping& c : cases) {
    SCOPED_TRACE(c.name);
    if (!kRoot && (c.saver != 0 || c.uid != 0 || c.access_list)) continue;
    fs::remove_all(shelf);
    fs::create_directory(shelf);
    ASSERT_EQ(chown(shelf.c_str(), 0, c.folder_gid) | chmod(shelf.c_str(), c.folder_mode), 0);
    if (c.mode != 0) {
      WriteBytes(book, "ab");
      ASSERT_EQ(chown(book.c_str(), c.uid, c.gid) | chmod(book.c_str(), c.mode), 0);
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
      return std::string(saved.value().in_place ? kInPlace : kReplaced);
    };
    const std::string outcome = c.saver == 0 ? save() : RunAs(c.saver, kNogroup, c.groups, save);
    EXPECT_NE(outcome.find(c.outcome), outcome.npos) << outcome;
    struct stat now {};
    ASSERT_EQ(stat(book.c_str(), &now), c.mode == 0 && c.outcome != kReplaced ? -1 : 0);
    if (c.outcome != kReplaced && c.outcome != kInPlace) {
      EXPECT_EQ(ReadBytes(book), c.mode == 0 ? "" : "ab");
      continue;
    }
    EXPECT_EQ(ReadBytes(book), Le(u"x"));
    EXPECT_EQ(now.st_ino == old.st_ino, c.outcome == kInPlace);
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
    const fs::path kept = history / Entries(history)[0];
    struct stat version {};
    ASSERT_EQ(stat(kept.c_str(), &version), 0);
    EXPECT_EQ(ReadBytes(kept), "ab");
    EXPECT_EQ(folder.st_uid, c.saver == 0 ? c.uid : c.saver);
    // A copy, made for a book written in place, is no less private than the book.
    for (const struct stat& made : {folder, version}) {
      EXPECT_TRUE(made.st_gid == c.gid || (made.st_mode & 070) == 0) << made.st_gid;
    }
  }
}

// A saver is killed with SIGKILL at random moments: the book must hold the last text it finished or
// the one under way, whole, and what killed saves leave behind a later save removes.
TEST_F(BookTest, KilledSavesLeaveTheLastOrTheNextBookWhole) {
  using Clock = std::chrono::steady_clock;
  // Texts of different lengths that differ at every code unit, so that any mix of them shows.
  const std::u16string texts[3] = {Repeat(u"ABCDEFGHIJKLMNOPQRSTUVWXYZ", 5000),
                                   Repeat(u"账本記", 60'000), Repeat(u"0123456789", 14'000)};
  // Kills are spread over about two saves' time after the saver is ready, or, for every other
  // kill, after its first finished save, so that a finished save is seen however slow the machine.
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(SaveBookFile(Book(), texts[i % 3]).ok());
  std::uniform_int_distribution<Clock::rep> moment(0, (Clock::now() - start).count() / 2);
  std::mt19937 random(20240607);
  // How many saves the saver has finished, -1 until it is ready; shared with it.
  auto* saves =
      static_cast<std::atomic<int>*>(mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE,
                                          MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  // A failed save ends any wait at once; the saver's exit status then tells of it.
  constexpr int kFailed = 1 << 30;
  int current = 0;
  constexpr int kKills = 200;
  for (int kill_number = 0; kill_number < kKills; ++kill_number) {
    saves->store(-1);
    const pid_t child = fork();
    if (child == 0) {
      saves->store(0);
      for (int n = 0; SaveBookFile(Book(), texts[(current + 1 + n) % 3]).ok();) saves->store(++n);
      saves->store(kFailed);
      _exit(3);
    }
    while (saves->load() < kill_number % 2) std::this_thread::yield();
    std::this_thread::sleep_for(Clock::duration(moment(random)));
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "a save failed";
    const Result<std::u16string> loaded = LoadBookFile(Book());
    ASSERT_TRUE(loaded.ok()) << loaded.error().description;
    const int last = (current + saves->load()) % 3, next = (last + 1) % 3;
    current = loaded.value() == texts[last] ? last : next;
    ASSERT_TRUE(loaded.value() == texts[current])
        << "kill " << kill_number << ": " << loaded.value().size() << " code units";
  }
  const std::vector<std::string> left = Entries(Dir());
  EXPECT_LT(left.size(), 1 + kKills / 20) << "temporary files piled up";
  for (const std::string& name : left) Age(Dir() / name);
  ASSERT_TRUE(SaveBookFile(Book(), texts[0]).ok());
  EXPECT_EQ(Entries(Dir()), std::vector<std::string>{"book"});
}

// The unprivileged user opens every file that appears beside a private book during its saves,
// the moment it appears, keeps it open and reads it once the saves are over ("done" appears).
TEST_F(BookTest, NewTextIsPrivateFromTheFirstMoment) {
  if (!kRoot) GTEST_SKIP() << "needs root to watch as another user";
  const std::u16string text = Repeat(u"private [1]\r\n", 20'000);
  for (const bool unnamed : {true, false}) {
    SCOPED_TRACE(unnamed ? "unnamed temporary file" : "named temporary file");
    WriteBytes(Book(), "ab");
    chmod(Book().c_str(), 0600);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    int saved = 0;
    std::thread saver([&] {
      char go;
      if (::read(ready[0], &go, 1) == 1) {
        if (!unnamed) failing[Step::kCreateUnnamed] = {EOPNOTSUPP, -1};
        for (int i = 0; i < 100; ++i) saved += SaveBookFile(Book(), text).ok();
        failing.clear();
      }
      WriteBytes(Dir() / "done", "");
    });
    const std::string leaked = RunAs(kNobody, kNogroup, {}, [&] {
      const int watch = inotify_init1(IN_CLOEXEC);
      inotify_add_watch(watch, Dir().c_str(), IN_CREATE | IN_MOVED_TO);
      [[maybe_unused]] const ssize_t told = write(ready[1], "!", 1);
      std::vector<int> opened;
      alignas(inotify_event) char events[8192];
      for (bool done = false; !done;) {
        const ssize_t got = ::read(watch, events, sizeof events);
        done = got <= 0;
        for (ssize_t at = 0; at < got;) {
          const auto* event = reinterpret_cast<const inotify_event*>(events + at);
          done |= event->name == std::string("done");
          const int fd = open((Dir() / event->name).c_str(), O_RDONLY);
          if (fd >= 0) opened.push_back(fd);
          at += sizeof(inotify_event) + event->len;
        }
      }
      int readable = 0;
      for (int fd : opened) readable += pread(fd, events, 2, 0) > 0;
      return std::to_string(readable);
    });
    close(ready[1]);
    saver.join();
    close(ready[0]);
    fs::remove(Dir() / "done");
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
      EXPECT_TRUE(followed || saved.error().description ==
                                  "Cannot save \"" + path.string() +
                                      "\": it is a symbolic link that another user made in the "
                                      "shared folder \"" +
                                      shared.string() + "\", and such links are not followed");
      WriteBytes(secret, "root's");
    }
  }
}

// Where the running program keeps its book is seen by running it (tests/ui/app_test.cpp).
TEST(BookPathTest, JoinsTheFolderWithoutNormalisingIt) { EXPECT_EQ(BookPathIn("/"), "//book"); }

}  // namespace
}  // namespace tallivan
