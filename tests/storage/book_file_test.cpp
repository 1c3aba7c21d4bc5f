// The book file on every system, in a folder whose name is not ASCII, as a user's may well be.
#include "storage/book_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <tuple>

#include "storage/book_lock.h"
#include "storage/fresh_file.h"
#include "storage/history.h"
#include "storage/safe_folder.h"
#include "test_files.h"
#include "test_platform.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;
using ::testing::AllOf;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr char kFolderReason[] = "Is a directory";

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
      {u"\uFEFFx", std::string("\xFF\xFEx\0", 4)},  // not taken for a byte-order mark
      {u"", ""},
      {u"\u6261\u6463", "abcd"},  // what an 8-bit file of even length loads as
      {u"\xDC00x\xD800", std::string("\0\xDCx\0\0\xD8", 6)},  // unpaired surrogates
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
  const std::tuple<fs::path, ErrorNumber, std::string> cases[] = {
      {Book(), ErrorNumber::kFileNotFound, SystemText(kNotFoundCode)},
      {Dir() / "odd", ErrorNumber::kBadFileLength,
       "its length (3 bytes) is odd, so it is not UTF-16 text"},
      {Dir(), ErrorNumber::kFileAccess, kFolderReason},
      {Dir() / "odd" / "book", kThroughFileError, SystemText(kThroughFileCode)},
      {kDevicePath, ErrorNumber::kFileAccess, "not a regular file"},
  };
  for (const auto& [path, number, reason] : cases) {
    const Result<std::u16string> loaded = LoadBookFile(path);
    ASSERT_FALSE(loaded.ok()) << PathUtf8(path);
    EXPECT_EQ(loaded.error(), (Error{number, "Cannot read \"" + PathUtf8(path) + "\": " + reason}));
  }
  // A pipe tells no length in advance: an odd one shows only once it has been read.
  const PipeFrom pipe("abc");
  EXPECT_EQ(ReadBook(pipe.fd(), "<stdin>").error(), OddLengthError("<stdin>", 3));
}

TEST_F(BookFileTest, AFailedSaveLeavesTheOldBookAndNoTemporaryFileAndCanBeRetried) {
  const fs::path shelf = Dir() / "shelf", book = shelf / "book", history = shelf / "book.history";
  ASSERT_TRUE(fs::create_directory(shelf));
  using Change = std::pair<std::function<void()>, std::function<void()>>;
  const Change folder_is_file{[&] { fs::rename(shelf, Dir() / "moved"), WriteBytes(shelf, "x"); },
                              [&] { fs::remove(shelf), fs::rename(Dir() / "moved", shelf); }};
  const Change book_is_folder{
      [&] { fs::rename(book, Dir() / "kept"), fs::create_directories(book / "x"); },
      [&] { fs::remove_all(book), fs::rename(Dir() / "kept", book); }};
  const auto why = [](int error) { return std::string(std::strerror(error)); };
  using enum Step;
  // No new file in the folder: the book is written over in place.
  const std::pair<Step, Failing> no_new_file{kCreateUnnamed, {EACCES}};
  const struct {
    std::string what;
    std::string reason;  // what the message ends with
    std::map<Step, Failing> steps;
    bool limited = false;  // the files this process writes are limited to 64 bytes
    Change change = {};    // what makes the save fail, and undoes it afterwards
  } cases[] = {
      {"the folder is a file", SystemText(kThroughFileCode), {}, false, folder_is_file},
      {"the book is a folder with something in it", kFolderReason, {}, false, book_is_folder},
      {"writing goes over the file size limit", why(EFBIG), {}, true},
      {"the temporary file cannot be created", why(ENOSPC), {{kCreateUnnamed, {ENOSPC}}}},
      {"the file system is read-only", why(EROFS), {{kCreateUnnamed, {EROFS}}}},
      {"no temporary file", why(EIO), {{kCreateUnnamed, {EOPNOTSUPP}}, {kCreateTemp, {EIO}}}},
      {"flushing the file fails", why(EIO), {{kSyncFile, {EIO}}}},
      {"renaming fails, after the old text was kept", why(EIO), {{kRename, {EIO}}}},
      {"there is no room to write in place", why(ENOSPC), {no_new_file, {kReserve, {ENOSPC}}}},
      {"writing in place goes over the file size limit", why(EFBIG), {no_new_file}, true},
      // The rename has put the new book in place; only its durability is in doubt.
      {"flushing the folder fails (a warning)", why(EIO), {{kSyncFolder, {EIO}}}},
  };
  const std::string old_bytes = Le(u"old book [1]\r\n#  (1.00) ,  1.00");
  const std::u16string text = u"账本 [2]\r\n" + std::u16string(50'000, u'x');
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (!kStepsFail && (!c.steps.empty() || c.limited)) continue;
    fs::remove_all(history);
    WriteBytes(book, old_bytes);
    failing = c.steps;
    if (c.change.first) c.change.first();
    LimitFileSize(c.limited);
    const Result<SaveReport> saved = SaveBookFile(book, text, {.history = History::kKeep});
    LimitFileSize(false);
    if (c.change.second) c.change.second();
    ASSERT_TRUE(failing.empty()) << "the save never reached a step";
    // Once the new book is in place, a failure is a warning and the save counts as done.
    const bool in_place = c.steps.contains(kSyncFolder);
    ASSERT_EQ(saved.ok(), in_place);
    const std::string said = in_place ? saved.value().warnings.at(0) : saved.error().description;
    EXPECT_THAT(said, AllOf(StartsWith(in_place ? "Saved \"" : "Cannot save \""),
                            HasSubstr(PathUtf8(book) + "\""), EndsWith(": " + c.reason)));
    EXPECT_TRUE(in_place || saved.error().number == ErrorNumber::kFileAccess);
    EXPECT_EQ(ReadBytes(book), in_place ? Le(text) : old_bytes);
    // Nothing is left beside the book, and only a save that is done keeps the old text.
    EXPECT_EQ(Entries(shelf).front(), "book");
    EXPECT_EQ(Entries(history).size(), in_place ? 1u : 0u);
    ASSERT_TRUE(SaveBookFile(book, text).ok());
    EXPECT_EQ(ReadBytes(book), Le(text));
  }
}

TEST_F(BookFileTest, SavesKeepTheTextTheyReplaceAsPlainBooksAsPrivateAsTheBook) {
  const fs::path history = Dir() / "book.history";
  enum class Kept { kNothing, kLinked, kCopied };
  using enum Kept;
  using enum History;
  using enum Step;
  const struct {
    std::string what;
    std::u16string text;
    History keep;
    unsigned mode;  // the book's before the save, and so its version's
    Kept kept;      // how the replaced text is kept
    unsigned folder_mode;
    std::map<Step, Failing> steps = {};
  } saves[] = {
      {"a new book replaces nothing", u"one", kKeep, 0, kNothing, 0},
      {"the replaced text is kept", u"two", kKeep, 0640, kLinked, 0750},
      {"an equal text keeps nothing", u"two", kKeep, 0640, kNothing, 0750},
      {"unasked, nothing is kept", u"three", kSkip, 0640, kNothing, 0750},
      {"no link can be made", u"four", kKeep, 0604, kCopied, 0705, {{kLinkVersion, {EXDEV, -1}}}},
      {"nor one more link", u"five", kKeep, 0644, kCopied, 0755, {{kLinkVersion, {EMLINK, -1}}}},
      {"written in place", u"six", kKeep, 0600, kCopied, 0700, {{kCreateUnnamed, {EACCES}}}},
      {"the next one is kept beside the others", u"seven", kKeep, 0600, kLinked, 0700},
  };
  std::u16string previous;
  size_t versions = 0;
  for (const auto& save : saves) {
    SCOPED_TRACE(save.what);
    if (!kStepsFail && !save.steps.empty()) continue;
    const uint64_t old_file = FileId(Book());
    if (old_file != 0) fs::permissions(Book(), fs::perms(save.mode));
    failing = save.steps;
    const Result<SaveReport> saved = SaveBookFile(Book(), save.text, {.history = save.keep});
    ASSERT_TRUE(saved.ok()) << saved.error().description;
    ASSERT_TRUE(failing.empty() || failing.begin()->second.times < 0) << "a step never came";
    failing.clear();
    EXPECT_TRUE(saved.value().warnings.empty());
    versions += save.kept != kNothing;
    EXPECT_EQ(Entries(history).size(), versions);
    const fs::path version = saved.value().kept_version;
    ASSERT_EQ(!version.empty(), save.kept != kNothing);
    if (save.kept != kNothing) {
      EXPECT_EQ(version.parent_path(), history);
      EXPECT_TRUE(ReadBytes(version) == Le(previous));
      // Where the file system allows, the version is the replaced file itself.
      EXPECT_EQ(FileId(version) == old_file, save.kept == kLinked);
      EXPECT_TRUE(HasMode(version, save.mode) && HasMode(history, save.folder_mode));
      const Result<std::vector<Version>> listed = ListVersions(Book());
      ASSERT_TRUE(listed.ok() && listed.value().size() == versions);
      EXPECT_EQ(listed.value().back().bytes, previous.size() * 2);
    }
    previous = save.text;
  }
  // Pruning removes only versions it wrote; a version that cannot be kept leaves a warning.
  for (const char* name : {"2020-01-15_000000.book", "2020-01-20_000000.book", "notes.txt"}) {
    WriteBytes(history / name, "old");
  }
  fs::create_directory(history / "2020-01-01_000000.book");
  ASSERT_TRUE(SaveBookFile(Book(), u"five", {.history = kKeep}).ok());
  EXPECT_FALSE(fs::exists(history / "2020-01-15_000000.book"));
  for (const char* name : {"2020-01-01_000000.book", "2020-01-20_000000.book", "notes.txt"}) {
    EXPECT_TRUE(fs::exists(history / name)) << name;
  }
  fs::rename(history, Dir() / "moved");
  WriteBytes(history, "not a folder");
  const Result<SaveReport> saved = SaveBookFile(Book(), u"six", {.history = kKeep});
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
  const SafeFolder folder = SafeFolder::Open(Dir()).value();
  BookLock first = BookLock::Take(folder, ".book.lock", 0600);
  BookLock second = BookLock::Take(folder, ".book.lock", 0600);
  EXPECT_EQ(std::pair(first.slot(), first.others_open()), std::pair(0, false));
  EXPECT_EQ(std::pair(second.slot(), second.others_open()), std::pair(1, true));
  EXPECT_TRUE(second.IsHeld(0));
  EXPECT_FALSE(second.IsHeld(2));
  first.ReleaseAndTidy(folder);
  EXPECT_FALSE(second.IsHeld(0));
  EXPECT_TRUE(fs::exists(lock_file)) << "removed while another window holds it";
  // A slot let go is taken again.
  BookLock third = BookLock::Take(folder, ".book.lock", 0600);
  EXPECT_EQ(std::pair(third.slot(), third.others_open()), std::pair(0, true));
  third.ReleaseAndTidy(folder);
  // Nor does a window that went without tidying, as a crashed one, lose the file to one that
  // tidied while it held a slot.
  second = BookLock();
  BookLock last = BookLock::Take(folder, ".book.lock", 0600);
  first = BookLock::Take(folder, ".book.lock", 0600);
  last.ReleaseAndTidy(folder);
  first = BookLock();
  EXPECT_TRUE(fs::exists(lock_file));
  BookLock::Take(folder, ".book.lock", 0600).ReleaseAndTidy(folder);
  EXPECT_FALSE(fs::exists(lock_file));
  // Anything under its name that is not a file of the caller's means no lock, and why.
  fs::create_directory(lock_file);
  const BookLock none = BookLock::Take(folder, ".book.lock", 0600);
  EXPECT_EQ(none.slot(), -1);
  EXPECT_THAT(none.trouble(), ::testing::HasSubstr(PathUtf8(lock_file)));
}

TEST_F(BookFileTest, AHomeFolderThatIsAFileIsNone) {
  // The session's tests see the root refused and a real home used.
  const std::optional<std::string> own_home = Variable(kHomeVariable);
  SetVariable(kHomeVariable, PathUtf8(Book()));
  WriteBytes(Book(), "");
  EXPECT_EQ(HomeFolder(), std::nullopt);
  SetVariable(kHomeVariable, own_home);
}

}  // namespace
}  // namespace tallivan
