// What only POSIX systems have: other users.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>

#include "tests/session/session_test_support.h"
#include "tests/storage/test_posix.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;

TEST_F(BookSessionTest, AnUnwritableFolderIsToldAtTheStartAndAWritableBookThereIsWrittenInPlace) {
  // Root's folder, which nobody may read but not write, with nobody's own home beside it.
  fs::permissions(dir_.path(), static_cast<fs::perms>(0755));
  fs::create_directories(dir_.path() / "shelf");
  ASSERT_EQ(chown(Home().c_str(), kNobody, kNogroup), 0);
  WriteBytes(dir_.path() / "shelf/book", Le(u"root's"));
  WriteBytes(dir_.path() / "shelf/mine", Le(u"nobody's"));
  ASSERT_EQ(chown((dir_.path() / "shelf/mine").c_str(), kNobody, kNogroup), 0);
  const fs::path missing = dir_.path() / "shelf/new", readable = dir_.path() / "shelf/book",
                 writable = dir_.path() / "shelf/mine";
  const struct {
    fs::path book;
    const char* told;  // at the start
    bool edited;
    CloseDecision decision;
    size_t messages;  // at closing
  } cases[] = {
      // A new book cannot be made there: the failed save asks what to do, and its safe answer
      // keeps the text apart in the user's own state folder.
      {missing, "cannot be saved", false, CloseDecision::kClose, 2},
      // Nothing changed, so nothing is written, and nothing fails.
      {readable, "cannot be saved", false, CloseDecision::kClose, 0},
      // The book is written over in place; its old text cannot be kept beside it, which is told.
      {writable, "write the book over in place", true, CloseDecision::kClose, 1},
  };
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become nobody";
  SetVariable(kStateVariable, PathUtf8(Home() / "state"));
  const std::string said = RunAs(kNobody, kNogroup, {}, [&] {
    for (const auto& c : cases) {
      SCOPED_TRACE(c.book);
      FakeMessenger messenger;
      auto session = Session(messenger, c.book);
      const std::u16string shown = session->Open().value_or(kSample);
      EXPECT_GT(messenger.Showing({c.told, c.book.string()}), 0u);
      messenger.shown.clear();
      const std::u16string text = c.edited ? shown + u"x" : shown;
      EXPECT_EQ(session->Close(Attendance::kAttended, text), c.decision);
      EXPECT_EQ(messenger.shown.size(), c.messages);
    }
    return ::testing::Test::HasFailure() ? "the unprivileged part failed" : "";
  });
  EXPECT_EQ(said, "");
  EXPECT_EQ(ReadBytes(readable), Le(u"root's"));
  EXPECT_EQ(ReadBytes(writable), Le(u"nobody'sx"));
  EXPECT_FALSE(fs::exists(missing));
}
}  // namespace
}  // namespace tallivan
