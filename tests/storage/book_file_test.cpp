// The book file on every system: saving, loading, the history, locks and fresh files, in a folder
// whose name is not ASCII, as a user's folder may well be.
#include "storage/book_file.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <tuple>

#include "storage/book_lock.h"
#include "storage/fresh_file.h"
#include "storage/history.h"
#include "test_files.h"
#include "test_platform.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;

constexpr char kFolderReason[] = "Is a directory";

// Makes `path` look as if it had last been written an hour ago.
void Age(const fs::path& path) {
  fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(1));
}

bool IsReadOnly(const fs::path& path) {
  return (fs::status(path).permissions() & fs::perms::owner_write) == fs::perms::none;
}

class BookFileTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(fs::create_directory(Dir())); }
  fs::path Dir() const { return dir_.path() / Utf8Path("账本 2024"); }
  fs::path Book() const { return Dir() / "book"; }

  TempDir dir_;
};

TEST_F(BookFileTest, SavesRawUtf16LeOverAnyOldBookAndLoadsItBack) {
  std::u16string every_unit;
  for (uint32_t unit = 0; unit <= 0xFFFF; ++unit) every_unit.push_back(static_cast<char16_t>(unit));
  const std::pair<std::u16string, std::string> cases[] = {
      {u"ab\r\n", std::string("a\0b\0\r\0\n\0", 8)},
      {u"\u8D26", "\x26\x8D"},
      {u"\uFEFFx", std::string("\xFF\xFEx\0", 4)},  // not taken for a byte-order mark
      {u"abc", std::string("a\0b\0c\0", 6)},
      {u"", ""},
      {u"\u6261\u6463", "abcd"},  // what an 8-bit file of even length loads as
      {u"\xDC00 x\xD800", std::string("\0\xDC \0x\0\0\xD8", 8)},         // unpaired surrogates
      {u"a\rb\nc\u2028", std::string("a\0\r\0b\0\n\0c\0\x28\x20", 12)},  // lone line ends
      {every_unit, Le(every_unit)},
  };
  // Killed saves left temporary files beside the book: a save removes those of its book that are
  // old and that no process holds, and no other file.
  for (const char* name : {".book.aaaaaaaa.tmp", ".book.bbbbbbbb.tmp", ".book.cccccccc.tmp",
                           ".other.dddddddd.tmp", ".book.eeee.tmp"}) {
    WriteBytes(Dir() / name, "half a save");
    if (name[6] != 'a') Age(Dir() / name);
  }
  const HeldOpen held(Dir() / ".book.cccccccc.tmp");
  for (const auto& [text, bytes] : cases) {
    WriteBytes(Book(), std::string(100, 'o'));
    const Result<SaveReport> saved = SaveBookFile(Book(), text);
    ASSERT_TRUE(saved.ok()) << saved.error().description;
    EXPECT_TRUE(saved.value().warnings.empty());
    EXPECT_TRUE(ReadBytes(Book()) == bytes) << bytes.size() << " bytes expected";
    const Result<std::u16string> loaded = LoadBookFile(Book());
    ASSERT_TRUE(loaded.ok()) << loaded.error().description;
    EXPECT_TRUE(loaded.value() == text) << bytes.size() << " bytes";
    EXPECT_EQ(Entries(Dir()),
              (std::vector<std::string>{".book.aaaaaaaa.tmp", ".book.cccccccc.tmp",
                                        ".book.eeee.tmp", ".other.dddddddd.tmp", "book"}));
  }
}

TEST_F(BookFileTest, LoadFailuresCarryNumberPathAndReason) {
  WriteBytes(Dir() / "odd", "abc");
  WriteBytes(Dir() / "x", "x");
  const std::tuple<fs::path, int32_t, std::string> cases[] = {
      {Book(), kErrFileNotFound, SystemText(kNotFoundCode)},
      {Dir() / "odd", kErrBadFileLength, "its length (3 bytes) is odd, so it is not UTF-16 text"},
      {Dir() / "x", kErrBadFileLength, "its length (1 byte) is odd, so it is not UTF-16 text"},
      {Dir(), kErrFileAccess, kFolderReason},
      {Dir() / "odd" / "book", kThroughFileError, SystemText(kThroughFileCode)},
      {kDevicePath, kErrFileAccess, "not a regular file"},
  };
  for (const auto& [path, number, reason] : cases) {
    const Result<std::u16string> loaded = LoadBookFile(path);
    ASSERT_FALSE(loaded.ok()) << PathUtf8(path);
    EXPECT_EQ(loaded.error(), (Error{number, "Cannot read \"" + PathUtf8(path) + "\": " + reason}));
  }
}

TEST_F(BookFileTest, AFailedSaveLeavesTheOldBookAndNoTemporaryFileAndCanBeRetried) {
  const fs::path shelf = Dir() / "shelf", book = shelf / "book", history = shelf / "book.history";
  ASSERT_TRUE(fs::create_directory(shelf));
  // {what goes wrong, what makes it so and undoes it, the reason given}
  using Change = std::pair<std::function<void()>, std::function<void()>>;
  const std::tuple<std::string, Change, std::string> cases[] = {
      {"the folder is a file",
       {[&] { fs::rename(shelf, Dir() / "moved"), WriteBytes(shelf, "x"); },
        [&] { fs::remove(shelf), fs::rename(Dir() / "moved", shelf); }},
       SystemText(kThroughFileCode)},
      {"the book is a folder with something in it",
       {[&] { fs::rename(book, Dir() / "kept"), fs::create_directories(book / "x"); },
        [&] { fs::remove_all(book), fs::rename(Dir() / "kept", book); }},
       kFolderReason},
  };
  const std::string old_bytes = Le(u"old book [1]\r\n#  (1.00) ,  1.00");
  const std::u16string text = u"账本 [2]\r\n" + std::u16string(50'000, u'x');
  for (const auto& [name, change, reason] : cases) {
    SCOPED_TRACE(name);
    WriteBytes(book, old_bytes);
    change.first();
    const Result<SaveReport> saved = SaveBookFile(book, text, {.history = History::kKeep});
    change.second();
    ASSERT_FALSE(saved.ok());
    EXPECT_EQ(saved.error(),
              (Error{kErrFileAccess, "Cannot save \"" + PathUtf8(book) + "\": " + reason}));
    EXPECT_EQ(ReadBytes(book), old_bytes);
    EXPECT_EQ(Entries(shelf), std::vector<std::string>{"book"});
    ASSERT_TRUE(SaveBookFile(book, text).ok());
    EXPECT_TRUE(ReadBytes(book) == Le(text));
  }
}

TEST_F(BookFileTest, SavesKeepTheTextTheyReplaceAsPlainBooksBesideIt) {
  const fs::path history = Dir() / "book.history";
  // {what, the text saved, whether the replaced text is to be kept, whether it is}
  const std::tuple<std::string, std::u16string, History, bool> saves[] = {
      {"a new book replaces nothing", u"one", History::kKeep, false},
      {"the replaced text is kept", u"two", History::kKeep, true},
      {"an equal text keeps nothing", u"two", History::kKeep, false},
      {"unasked, nothing is kept", u"three", History::kSkip, false},
      {"the next one is kept beside the first", u"four", History::kKeep, true},
  };
  std::u16string previous;
  size_t versions = 0;
  for (const auto& [what, text, keep, kept] : saves) {
    SCOPED_TRACE(what);
    const uint64_t old_file = FileId(Book());
    const Result<SaveReport> saved = SaveBookFile(Book(), text, {.history = keep});
    ASSERT_TRUE(saved.ok()) << saved.error().description;
    EXPECT_TRUE(saved.value().warnings.empty());
    versions += kept;
    EXPECT_EQ(fs::exists(history) ? Entries(history).size() : 0, versions);
    const fs::path version = saved.value().kept_version;
    ASSERT_EQ(!version.empty(), kept);
    if (kept) {
      EXPECT_EQ(version.parent_path(), history);
      EXPECT_TRUE(ReadBytes(version) == Le(previous));
      // Where the file system allows, the version is the replaced file itself.
      EXPECT_EQ(FileId(version), old_file);
      const Result<std::vector<Version>> listed = ListVersions(Book());
      ASSERT_TRUE(listed.ok());
      ASSERT_EQ(listed.value().size(), versions);
      EXPECT_EQ(listed.value().back().path, version);
      EXPECT_EQ(listed.value().back().bytes, previous.size() * 2);
    }
    previous = text;
  }
  // Pruning removes only versions it wrote; a version that cannot be kept leaves a warning.
  for (const char* name : {"2020-01-15_000000.book", "2020-01-20_000000.book", "notes.txt"}) {
    WriteBytes(history / name, "old");
  }
  fs::create_directory(history / "2020-01-01_000000.book");
  ASSERT_TRUE(SaveBookFile(Book(), u"five", {.history = History::kKeep}).ok());
  EXPECT_FALSE(fs::exists(history / "2020-01-15_000000.book"));
  for (const char* name : {"2020-01-01_000000.book", "2020-01-20_000000.book", "notes.txt"}) {
    EXPECT_TRUE(fs::exists(history / name)) << name;
  }
  fs::rename(history, Dir() / "moved");
  WriteBytes(history, "not a folder");
  const Result<SaveReport> saved = SaveBookFile(Book(), u"six", {.history = History::kKeep});
  ASSERT_TRUE(saved.ok());
  EXPECT_TRUE(ReadBytes(Book()) == Le(u"six"));
  EXPECT_EQ(saved.value().warnings,
            std::vector<std::string>{"Saving \"" + PathUtf8(Book()) +
                                     "\": the text it replaced could not be kept in \"" +
                                     PathUtf8(history) + "\": Not a directory"});
  EXPECT_FALSE(ListVersions(Book()).ok());
}

TEST_F(BookFileTest, WindowsOfOneBookHoldSlotsOfItsLockUntilTheyGo) {
  const fs::path lock_file = Dir() / ".book.lock";
  BookLock first = BookLock::Take(lock_file, 0600);
  BookLock second = BookLock::Take(lock_file, 0600);
  EXPECT_EQ(first.slot(), 0);
  EXPECT_FALSE(first.others_open());
  EXPECT_EQ(second.slot(), 1);
  EXPECT_TRUE(second.others_open());
  EXPECT_TRUE(BookLock::IsHeld(lock_file, 0));
  EXPECT_FALSE(BookLock::IsHeld(lock_file, 2));
  first.ReleaseAndTidy();
  EXPECT_FALSE(BookLock::IsHeld(lock_file, 0));
  EXPECT_TRUE(fs::exists(lock_file)) << "removed while another window holds it";
  // A slot let go is taken again.
  BookLock third = BookLock::Take(lock_file, 0600);
  EXPECT_EQ(third.slot(), 0);
  EXPECT_TRUE(third.others_open());
  third.ReleaseAndTidy();
  second.ReleaseAndTidy();
  EXPECT_FALSE(fs::exists(lock_file));
  EXPECT_EQ(BookLock::Take(Dir() / "missing" / ".book.lock", 0600).slot(), -1);
}

TEST_F(BookFileTest, FreshFilesNeverReplaceAnythingAndTheHomeFolderIsNeverTheRoot) {
  const fs::path wanted = Dir() / "book.unsaved-1";
  // {the permission bits asked for, the name written}
  const std::pair<unsigned, std::string> writes[] = {
      {0600, "book.unsaved-1"}, {0400, "book.unsaved-1-2"}, {0600, "book.unsaved-1-3"}};
  for (const auto& [mode, name] : writes) {
    const Result<fs::path> written = WriteFreshFile(wanted, u"kept [1]", mode);
    ASSERT_TRUE(written.ok()) << written.error().description;
    EXPECT_EQ(written.value(), Dir() / name);
    EXPECT_EQ(ReadBytes(written.value()), Le(u"kept [1]"));
    EXPECT_EQ(IsReadOnly(written.value()), (mode & 0200) == 0);
    if (const std::optional<unsigned> bits = PosixMode(written.value())) {
      EXPECT_EQ(*bits, mode);
    }
  }
  WriteBytes(Dir() / "copy", "copy");
  const Result<fs::path> moved = MoveToFreshName(Dir() / "copy", wanted);
  ASSERT_TRUE(moved.ok()) << moved.error().description;
  EXPECT_EQ(moved.value(), Dir() / "book.unsaved-1-4");
  EXPECT_EQ(ReadBytes(moved.value()), "copy");
  EXPECT_EQ(Entries(Dir()).size(), 4u);
  const Result<fs::path> refused = WriteFreshFile(Dir() / "missing" / "x", u"x", 0600);
  ASSERT_FALSE(refused.ok());
  EXPECT_NE(refused.error().description.find(PathUtf8(Dir() / "missing" / "x")), std::string::npos);

  // {the home folder the environment names, the one that is used}
  const std::pair<fs::path, std::optional<fs::path>> homes[] = {
      {Dir(), Dir()}, {RootFolder(), std::nullopt}, {wanted, std::nullopt}};
  const std::optional<std::string> own_home = Variable(kHomeVariable);
  for (const auto& [home, used] : homes) {
    SetVariable(kHomeVariable, PathUtf8(home));
    EXPECT_EQ(HomeFolder(), used) << PathUtf8(home);
  }
  SetVariable(kHomeVariable, own_home);
}

}  // namespace
}  // namespace tallivan
