// What only Windows has: files held open against renaming, file attributes, and where the user's
// folders are.
#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <tuple>
#include <utility>

#include "storage/atomic_writer.h"
#include "storage/book_file.h"
#include "storage/book_location.h"
#include "test_files.h"
#include "test_platform.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

DWORD AttributesOf(const fs::path& path) { return GetFileAttributesW(path.c_str()); }

class BookWindowsTest : public ::testing::Test {
 protected:
  fs::path Dir() const { return dir_.path() / Utf8Path("账本"); }
  fs::path Book() const { return Dir() / "book"; }
  void SetUp() override { ASSERT_TRUE(fs::create_directory(Dir())); }

  TempDir dir_;
};

TEST_F(BookWindowsTest, ASaveThatAnotherProgramStopsLeavesTheOldBookWholeAndNoFileBehind) {
  HANDLE other = INVALID_HANDLE_VALUE;
  // The sharing rules hold between handles, whichever process holds them.
  const auto hold_open = [&](DWORD share) {
    return [&, share] {
      other = CreateFileW(Book().c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    };
  };
  const std::string shared = SystemText(ERROR_SHARING_VIOLATION);
  // {what the other program does once the save has begun, the reason the save fails}
  const std::pair<std::function<void()>, std::string> cases[] = {
      {hold_open(FILE_SHARE_READ), shared},
      {hold_open(FILE_SHARE_READ | FILE_SHARE_WRITE), shared},
      // Even then the system renames no file over it.
      {hold_open(kShareAll), shared},
      {[&] { SetFileAttributesW(Book().c_str(), FILE_ATTRIBUTE_READONLY); }, "it is read-only"},
  };
  const std::string old_bytes = Le(u"old [1]\r\n#");
  for (const auto& [meddle, reason] : cases) {
    SCOPED_TRACE(reason);
    WriteBytes(Book(), old_bytes);
    Result<AtomicWriter> writer = AtomicWriter::Open(Book(), {.history = History::kKeep});
    ASSERT_TRUE(writer.ok()) << writer.error().description;
    ASSERT_TRUE(writer.value().Write(Le(u"new")).ok());
    meddle();
    const Result<SaveReport> saved = writer.value().Commit();
    if (other != INVALID_HANDLE_VALUE) CloseHandle(std::exchange(other, INVALID_HANDLE_VALUE));
    SetFileAttributesW(Book().c_str(), FILE_ATTRIBUTE_NORMAL);
    ASSERT_FALSE(saved.ok());
    EXPECT_EQ(saved.error(),
              (Error{kErrFileAccess, "Cannot save \"" + PathUtf8(Book()) + "\": " + reason}));
    EXPECT_EQ(ReadBytes(Book()), old_bytes);
    // Neither the temporary file nor a version of the book is left.
    EXPECT_EQ(Entries(Dir()), std::vector<std::string>{"book"});
    // Once it is let go, the same save goes through.
    const Result<SaveReport> retried = SaveBookFile(Book(), u"new", {.history = History::kKeep});
    ASSERT_TRUE(retried.ok()) << retried.error().description;
    EXPECT_EQ(ReadBytes(Book()), Le(u"new"));
    EXPECT_EQ(ReadBytes(retried.value().kept_version), old_bytes);
    fs::remove_all(Dir() / "book.history");
  }
}

TEST_F(BookWindowsTest, KeepsTheBooksAttributesAndRefusesAReadOnlyOneUnlessAllowed) {
  // {the book's attributes, whether a read-only one may be replaced, what comes of the save}
  const std::tuple<DWORD, ReadOnlyFile, std::string> cases[] = {
      {FILE_ATTRIBUTE_NORMAL, ReadOnlyFile::kRefuse, "replaced"},
      {FILE_ATTRIBUTE_HIDDEN, ReadOnlyFile::kRefuse, "replaced"},
      {FILE_ATTRIBUTE_READONLY, ReadOnlyFile::kRefuse, "it is read-only"},
      {FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN, ReadOnlyFile::kReplace, "replaced"},
  };
  constexpr DWORD kShown = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;
  for (const auto& [attributes, read_only, outcome] : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << attributes);
    SetFileAttributesW(Book().c_str(), FILE_ATTRIBUTE_NORMAL);
    WriteBytes(Book(), "ab");
    ASSERT_TRUE(SetFileAttributesW(Book().c_str(), attributes));
    ASSERT_EQ(AttributesOf(Book()) & kShown, attributes & kShown);
    const Result<SaveReport> saved =
        SaveBookFile(Book(), u"x", {.history = History::kKeep, .read_only = read_only});
    if (outcome != "replaced") {
      ASSERT_FALSE(saved.ok());
      EXPECT_EQ(saved.error().description, "Cannot save \"" + PathUtf8(Book()) + "\": " + outcome);
      EXPECT_EQ(ReadBytes(Book()), "ab");
      continue;
    }
    ASSERT_TRUE(saved.ok()) << saved.error().description;
    EXPECT_EQ(ReadBytes(Book()), Le(u"x"));
    EXPECT_EQ(AttributesOf(Book()) & kShown, attributes & kShown);
    EXPECT_EQ(ReadBytes(saved.value().kept_version), "ab");
    EXPECT_EQ(Entries(Dir()), (std::vector<std::string>{"book", "book.history"}));
  }
}

TEST_F(BookWindowsTest, InspectingTellsWhatASaveWouldMeetAndNeverWritesInPlace) {
  WriteBytes(Dir() / "plain", "ab");
  WriteBytes(Dir() / "read-only", "ab");
  SetFileAttributesW((Dir() / "read-only").c_str(), FILE_ATTRIBUTE_READONLY);
  // {the file, whether it exists, whether it is read-only, whether its folder takes new files}
  const std::tuple<fs::path, bool, bool, bool> cases[] = {
      {Dir() / "missing", false, false, true},
      {Dir() / "plain", true, false, true},
      {Dir() / "read-only", true, true, true},
      {Dir() / "missing" / "book", false, false, false},
  };
  for (const auto& [path, exists, read_only, folder_writable] : cases) {
    SCOPED_TRACE(PathUtf8(path));
    const Result<FileFacts> facts = InspectFile(path);
    ASSERT_TRUE(facts.ok()) << facts.error().description;
    EXPECT_EQ(facts.value().exists, exists);
    EXPECT_EQ(facts.value().read_only, read_only);
    EXPECT_EQ(facts.value().folder_writable, folder_writable);
    EXPECT_FALSE(facts.value().writable_in_place);
  }
}

TEST(BookLocationWindowsTest, TheUsersFoldersAreAppDataAndTheProfileAndTheProgramIsFound) {
  // {%APPDATA%, %USERPROFILE%} as set, in UTF-8; nullopt: unset.
  using Setting = std::optional<std::string>;
  const std::pair<Setting, Setting> cases[] = {
      {"C:\\Users\\测试\\AppData\\Roaming", "C:\\Users\\测试"},
      {std::nullopt, "C:\\Users\\u"},
      {"D:\\data", std::nullopt},
  };
  for (const auto& [app_data, profile] : cases) {
    SetVariable("APPDATA", app_data);
    SetVariable("USERPROFILE", profile);
    const UserFolders folders = CurrentUserFolders();
    EXPECT_EQ(folders.xdg_data_home, app_data.value_or(""));
    EXPECT_EQ(folders.home, profile.value_or(""));
  }
  EXPECT_EQ(RunningExecutable().filename(), "storage_test.exe");
  EXPECT_TRUE(fs::is_regular_file(RunningExecutable()));
}

}  // namespace
}  // namespace tallivan
