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
#include <ctime>
#include <fstream>
#include <random>
#include <thread>

#include "storage/book.h"
#include "storage/history.h"
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
  std::string outcome;         // kReplaced, kInPlace, or why the save was refused
  std::string access_list;     // entries setfacl gives the book, which then gets an attribute too
  std::string folder_default;  // entries of the folder's default access list
  mode_t mask = 022;
};
constexpr char kReplaced[] = "replaced", kInPlace[] = "in place", kReadOnly[] = "it is read-only";

TEST_F(BookTest, KeepsOwnerGroupModeAndAccessListOrWritesInPlace) {
  const std::string acl = "u:1234:rw", inherit = "u:1234:rwx";
  const Keeping cases[] = {
      {"new book, umask 077", 0, 0, 0, 0, {}, 0755, 0, kReplaced, "", "", 077},
      {"new book, umask 002", 0, 0, 0, 0, {}, 0755, 0, kReplaced, "", "", 002},
      {"another user's book saved by root", 0640, 4321, 8765, 0, {}, 0755, 0, kReplaced},
      {"setgid book under umask 077", 02604, 4321, 8765, 0, {}, 0755, 0, kReplaced, "", "", 077},
      {"access list and attributes", 0660, 0, 0, 0, {}, 0755, 0, kReplaced, acl},
      {"shared, saved by its group", 0660, 0, kStaff, kNobody, {kStaff}, 0775, kStaff, kInPlace},
      {"own, in its group", 0660, kNobody, kStaff, kNobody, {kStaff}, 0775, kStaff, kReplaced},
      {"own, in a group the saver left", 0660, kNobody, kStaff, kNobody, {}, 0777, 0, kInPlace},
      {"own, with an access list", 0600, kNobody, kNogroup, kNobody, {}, 0777, 0, kReplaced, acl},
      // Shared with the one user its access list names, and saved by them.
      {"shared by access list", 0600, kNobody, kStaff, 1234, {kStaff}, 01777, 0, kInPlace, acl},
      // Nothing the folder's default would give a new file goes to the book or its history.
      {"folder default list", 0640, 0, 0, 0, {}, 0755, 0, kReplaced, "", inherit},
      {"in place, too", 0660, 0, kStaff, kNobody, {kStaff}, 0775, kStaff, kInPlace, "", inherit},
      {"root's, in a folder anyone may write", 0644, 0, 0, kNobody, {}, 0777, 0, kReadOnly},
      {"new, folder takes no new file", 0, 0, 0, kNobody, {}, 0755, 0, "Permission denied"},
  };
  // Users besides the saver, and their groups, who may read the history only where they may read
  // the book.
  const std::pair<uid_t, std::vector<gid_t>> others[] = {{1234, {}}, {1503, {kStaff}}, {1504, {}}};
  const fs::path shelf = Dir() / "shelf", book = shelf / "book";
  const auto setfacl = [](const std::string& options, const fs::path& path) {
    return std::system(("setfacl " + options + " '" + path.string() + "'").c_str());
  };
  for (const Keeping& c : cases) {
    SCOPED_TRACE(c.name);
    if (!kRoot &&
        (c.saver != 0 || c.uid != 0 || !c.access_list.empty() || !c.folder_default.empty())) {
      continue;
    }
    fs::remove_all(shelf);
    fs::create_directory(shelf);
    ASSERT_EQ(chown(shelf.c_str(), 0, c.folder_gid) | chmod(shelf.c_str(), c.folder_mode), 0);
    if (c.mode != 0) {
      WriteBytes(book, "ab");
      ASSERT_EQ(chown(book.c_str(), c.uid, c.gid) | chmod(book.c_str(), c.mode), 0);
      if (!c.access_list.empty()) {
        ASSERT_EQ(setfacl("-m " + c.access_list, book), 0);
        ASSERT_EQ(setxattr(book.c_str(), "user.note", "kept", 4, 0), 0);
      }
    }
    if (!c.folder_default.empty()) ASSERT_EQ(setfacl("-d -m " + c.folder_default, shelf), 0);
    struct stat old {};
    stat(book.c_str(), &old);
    const std::string access_list = Attribute(book, "system.posix_acl_access");
    std::u16string text = u"x";
    const auto save = [&] {
      const mode_t previous = umask(c.mask);
      const Result<SaveReport> saved = SaveBookFile(book, text, {.history = History::kKeep});
      umask(previous);
      if (!saved) return saved.error().description;
      if (saved.value().history_not_kept) return *saved.value().history_not_kept;
      return std::string(saved.value().in_place ? kInPlace : kReplaced);
    };
    const auto save_as_saver = [&] {
      return c.saver == 0 ? save() : RunAs(c.saver, kNogroup, c.groups, save);
    };
    const std::string outcome = save_as_saver();
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
    EXPECT_EQ(Attribute(book, "user.note"), c.access_list.empty() ? "" : "kept");
    // The replaced text is kept as privately as the book, by its owner where the saver may say so.
    const fs::path history = shelf / "book.history";
    struct stat folder {};
    if (c.mode == 0 || (stat(history.c_str(), &folder) != 0 && c.saver != 0)) continue;
    ASSERT_EQ(Entries(history).size(), 1u);
    const fs::path kept = history / Entries(history)[0];
    EXPECT_EQ(ReadBytes(kept), "ab");
    EXPECT_EQ(folder.st_uid, c.saver == 0 ? c.uid : c.saver);
    // Whoever may not read the book may neither read the version nor list the folder.
    for (const auto& [uid, groups] : others) {
      if (uid == c.saver) continue;
      const std::string may = RunAs(uid, uid, groups, [&] {
        std::string may;
        for (const auto& [path, mode] : {std::pair(book, R_OK), {kept, R_OK}, {history, R_OK}}) {
          may += access(path.c_str(), mode) == 0 ? 'y' : 'n';
        }
        return may;
      });
      EXPECT_TRUE(may[0] == 'y' || may == "nnn")
          << "book, version, folder to " << uid << ": " << may;
    }
    // The saver's next save keeps its text beside the first.
    text = u"y";
    EXPECT_EQ(save_as_saver(), c.outcome);
    EXPECT_EQ(Entries(history).size(), 2u);
  }
}

// The owner saves a private book in a folder anyone may write, beside a history folder made
// before as the row says (by the owner or a stranger, through the shell).
TEST_F(BookTest, AHistoryFolderIsUsedOnlyWhenItIsTheOwnersAndNobodyElseMayChangeIt) {
  if (!kRoot) GTEST_SKIP() << "needs root to act as other users";
  const fs::path shelf = Dir() / "shelf", book = shelf / "book", history = shelf / "book.history";
  const fs::path docs = Dir() / "docs", moved = shelf / "moved";
  const std::string forged = "2099-01-01_000000.book";
  const std::string recent = VersionName({static_cast<int64_t>(std::time(nullptr)) - 3600, 1});
  const std::string others = "others who may not change the book may change what is in it";
  const struct {
    std::string what;
    uid_t maker;
    std::string made;      // shell commands run in the shelf
    std::string refused;   // why the history is not kept; empty: it is
    bool swapped = false;  // the folder becomes a link to `docs` just before the book is replaced
  } cases[] = {
      {"another user's, open to all, holding a forgery", kStranger,
       "mkdir -m 777 book.history && echo forged >book.history/" + forged,
       "it belongs to another user"},
      {"another user's link in its place", kStranger,
       "mkdir -m 777 ../elsewhere && ln -s ../elsewhere book.history", "it is a symbolic link"},
      {"the owner's, but others of its group may change it", kOwner, "mkdir -m 770 book.history",
       others},
      {"the owner's, with an access list that lets a stranger change it", kOwner,
       "mkdir -m 700 book.history && setfacl -m u:1502:rwx book.history", others},
      {"the owner's, which others may read: it is made private", kOwner,
       "mkdir -m 755 book.history && cp book book.history/" + recent, ""},
      {"the owner's, for a book with a second name, which keeps its text", kOwner,
       "mkdir -m 700 book.history && ln book ../second && cp book book.history/" + recent, ""},
      {"the owner's, swapped for a link to another of the owner's folders", kOwner,
       "mkdir -m 700 book.history ../docs && cp book book.history/" + recent +
           " && for day in 11 12 13 14 15; do cp book ../docs/2020-01-${day}_000000.book; done",
       "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (const fs::path& path : {shelf, docs, Dir() / "elsewhere", Dir() / "second"}) {
      fs::remove_all(path);
    }
    fs::create_directory(shelf);
    ASSERT_EQ(chmod(shelf.c_str(), 01777), 0);
    WriteBytes(book, "old");
    ASSERT_EQ(chown(book.c_str(), kOwner, kOwner) | chmod(book.c_str(), 0600), 0);
    chmod(Dir().c_str(), 0777);
    ASSERT_EQ(RunAs(c.maker, c.maker, {},
                    [&] {
                      return std::to_string(
                          std::system(("cd '" + shelf.string() + "' && " + c.made).c_str()));
                    }),
              "0");
    chmod(Dir().c_str(), 0755);
    const auto held = [&] {
      std::vector<std::string> files = Entries(history);
      for (std::string& name : files) name += ": " + ReadBytes(history / name);
      return files;
    };
    const std::vector<std::string> before_save = held();
    const std::string said = RunAs(kOwner, kOwner, {}, [&] {
      if (c.swapped) {
        before[Step::kRename] = [&] {
          fs::rename(history, moved), fs::create_symlink(docs, history);
        };
      }
      const Result<SaveReport> saved = SaveBookFile(book, u"new", {.history = History::kKeep});
      before.clear();
      const Result<std::vector<Version>> listed = ListVersions(book);
      const Result<std::u16string> forgery = LoadVersion(book, forged);
      return (saved ? saved.value().history_not_kept.value_or("kept") : saved.error().description) +
             " | " + (listed ? std::to_string(listed.value().size()) : listed.error().description) +
             " | " + std::to_string(forgery ? 0 : Code(forgery.error().number));
    });
    EXPECT_EQ(ReadBytes(book), Le(u"new"));
    if (!c.refused.empty()) {
      // Neither kept, nor listed, nor read, nor changed.
      EXPECT_EQ(said.find(PathUtf8(history) + "\": " + c.refused), 1u) << said;
      EXPECT_NE(said.find(" | Cannot read the history of "), said.npos) << said;
      EXPECT_TRUE(said.ends_with(" | 75")) << said;
      EXPECT_EQ(held(), before_save);
      continue;
    }
    EXPECT_EQ(said, c.swapped ? "kept | Cannot read the history of \"" + PathUtf8(book) +
                                    "\" in \"" + PathUtf8(history) +
                                    "\": it is a symbolic link, which is not followed here | 75"
                              : "kept | 2 | 53");
    // The versions go into the folder that was checked, and nothing else is touched.
    const fs::path kept = c.swapped ? moved : history;
    EXPECT_EQ(Entries(kept).size(), 2u);
    EXPECT_TRUE(HasMode(kept, 0700));
    EXPECT_EQ(ReadBytes(kept / recent), "old");
    EXPECT_EQ(Entries(docs).size(), c.swapped ? 5u : 0u);
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
  if (!kRoot) GTEST_SKIP() << "needs root to make links as other users";
  // The owner's private folder and file, which links in a shared folder lead to.
  const fs::path shared = Dir() / "shared", secret = Dir() / "private" / "secret";
  fs::create_directory(secret.parent_path());
  ASSERT_EQ(chown(secret.parent_path().c_str(), kOwner, kOwner), 0);
  // {the shared folder's mode, who made the link in it (nobody owns the folder), whether the
  // owner's save follows it}
  const std::tuple<mode_t, uid_t, bool> cases[] = {
      {01777, kStranger, false}, {01777, kOwner, true},    {01777, kNobody, true},
      {0777, kStranger, true},   {01775, kStranger, true},
  };
  // The link is the last component of the saved path, or a folder on it; reached straight, or
  // through a link of root's elsewhere, which anyone may follow: {the link, where it leads, the
  // paths saved to}.
  const fs::path elsewhere = Dir() / "elsewhere";
  const std::tuple<std::string, fs::path, std::vector<fs::path>> links[] = {
      {"x.book", secret, {shared / "x.book", elsewhere}},
      {"reports", secret.parent_path(), {shared / "reports" / "secret", elsewhere / "secret"}},
  };
  for (const auto& [mode, maker, followed] : cases) {
    for (const auto& [link, target, paths] : links) {
      SCOPED_TRACE(::testing::Message()
                   << std::oct << mode << " by " << std::dec << maker << ", through " << link);
      fs::remove_all(shared);
      fs::create_directory(shared);
      ASSERT_EQ(chown(shared.c_str(), kNobody, kNogroup) | chmod(shared.c_str(), mode), 0);
      WriteBytes(secret, "owner's");
      ASSERT_EQ(chown(secret.c_str(), kOwner, kOwner), 0);
      ASSERT_EQ(
          RunAs(maker, kNogroup, {},
                [&] { return std::to_string(symlink(target.c_str(), (shared / link).c_str())); }),
          "0");
      fs::remove(elsewhere);
      fs::create_symlink(shared / link, elsewhere);
      for (const fs::path& path : paths) {
        const std::string said = RunAs(kOwner, kOwner, {}, [&] {
          const Result<FileFacts> facts = InspectFile(path);
          const Result<SaveReport> saved = SaveBookFile(path, u"x");
          return std::to_string(facts.ok()) + (saved ? "" : saved.error().description);
        });
        EXPECT_EQ(said, followed ? "1"
                                 : "0Cannot save \"" + path.string() +
                                       "\": it is a symbolic link that another user made in the "
                                       "shared folder \"" +
                                       shared.string() + "\", and such links are not followed");
        EXPECT_EQ(ReadBytes(secret), followed ? Le(u"x") : "owner's");
        WriteBytes(secret, "owner's");
      }
    }
  }
}

// Where the running program keeps its book is seen by running it (tests/ui/app_test.cpp).
TEST(BookPathTest, JoinsTheFolderWithoutNormalisingIt) { EXPECT_EQ(BookPathIn("/"), "//book"); }

}  // namespace
}  // namespace tallivan
