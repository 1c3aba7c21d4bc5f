// What only Windows has: books that another program holds open.
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>

#include "tests/session/session_test_support.h"

namespace tallivan {

namespace {

namespace fs = std::filesystem;

TEST_F(BookSessionTest, TheTextOfABookAnotherProgramHoldsOpenIsNeverLostAtClosing) {
  const fs::path book = dir_.path() / Utf8Path("账本") / "book";
  fs::create_directory(book.parent_path());
  WriteBytes(book, Le(u"old [1]\r\n"));
  // {the answer to the failed save's question, what closing decides, whether the text is kept}
  const std::tuple<Answer, CloseDecision, bool> cases[] = {
      {Answer::kNo, CloseDecision::kStayOpen, false},
      {Answer::kKeepApart, CloseDecision::kClose, true},
  };
  for (const auto& [answer, decision, kept] : cases) {
    FakeMessenger messenger;
    const std::unique_ptr<BookSession> session = Session(messenger, book);
    const std::u16string text = session->Open().value() + u"typed [2]";
    messenger.shown.clear();
    messenger.answers[kErrorTitle] = answer;
    const HANDLE other = CreateFileW(book.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    EXPECT_EQ(session->Close(Attendance::kAttended, text), decision);
    CloseHandle(other);
    ASSERT_FALSE(messenger.shown.empty());
    EXPECT_EQ(messenger.shown[0].title, kErrorTitle);
    EXPECT_THAT(messenger.shown[0].body, HasSubstr(SystemText(ERROR_SHARING_VIOLATION)));
    EXPECT_EQ(ReadBytes(book), Le(u"old [1]\r\n"));
    const std::vector<fs::path> apart = Kept(book.parent_path());
    ASSERT_EQ(apart.size(), kept ? 1u : 0u);
    if (kept) {
      EXPECT_EQ(ReadBytes(apart[0]), Le(text));
      fs::remove(apart[0]);
    }
    if (decision == CloseDecision::kStayOpen) {
      // Let go, the book takes the text at the next try.
      EXPECT_EQ(session->Close(Attendance::kAttended, text), CloseDecision::kClose);
      EXPECT_EQ(ReadBytes(book), Le(text));
      WriteBytes(book, Le(u"old [1]\r\n"));
    }
  }
}

}  // namespace
}  // namespace tallivan
