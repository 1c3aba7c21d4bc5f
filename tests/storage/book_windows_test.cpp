// What only Windows has: files held open against renaming, and file attributes.
#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <tuple>
#include <utility>

#include "storage/atomic_writer.h"
#include "storage/book_file.h"
#include "storage/safe_folder.h"
#include "test_files.h"
#include "test_platform.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;

class BookWindowsTest : public ::testing::Test {
 protected:
  fs::path Dir() const { return dir_.path() / Utf8Path("账本"); }
  fs::path Book() const { return Dir() / "book"; }
  void SetUp() override { ASSERT_TRUE(fs::create_directory(Dir())); }

  TempDir dir_;
};

TEST_F(BookWindowsTest, KeepsTheBooksAttributesAndLeavesItWholeWhenASaveIsStopped) {
  HANDLE other = INVALID_HANDLE_VALUE;
  // The sharing rules hold between handles, whichever process holds them.
  const auto hold_open = [&](DWORD share) {
    return [&, share] {
      other = CreateFileW(Book().c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    };
  };
  const auto make_read_only = [&] { SetFileAttributesW(Book().c_str(), FILE_ATTRIBUTE_READONLY); };
  const std::string shared = SystemText(ERROR_SHARING_VIOLATION), read_only = "it is read-only";
  constexpr DWORD kNormal = FILE_ATTRIBUTE_NORMAL, kHidden = FILE_ATTRIBUTE_HIDDEN,
                  kReadOnly = FILE_ATTRIBUTE_READONLY, kShown = kReadOnly | kHidden;
  using enum ReadOnlyFile;
  // {the book's attributes, whether a read-only one may be replaced, what another program does once
  // the save has begun, why the save fails ("": it does not)}
  const std::tuple<DWORD, ReadOnlyFile, std::function<void()>, std::string> cases[] = {
      {kNormal, kRefuse, [] {}, ""},
      {kHidden, kRefuse, [] {}, ""},
      {kReadOnly | kHidden, kReplace, [] {}, ""},
      {kReadOnly, kRefuse, [] {}, read_only},
      {kNormal, kRefuse, hold_open(FILE_SHARE_READ), shared},
      {kNormal, kRefuse, hold_open(FILE_SHARE_READ | FILE_SHARE_WRITE), shared},
      // Even then the system renames no file over it.
      {kNormal, kRefuse, hold_open(FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE), shared},
      {kNormal, kRefuse, make_read_only, read_only},
  };
  const std::string old_bytes = Le(u"old [1]\r\n#");
  for (const auto& [attributes, may_replace, meddle, reason] : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << attributes << ": " << reason);
    WriteBytes(Book(), old_bytes);
    ASSERT_TRUE(SetFileAttributesW(Book().c_str(), attributes));
    Result<AtomicWriter> writer =
        AtomicWriter::Open(Book(), {.history = History::kKeep, .read_only = may_replace});
    ASSERT_TRUE(!writer || writer.value().Write(Le(u"new")).ok());
    meddle();
    Result<SaveReport> saved = writer ? writer.value().Commit() : writer.error();
    if (other != INVALID_HANDLE_VALUE) CloseHandle(std::exchange(other, INVALID_HANDLE_VALUE));
    if (!reason.empty()) {
      ASSERT_FALSE(saved.ok());
      EXPECT_EQ(saved.error(),
                (Error{kErrFileAccess, "Cannot save \"" + PathUtf8(Book()) + "\": " + reason}));
      EXPECT_EQ(ReadBytes(Book()), old_bytes);
      // Neither the temporary file nor a version of the book is left.
      EXPECT_EQ(Entries(Dir()), std::vector<std::string>{"book"});
      // Once it is let go, the same save goes through.
      SetFileAttributesW(Book().c_str(), kNormal);
      saved = SaveBookFile(Book(), u"new", {.history = History::kKeep});
    }
    ASSERT_TRUE(saved.ok()) << saved.error().description;
    EXPECT_EQ(ReadBytes(Book()), Le(u"new"));
    EXPECT_EQ(GetFileAttributesW(Book().c_str()) & kShown,
              reason.empty() ? attributes & kShown : 0);
    EXPECT_EQ(ReadBytes(saved.value().kept_version), old_bytes);
    EXPECT_EQ(Entries(Dir()), (std::vector<std::string>{"book", "book.history"}));
    SetFileAttributesW(Book().c_str(), kNormal);
    fs::remove_all(Dir() / "book.history");
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
    const FileFacts& f = facts.value();
    EXPECT_EQ(std::tuple(f.exists, f.read_only, f.folder_writable, f.writable_in_place),
              std::tuple(exists, read_only, folder_writable, false));
  }
}

TEST_F(BookWindowsTest, SafeFolderReplacesNoFileThatAnotherProgramHoldsOpenAndLeavesNothingBehind) {
  const Result<SafeFolder> held = SafeFolder::Open(Dir());
  ASSERT_TRUE(held.ok());
  // {what the other program lets others do, whether the file may be removed meanwhile}
  const std::pair<DWORD, bool> cases[] = {
      {FILE_SHARE_READ, false},
      {FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, true},
  };
  for (const auto& [share, removable] : cases) {
    SCOPED_TRACE(share);
    WriteBytes(Dir() / "state", "old");
    const HANDLE other = CreateFileW((Dir() / "state").c_str(), GENERIC_READ, share, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(held.value().Replace("state", std::string_view("new"), 0600).ok());
    EXPECT_EQ(Entries(Dir()), std::vector<std::string>{"state"});
    EXPECT_EQ(ReadBytes(Dir() / "state"), "old");
    EXPECT_EQ(held.value().Remove("state"), removable);
    CloseHandle(other);
    EXPECT_EQ(fs::exists(Dir() / "state"), !removable);
    fs::remove(Dir() / "state");
  }
}

}  // namespace
}  // namespace tallivan
