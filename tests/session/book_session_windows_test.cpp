// What only Windows has: books that another program holds open.
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>

#include "session/book_session.h"
#include "tests/session/session_test_support.h"
#include "tests/storage/test_files.h"
#include "tests/storage/test_platform.h"

namespace tallivan {

// Windows has no folder to flush: a save's rename goes to disk before it returns.
bool CanFailFolderFlushes() { return false; }
void FailFolderFlushes(bool) {}

namespace {

namespace fs = std::filesystem;

constexpr char kErrorTitle[] = "Error - 发生错误";
const std::u16string kSample = u"sample [1]\r\n#\r\n";

TEST(BookSessionWindowsTest, TheTextOfABookAnotherProgramHoldsOpenIsNeverLostAtClosing) {
  TempDir dir;
  const fs::path book = dir.path() / Utf8Path("账本") / "book";
  fs::create_directory(book.parent_path());
  WriteBytes(book, Le(u"old [1]\r\n"));
  // {the answer to the failed save's question, what closing decides, whether the text is kept}
  const std::tuple<Answer, CloseDecision, bool> cases[] = {
      {Answer::kNo, CloseDecision::kStayOpen, false},
      {Answer::kKeepApart, CloseDecision::kClose, true},
  };
  for (const auto& [answer, decision, kept] : cases) {
    FakeMessenger messenger;
    FakeClock clock;
    BookSession session(book, kSample, messenger, clock);
    const std::u16string text = session.Open().value() + u"typed [2]";
    messenger.shown.clear();
    messenger.answers[kErrorTitle] = answer;
    const HANDLE other = CreateFileW(book.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    EXPECT_EQ(session.Close(Attendance::kAttended, text), decision);
    CloseHandle(other);
    ASSERT_FALSE(messenger.shown.empty());
    EXPECT_EQ(messenger.shown[0].title, kErrorTitle);
    EXPECT_NE(messenger.shown[0].body.find(SystemText(ERROR_SHARING_VIOLATION)), std::string::npos)
        << messenger.shown[0].body;
    EXPECT_EQ(ReadBytes(book), Le(u"old [1]\r\n"));
    std::vector<std::string> apart;
    for (const std::string& name : Entries(book.parent_path())) {
      if (name.starts_with("book.unsaved-")) apart.push_back(name);
    }
    ASSERT_EQ(apart.size(), kept ? 1u : 0u);
    if (kept) {
      EXPECT_EQ(ReadBytes(book.parent_path() / apart[0]), Le(text));
      fs::remove(book.parent_path() / apart[0]);
    }
    if (decision == CloseDecision::kStayOpen) {
      // Let go, the book takes the text at the next try.
      EXPECT_EQ(session.Close(Attendance::kAttended, text), CloseDecision::kClose);
      EXPECT_EQ(ReadBytes(book), Le(text));
      WriteBytes(book, Le(u"old [1]\r\n"));
    }
  }
}

}  // namespace
}  // namespace tallivan
