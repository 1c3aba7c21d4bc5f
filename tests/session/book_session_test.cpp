#include "session/book_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "session/companion_files.h"
#include "storage/history.h"
#include "tests/session/session_test_support.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;
using namespace std::string_literals;

TEST_F(BookSessionTest, ClosingWritesOnlyWhatChangedAndAsksBeforeOverwritingWhatItMustNot) {
  const std::optional<std::string> kNone;
  const std::string mine = Le(u"mine [1]\r\n"), odd = "abc", theirs = Le(u"theirs");
  const char *ro = "is read-only", *changed = "changed by another program";
  // The book at the end: the very file there was, a new one with the text, or what another
  // program left.
  enum class Outcome { kUntouched, kRewritten, kAsLeft };
  using enum Outcome;
  using enum Answer;
  using enum CloseDecision;
  const struct {
    const char* name;
    std::optional<std::string> at_open;     // nullopt: no book
    std::optional<std::string> after_open;  // what another program leaves after the opening
    unsigned mode;                          // 0: as made
    bool edited;
    std::optional<Answer> answer;  // to the question, if one comes; kAway: nobody is there
    const char* question;          // a phrase the question holds; empty: none is asked
    CloseDecision decision;
    Outcome book;
    bool kept_apart;  // the text went to a file of its own
  } cases[] = {
      {"unchanged, unattended", mine, mine, 0, false, kAway, "", kClose, kUntouched, false},
      {"unchanged, read-only", mine, mine, 0444, false, kNo, "", kClose, kUntouched, false},
      {"edited", mine, mine, 0, true, kAway, "", kClose, kRewritten, false},
      {"no book, sample unchanged", kNone, kNone, 0, false, kNo, "", kClose, kRewritten, false},
      {"read-only, no", mine, mine, 0444, true, kNo, ro, kStayOpen, kUntouched, false},
      {"read-only, yes", mine, mine, 0444, true, kYes, ro, kClose, kRewritten, false},
      {"read-only, keep apart", mine, mine, 0444, true, kKeepApart, ro, kClose, kUntouched, true},
      {"read-only, unattended", mine, mine, 0444, true, kAway, "", kClose, kUntouched, true},
      {"unreadable, sample unchanged", odd, odd, 0, false, kYes, "", kClose, kUntouched, false},
      {"unread, edited", odd, odd, 0, true, kYes, "could not be read", kClose, kRewritten, false},
      {"rewritten", mine, theirs, 0, false, kNo, changed, kStayOpen, kAsLeft, false},
      {"created", kNone, theirs, 0, false, kKeepApart, changed, kClose, kAsLeft, true},
      {"deleted", mine, kNone, 0, true, kYes, "deleted or moved", kClose, kRewritten, false},
      {"deleted, unattended", mine, kNone, 0, false, kAway, "", kClose, kAsLeft, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const fs::path& kept : Kept(dir_.path())) RemoveIfThere(kept);
    RemoveIfThere(Book());
    if (c.at_open) WriteBytes(Book(), *c.at_open);
    if (c.mode != 0) fs::permissions(Book(), static_cast<fs::perms>(c.mode));
    FakeMessenger messenger;
    std::unique_ptr<BookSession> session = Session(messenger);
    const std::u16string shown = session->Open().value_or(kSample);
    const std::u16string text = c.edited ? shown + u"x" : shown;
    if (c.after_open != c.at_open) {
      RemoveIfThere(Book());
      if (c.after_open) WriteBytes(Book(), *c.after_open);
    }
    const uint64_t before = FileId(Book());
    const size_t shown_before = messenger.shown.size();
    messenger.answers[kWarningTitle] = c.answer.value_or(kNo);
    const Attendance attendance = c.answer ? Attendance::kAttended : Attendance::kUnattended;
    EXPECT_EQ(session->Close(attendance, text), c.decision);

    const bool asked = *c.question != '\0';
    ASSERT_EQ(messenger.shown.size() - shown_before,
              (asked ? 1u : 0u) + (c.kept_apart && c.answer));
    if (asked) {
      const FakeMessenger::Shown& question = messenger.shown[shown_before];
      EXPECT_EQ(question.title, kWarningTitle);
      EXPECT_THAT(question.body, HasSubstr(c.question));
      EXPECT_THAT(question.body, HasSubstr(PathUtf8(Book())));
      EXPECT_EQ(question.default_answer, Answer::kNo);
      EXPECT_TRUE(question.offers_keep_apart);
    }
    if (c.book != Outcome::kRewritten) {
      EXPECT_EQ(ReadIfThere(Book()), c.after_open);
      if (c.book == Outcome::kUntouched) {
        EXPECT_EQ(FileId(Book()), before);
      }
    } else {
      EXPECT_EQ(ReadBytes(Book()), Le(text));
      // The text it replaced is kept in the book's history.
      const fs::path history = HistoryFolder(Book()).value();
      const std::vector<std::string> versions = Entries(history);
      ASSERT_EQ(versions.size(), c.at_open && c.after_open ? 1u : 0u);
      if (!versions.empty()) {
        EXPECT_EQ(ReadBytes(history / versions[0]), *c.after_open);
      }
      fs::remove_all(history);
      if (c.mode != 0) {
        EXPECT_TRUE(HasMode(Book(), c.mode));
      }
    }
    const std::vector<fs::path> kept = Kept(dir_.path());
    ASSERT_EQ(kept.size(), c.kept_apart ? 1u : 0u);
    if (kept.empty()) continue;
    EXPECT_EQ(ReadBytes(kept[0]), Le(text));
    EXPECT_TRUE(HasMode(kept[0], c.mode == 0444 ? 0400u : 0600u));
    // Whoever may read it later learns where the text went.
    const std::string told = c.answer ? messenger.shown.back().body : messenger.log.back();
    EXPECT_THAT(told, HasSubstr(PathUtf8(kept[0])));
  }
}

TEST_F(BookSessionTest, AFailedSaveLetsTheUserCloseStayOrKeepTheTextApartButNeverInTheRoot) {
  WriteBytes(dir_.path() / "file", "x");
  enum class Where { kNowhere, kBeside, kHome, kBook };
  using enum Where;
  using enum Answer;
  using enum CloseDecision;
  const fs::path root = RootFolder(), through = dir_.path() / "file/book";
  const struct {
    const char* name;
    fs::path book;
    const char* home;              // the home folder; "/" (the root) is no place for files
    bool flush_fails;              // the book goes in place, but its folder cannot be flushed
    std::optional<Answer> answer;  // to the question after the failure; kAway: nobody is there
    CloseDecision decision;
    Where text;  // where the text ends up
  } cases[] = {
      {"book is a folder, close anyway", Book(), "home", false, kYes, kClose, kNowhere},
      {"book is a folder, stay", Book(), "home", false, kNo, kStayOpen, kNowhere},
      {"book is a folder, keep apart", Book(), "home", false, kKeepApart, kClose, kBeside},
      {"folder is a file, keep apart", through, "home", false, kKeepApart, kClose, kHome},
      {"folder is a file, unattended", through, "home", false, kAway, kClose, kHome},
      {"no place at all, keep apart", through, "/", false, kKeepApart, kStayOpen, kNowhere},
      {"no place at all, unattended", through, "/", false, kAway, kStayOpen, kNowhere},
      {"folder not flushed", Book(), "home", true, kNo, kClose, kBook},
      {"folder not flushed, unattended", Book(), "home", true, kAway, kClose, kBook},
  };
  const auto in_root = [&root] {
    std::vector<std::string> names = Entries(root);
    std::erase_if(names, [](const std::string& name) { return !name.starts_with("tallivan-"); });
    return names;
  };
  const std::vector<std::string> root_before = in_root();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.flush_fails && !kStepsFail) continue;
    for (const fs::path& folder : {dir_.path(), Home()}) {
      for (const fs::path& kept : Kept(folder)) fs::remove(kept);
    }
    fs::remove_all(Book());
    if (!c.flush_fails) fs::create_directories(Book() / "x");
    clock_.now += std::chrono::minutes(1);  // a fresh name for what is kept apart
    SetVariable(kHomeVariable, PathUtf8(*c.home == '/' ? root : Home()));
    FakeMessenger messenger;
    std::unique_ptr<BookSession> session = Session(messenger, c.book);
    session->Open();
    messenger.shown.clear();
    messenger.answers = {{kWarningTitle, kYes}, {kErrorTitle, c.answer.value_or(kNo)}};
    const std::u16string text = kSample + u"x";
    const bool attended = c.answer.has_value();
    if (c.flush_fails) failing[Step::kSyncFolder] = {EIO, -1};
    EXPECT_EQ(session->Close(attended ? Attendance::kAttended : Attendance::kUnattended, text),
              c.decision);
    failing.clear();

    const std::string reason = c.flush_fails ? "could not be flushed" : PathUtf8(c.book);
    // The reason is told, to the user or to the log.
    std::string told;
    for (const auto& shown : messenger.shown) told += shown.body + "\n";
    for (const std::string& line : messenger.log) told += line + "\n";
    EXPECT_THAT(told, HasSubstr(!attended && !c.flush_fails && c.decision == kClose
                                    ? "kept in " + PathUtf8(c.text == kHome ? Home() : dir_.path())
                                    : reason));
    if (attended && !c.flush_fails) {
      const FakeMessenger::Shown& question =
          messenger.shown.at(messenger.shown.size() - 1 - (c.answer == kKeepApart));
      EXPECT_EQ(question.title, kErrorTitle);
      EXPECT_THAT(question.body, HasSubstr("Close without saving it?"));
      EXPECT_EQ(question.default_answer, kNo);
      EXPECT_TRUE(question.offers_keep_apart);
    }
    EXPECT_EQ(c.text == kBook, fs::is_regular_file(Book()) && ReadBytes(Book()) == Le(text));
    const std::vector<fs::path> beside = Kept(dir_.path()), at_home = Kept(Home());
    EXPECT_EQ(beside.size(), c.text == kBeside ? 1u : 0u);
    EXPECT_EQ(at_home.size(), c.text == kHome ? 1u : 0u);
    for (const fs::path& kept : beside.empty() ? at_home : beside) {
      EXPECT_EQ(ReadBytes(kept), Le(text));
      EXPECT_TRUE(
          PathUtf8(kept.filename()).starts_with(c.text == kHome ? "tallivan-book." : "book."));
    }
    EXPECT_EQ(in_root(), root_before);
    // What went to a file without anyone there is told at the next start, and only then.
    if (c.decision == kStayOpen) continue;
    for (const size_t expected :
         {c.text != kBook && c.text != kNowhere && !attended ? 1u : 0u, 0u}) {
      FakeMessenger next;
      Session(next, c.book)->Open();

      EXPECT_EQ(next.Showing({"was kept in:"}), expected);
    }
  }
}

TEST_F(BookSessionTest, KeepsARecoveryCopyShortlyAfterChangesWhileTheTextDiffersFromTheBook) {
  for (const unsigned mode : {0644u, 0444u}) {
    WriteBytes(Book(), Le(u"book"));
    fs::permissions(Book(), static_cast<fs::perms>(mode));
    FakeMessenger messenger;
    std::unique_ptr<BookSession> session = Session(messenger);
    session->Open();
    const fs::path copy = session->recovery_copy();
    EXPECT_EQ(copy.parent_path(), dir_.path());
    EXPECT_FALSE(session->RecoveryCopyDue());
    // Due a quiet while after the last change; while changes go on, soon after the first but in
    // a pause between them; and never very long after the first.
    const TimePoint start = clock_.now;
    const std::pair<int, int> changes_and_due_ms[] = {{0, 2000},    {1000, 3000},  {2000, 4000},
                                                      {4000, 5000}, {4900, 5150},  {5100, 5350},
                                                      {9000, 9250}, {14900, 15000}};
    for (const auto& [change, due] : changes_and_due_ms) {
      clock_.now = start + std::chrono::milliseconds(change);
      session->TextChanged();
      EXPECT_EQ(session->RecoveryCopyDue(), start + std::chrono::milliseconds(due)) << change;
    }
    session->KeepRecoveryCopy(u"book x");
    EXPECT_FALSE(session->RecoveryCopyDue());
    session->FinishRecoveryCopies();
    EXPECT_EQ(ReadBytes(copy), Le(u"book x"));
    EXPECT_TRUE(HasMode(copy, mode == 0444 ? 0400u : 0600u));
    EXPECT_EQ(ReadBytes(Book()), Le(u"book"));
    // Back to what the book holds: no copy is needed.
    session->KeepRecoveryCopy(u"book");
    session->FinishRecoveryCopies();
    EXPECT_FALSE(fs::exists(copy));
    session->KeepRecoveryCopy(u"book y");
    messenger.answers[kWarningTitle] = Answer::kNo;
    const CloseDecision decision = session->Close(Attendance::kAttended, u"book y");
    // Staying open keeps the copy; a clean close removes it.
    EXPECT_EQ(fs::exists(copy), decision == CloseDecision::kStayOpen);
    EXPECT_EQ(decision, mode == 0444 ? CloseDecision::kStayOpen : CloseDecision::kClose);
    fs::permissions(Book(), fs::perms::owner_read | fs::perms::owner_write);
    RemoveIfThere(copy);
  }
}

TEST_F(BookSessionTest, ARecoveryCopyLeftByACrashIsOfferedOnceAndOnlyALiveWindowIsToldOf) {
  enum class Copy { kNewer, kOlder, kSame, kLive };
  const struct {
    const char* name;
    Copy copy;
    Answer answer;
    bool asked;
    bool restored;
    bool kept;  // becomes a file kept apart, told about once
  } cases[] = {
      {"newer, restored", Copy::kNewer, Answer::kYes, true, true, false},
      {"newer, declined", Copy::kNewer, Answer::kNo, true, false, true},
      {"older than the book", Copy::kOlder, Answer::kYes, false, false, true},
      {"the same as the book", Copy::kSame, Answer::kYes, false, false, false},
      {"of a window still open", Copy::kLive, Answer::kYes, false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const fs::path& kept : Kept(dir_.path())) fs::remove(kept);
    WriteBytes(Book(), Le(u"book"));
    const std::u16string typed = c.copy == Copy::kSame ? u"book" : u"book typed";
    FakeMessenger first_messenger;
    auto first = Session(first_messenger);
    first->Open();
    first->KeepRecoveryCopy(typed);
    first->FinishRecoveryCopies();
    const fs::path copy = first->recovery_copy();
    if (c.copy == Copy::kSame) WriteBytes(copy, Le(typed));
    const fs::file_time_type book_time = fs::last_write_time(Book());
    fs::last_write_time(copy, book_time + (c.copy == Copy::kOlder ? -seconds(60) : seconds(60)));
    if (c.copy != Copy::kLive) first.reset();  // ends as a crash ends it: no Close

    FakeMessenger messenger;
    messenger.answers[kWarningTitle] = c.answer;
    auto session = Session(messenger);
    const std::optional<std::u16string> shown = session->Open();
    EXPECT_EQ(shown, c.restored ? std::optional(typed) : std::optional(u"book"s));
    // A window that ended without closing, as a crash ends it, leaves nothing that warns.
    EXPECT_EQ(messenger.Showing({"already open in another Tallivan window"}),
              c.copy == Copy::kLive ? 1u : 0u);
    const auto restore = std::find_if(messenger.shown.begin(), messenger.shown.end(),
                                      [](const auto& shown) { return shown.default_answer; });
    ASSERT_EQ(restore != messenger.shown.end(), c.asked);
    if (c.asked) {
      EXPECT_THAT(restore->body, HasSubstr("recovery copy"));
      EXPECT_EQ(restore->default_answer, Answer::kYes);
    }
    const std::vector<fs::path> kept = Kept(dir_.path());
    ASSERT_EQ(kept.size(), c.kept ? 1u : 0u);
    if (c.kept) {
      EXPECT_EQ(ReadBytes(kept[0]), Le(typed));
      EXPECT_THAT(messenger.shown.back().body, HasSubstr(PathUtf8(kept[0])));
    }
    EXPECT_EQ(fs::exists(copy), c.copy == Copy::kLive || c.restored);
    // A restored text is saved as any other at closing, and its copy goes.
    EXPECT_EQ(session->Close(Attendance::kAttended, shown.value_or(u"")), CloseDecision::kClose);
    EXPECT_EQ(ReadBytes(Book()), Le(c.restored ? typed : u"book"));
    EXPECT_EQ(fs::exists(copy), c.copy == Copy::kLive);
    first.reset();
    fs::remove(copy);
    // A stray file whose number is past any slot is no window's copy.
    const fs::path stray = dir_.path() / ".book.recovery-99999999999";
    WriteBytes(stray, ReadBytes(Book()));
    FakeMessenger again;
    Session(again)->Open();
    EXPECT_TRUE(again.shown.empty()) << again.shown.at(0).body;
    RemoveIfThere(stray);
  }
}

}  // namespace
}  // namespace tallivan
