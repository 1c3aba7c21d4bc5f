// What only Windows has: files that other programs hold open against renaming, file attributes,
// and paths longer than the system takes without a prefix.
#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <tuple>
#include <utility>

#include "storage/atomic_writer.h"
#include "storage/book_file.h"
#include "storage/book_lock.h"
#include "storage/safe_folder.h"
#include "test_files.h"
#include "test_platform.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;

// Another program (hold_file.exe, beside this test) holding `path` open, shared as `share` says,
// from the moment this is made: for `milliseconds`, or until this is dropped when that is -1.
class OtherProgram {
 public:
  OtherProgram(const fs::path& path, DWORD share, int milliseconds) {
    const std::wstring name = L"tallivan-held-" + std::to_wstring(GetCurrentProcessId());
    const HANDLE held = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
    std::wstring self(MAX_PATH, L'\0');
    self.resize(GetModuleFileNameW(nullptr, self.data(), MAX_PATH));
    std::wstring command = L"\"" + (fs::path(self).parent_path() / L"hold_file.exe").native() +
                           L"\" \"" + path.native() + L"\" " + std::to_wstring(share) + L" " +
                           std::to_wstring(milliseconds) + L" " + name;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                   &process_);
    const HANDLE either[] = {held, process_.hProcess};
    EXPECT_EQ(WaitForMultipleObjects(2, either, FALSE, INFINITE), WAIT_OBJECT_0) << "not held";
    CloseHandle(held);
  }
  ~OtherProgram() {
    TerminateProcess(process_.hProcess, 0);  // a program that let go has ended already
    WaitForSingleObject(process_.hProcess, INFINITE);
    CloseHandle(process_.hProcess), CloseHandle(process_.hThread);
  }

 private:
  PROCESS_INFORMATION process_{};
};

class BookWindowsTest : public ::testing::Test {
 protected:
  fs::path Dir() const { return dir_.path() / Utf8Path("账本"); }
  fs::path Book() const { return Dir() / "book"; }
  void SetUp() override { ASSERT_TRUE(fs::create_directory(Dir())); }

  TempDir dir_;
};

bool IsHidden(const fs::path& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_HIDDEN) != 0;
}

TEST_F(BookWindowsTest, ASaveWaitsForOtherProgramsToLetGoAndKeepsTheBooksAttributes) {
  // What happens once the save has begun; what it gives lives until the save is over.
  using Meddle = std::function<std::shared_ptr<void>()>;
  const auto held = [this](DWORD share, int milliseconds) -> Meddle {
    return [=, this] { return std::make_shared<OtherProgram>(Book(), share, milliseconds); };
  };
  const auto read_only_for = [this](int milliseconds) -> Meddle {
    return [=, this]() -> std::shared_ptr<void> {
      SetFileAttributesW(Book().c_str(), FILE_ATTRIBUTE_READONLY);
      if (milliseconds < 0) return nullptr;
      return std::make_shared<std::jthread>([=, this] {
        Sleep(milliseconds);
        SetFileAttributesW(Book().c_str(), FILE_ATTRIBUTE_NORMAL);
      });
    };
  };
  const auto step_fails = [](Step step, int times) -> Meddle {
    return [=]() -> std::shared_ptr<void> {
      failing[step] = {ERROR_SHARING_VIOLATION, times};
      return nullptr;
    };
  };
  const Meddle copied_while_held = [this] {
    failing[Step::kLinkVersion] = {ERROR_NOT_SUPPORTED, -1};
    auto holder = std::make_shared<std::optional<OtherProgram>>();
    before[Step::kLinkVersion] = [this, holder] { holder->emplace(Book(), 0, 500); };
    return holder;
  };
  const std::string shared = SystemText(ERROR_SHARING_VIOLATION), read_only = "it is read-only";
  constexpr DWORD kNormal = FILE_ATTRIBUTE_NORMAL, kHidden = FILE_ATTRIBUTE_HIDDEN,
                  kReadOnly = FILE_ATTRIBUTE_READONLY, kShown = kReadOnly | kHidden,
                  kReading = FILE_SHARE_READ, kWriting = FILE_SHARE_WRITE,
                  kRemoving = FILE_SHARE_DELETE;
  using enum ReadOnlyFile;
  const struct {
    DWORD attributes;  // the book's
    ReadOnlyFile may_replace;
    Meddle meddle;
    std::string reason = "";    // why the save fails ("": it does not)
    std::string not_kept = "";  // why the replaced text is not kept ("": it is)
  } cases[] = {
      {kNormal, kRefuse, {}},
      {kHidden, kRefuse, {}},
      {kReadOnly | kHidden, kReplace, {}},
      {kReadOnly, kRefuse, {}, read_only},
      // Held for a moment by another program, whatever it lets others do.
      {kNormal, kRefuse, held(0, 500)},
      {kNormal, kRefuse, held(kReading, 500)},
      {kNormal, kRefuse, held(kReading | kWriting, 500)},
      {kNormal, kRefuse, held(kReading | kWriting | kRemoving, 500)},
      // Held for longer than a save waits: even then the system renames no file over it.
      {kNormal, kRefuse, held(kReading | kWriting | kRemoving, -1), shared},
      {kNormal, kRefuse, read_only_for(500)},
      {kNormal, kRefuse, read_only_for(-1), read_only},
      {kNormal, kRefuse, step_fails(Step::kRename, 2)},
      {kNormal, kRefuse, step_fails(Step::kRename, -1), shared},
      {kNormal, kRefuse, step_fails(Step::kLinkVersion, 2)},
      {kNormal, kRefuse, step_fails(Step::kLinkVersion, -1), "", shared},
      // A file system without links: the copy waits too.
      {kNormal, kRefuse, copied_while_held},
  };
  const std::string old_bytes = Le(u"old [1]\r\n#");
  const fs::path history = Dir() / "book.history";
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& [attributes, may_replace, meddle, reason, not_kept] = cases[i];
    SCOPED_TRACE(::testing::Message() << "case " << i << ": " << reason << not_kept);
    WriteBytes(Book(), old_bytes);
    ASSERT_TRUE(SetFileAttributesW(Book().c_str(), attributes));
    Result<AtomicWriter> writer =
        AtomicWriter::Open(Book(), {.history = History::kKeep, .read_only = may_replace});
    ASSERT_TRUE(!writer || writer.value().Write(Le(u"new")).ok());
    // The temporary file beside the book is hidden, as Explorer shows whatever is not.
    for (const std::string& name : Entries(Dir())) {
      EXPECT_TRUE(name == "book" || IsHidden(Dir() / Utf8Path(name))) << name;
    }
    std::shared_ptr<void> meddling = meddle ? meddle() : nullptr;
    Result<SaveReport> saved = writer ? writer.value().Commit() : writer.error();
    meddling.reset();
    failing.clear(), before.clear();
    if (!reason.empty()) {
      EXPECT_EQ(
          saved.ok() ? Error{} : saved.error(),
          (Error{ErrorNumber::kFileAccess, "Cannot save \"" + PathUtf8(Book()) + "\": " + reason}));
      EXPECT_EQ(ReadBytes(Book()), old_bytes);
      // Neither the temporary file nor a version of the book is left.
      std::vector<std::string> left = Entries(Dir());
      std::erase(left, "book.history");
      EXPECT_EQ(left, std::vector<std::string>{"book"});
      EXPECT_TRUE(Entries(history).empty());
      // Once it is let go, the same save goes through.
      SetFileAttributesW(Book().c_str(), kNormal);
      saved = SaveBookFile(Book(), u"new", {.history = History::kKeep});
    }
    EXPECT_EQ(ReadBytes(Book()), Le(u"new"));
    EXPECT_EQ(GetFileAttributesW(Book().c_str()) & kShown,
              reason.empty() ? attributes & kShown : 0);
    if (!saved.ok()) {
      ADD_FAILURE() << saved.error().description;
    } else if (not_kept.empty()) {
      EXPECT_TRUE(saved.value().warnings.empty());
      EXPECT_EQ(ReadBytes(saved.value().kept_version), old_bytes);
    } else {
      EXPECT_EQ(saved.value().warnings,
                std::vector<std::string>{"Saving \"" + PathUtf8(Book()) +
                                         "\": the text it replaced could not be kept in \"" +
                                         PathUtf8(history) + "\": " + not_kept});
    }
    EXPECT_EQ(Entries(Dir()), (std::vector<std::string>{"book", "book.history"}));
    SetFileAttributesW(Book().c_str(), kNormal);
    fs::remove_all(history);
  }
}

// Removes the folder `path` and everything in it, however deep.
void RemoveTree(const fs::path& path) {
  const std::wstring prefixed = L"\\\\?\\" + path.native();
  WIN32_FIND_DATAW found{};
  const HANDLE search = FindFirstFileW((prefixed + L"\\*").c_str(), &found);
  for (bool more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      RemoveTree(path / name);
    } else {
      DeleteFileW((prefixed + L"\\" + name).c_str());
    }
  }
  if (search != INVALID_HANDLE_VALUE) FindClose(search);
  RemoveDirectoryW(prefixed.c_str());
}

TEST_F(BookWindowsTest, BooksDeeperThanTheSystemsShortPathsAreLoadedSavedAndKept) {
  // 300 characters, and more for the temporary file and the history beside the book. The C
  // runtime takes no path this long: the folders are made and removed by the system's calls.
  fs::path folder = Dir();
  const std::shared_ptr<void> removed(nullptr,
                                      [&](void*) { RemoveTree(Dir() / std::wstring(60, L'长')); });
  while (folder.native().size() < 295) {
    folder = (folder / std::wstring(60, L'长')).native().substr(0, 295);
    ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + folder.native()).c_str(), nullptr));
  }
  const fs::path book = folder / "book";
  ASSERT_EQ(book.native().size(), 300u);
  for (const std::u16string text : {u"one [1]", u"two [2]"}) {
    const Result<SaveReport> saved = SaveBookFile(book, text, {.history = History::kKeep});
    ASSERT_TRUE(saved.ok()) << saved.error().description;
    EXPECT_EQ(LoadBookFile(book).value(), text);
  }
  const Result<std::vector<Version>> versions = ListVersions(book);
  ASSERT_TRUE(versions.ok()) << versions.error().description;
  ASSERT_EQ(versions.value().size(), 1u);
  EXPECT_EQ(LoadBookFile(versions.value()[0].path).value(), u"one [1]");
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
  // The lock of the book's windows lies beside it, hidden.
  const BookLock lock = BookLock::Take(SafeFolder::Open(Dir()).value(), ".book.lock", 0600);
  EXPECT_TRUE(IsHidden(Dir() / ".book.lock"));
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
