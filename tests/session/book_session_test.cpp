#include "session/book_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>

#include "storage/history.h"
#include "tests/session/session_test_support.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

TEST_F(BookSessionTest, ClosingWritesOnlyWhatChangedAndAsksBeforeOverwritingWhatItMustNot) {
  const std::optional<std::string> kNone;
  const std::string mine = Le(u"mine [1]\r\n"), odd = "abc", theirs = Le(u"theirs");
  const char *ro = "is read-only", *changed = "changed by another program";
  const char *unread = "could not be read", *inexact = "cannot show exactly",
             *deleted = "deleted or moved";
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
    bool inexact;                  // the box could not hold the book exactly
    std::optional<Answer> answer;  // to the question, if one comes; kAway: nobody is there
    const char* question;          // a phrase the question holds; empty: none is asked
    CloseDecision decision;
    Outcome book;
    bool kept_apart;  // the text went to a file of its own
  } cases[] = {
      {"unchanged, unattended", mine, mine, 0, false, false, kAway, "", kClose, kUntouched, false},
      {"unchanged, read-only", mine, mine, 0444, false, false, kNo, "", kClose, kUntouched, false},
      {"edited", mine, mine, 0, true, false, kAway, "", kClose, kRewritten, false},
      {"no book, sample as is", kNone, kNone, 0, false, false, kNo, "", kClose, kRewritten, false},
      {"read-only, no", mine, mine, 0444, true, false, kNo, ro, kStayOpen, kUntouched, false},
      {"read-only, yes", mine, mine, 0444, true, false, kYes, ro, kClose, kRewritten, false},
      {"read-only, apart", mine, mine, 0444, true, false, kKeepApart, ro, kClose, kUntouched, true},
      {"read-only, unattended", mine, mine, 0444, true, false, kAway, "", kClose, kUntouched, true},
      {"unreadable, sample as is", odd, odd, 0, false, false, kYes, "", kClose, kUntouched, false},
      {"unread, edited", odd, odd, 0, true, false, kYes, unread, kClose, kRewritten, false},
      {"inexact, unedited", mine, mine, 0, false, true, kYes, "", kClose, kUntouched, false},
      {"inexact, edited", mine, mine, 0, true, true, kYes, inexact, kClose, kRewritten, false},
      // A window with nothing typed has nothing to save, whatever became of the book.
      {"rewritten, unedited", mine, theirs, 0, false, false, kYes, "", kClose, kAsLeft, false},
      {"rewritten, edited", mine, theirs, 0, true, false, kNo, changed, kStayOpen, kAsLeft, false},
      {"created, sample as is", kNone, theirs, 0, false, false, kYes, "", kClose, kAsLeft, false},
      {"created, edited", kNone, theirs, 0, true, false, kKeepApart, changed, kClose, kAsLeft,
       true},
      {"deleted", mine, kNone, 0, true, false, kYes, deleted, kClose, kRewritten, false},
      {"deleted, unedited", mine, kNone, 0, false, false, kAway, "", kClose, kAsLeft, false},
      {"deleted, unattended", mine, kNone, 0, true, false, kAway, "", kClose, kAsLeft, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const fs::path& kept : Kept(dir_.path())) RemoveIfThere(kept);
    RemoveTree(StateOf(Book()));  // what a window left open by the last row kept
    RemoveIfThere(Book());
    if (c.at_open) WriteBytes(Book(), *c.at_open);
    if (c.mode != 0) fs::permissions(Book(), static_cast<fs::perms>(c.mode));
    FakeMessenger messenger;
    std::unique_ptr<BookSession> session = Session(messenger);
    std::u16string shown = session->Open().value_or(kSample);
    if (c.inexact) {
      shown = u"held";
      session->ShownInexactly(shown);
    }
    const std::u16string text = c.edited ? shown + u"x" : shown;
    if (c.after_open != c.at_open) {
      RemoveIfThere(Book());
      if (c.after_open) WriteBytes(Book(), *c.after_open);
    }
    const uint64_t before = FileId(Book());
    messenger.shown.clear();
    messenger.answers[kWarningTitle] = c.answer.value_or(kNo);
    const Attendance attendance = c.answer ? Attendance::kAttended : Attendance::kUnattended;
    EXPECT_EQ(session->Close(attendance, text), c.decision);

    const bool asked = *c.question != '\0';
    ASSERT_EQ(messenger.shown.size(), (asked ? 1u : 0u) + (c.kept_apart && c.answer));
    if (asked) {
      const FakeMessenger::Shown& question = messenger.shown[0];
      EXPECT_EQ(question.title, kWarningTitle);
      EXPECT_THAT(question.body, HasSubstr(c.question));
      EXPECT_THAT(question.body, HasSubstr(PathUtf8(Book())));
      // Every button says what it does, and the safe one keeps both the text and the book.
      EXPECT_EQ(question.safe, Answer::kNo);
      EXPECT_EQ(question.Label(Answer::kNo), "&Don't close - 不关闭");
      EXPECT_EQ(question.Label(Answer::kKeepApart), "&Keep apart and close - 另存并关闭");
      EXPECT_EQ(question.Label(Answer::kYes),
                c.after_open ? "&Overwrite - 覆盖" : "&Create it - 创建");
      EXPECT_THAT(question.body, HasSubstr("Keep apart and close: the text of this window goes "
                                           "into a file of its own in " +
                                           PathUtf8(dir_.path())));
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

TEST_F(BookSessionTest, AFailedSaveKeepsTheTextApartUnlessTheUserSaysOtherwiseButNeverInTheRoot) {
  WriteBytes(dir_.path() / "file", "x");
  enum class Where { kNowhere, kBeside, kState, kBook };
  using enum Where;
  using enum Answer;
  using enum CloseDecision;
  const fs::path root = RootFolder(), through = dir_.path() / "file/book";
  const struct {
    const char* name;
    fs::path book;
    bool has_state;                // a state folder can be had
    bool flush_fails;              // the book goes in place, but its folder cannot be flushed
    std::optional<Answer> answer;  // to the question after the failure; kAway: nobody is there
    CloseDecision decision;
    Where text;  // where the text ends up
  } cases[] = {
      {"book is a folder, close without saving", Book(), true, false, kYes, kClose, kNowhere},
      {"book is a folder, stay", Book(), true, false, kNo, kStayOpen, kNowhere},
      {"book is a folder, keep apart", Book(), true, false, kKeepApart, kClose, kBeside},
      {"folder is a file, keep apart", through, true, false, kKeepApart, kClose, kState},
      {"folder is a file, unattended", through, true, false, kAway, kClose, kState},
      {"no place at all, keep apart", through, false, false, kKeepApart, kStayOpen, kNowhere},
      {"no place at all, unattended", through, false, false, kAway, kStayOpen, kNowhere},
      {"folder not flushed", Book(), true, true, kNo, kClose, kBook},
      {"folder not flushed, unattended", Book(), true, true, kAway, kClose, kBook},
  };
  const auto in_root = [&root] {
    std::vector<std::string> names = Entries(root);
    std::erase_if(
        names, [](const std::string& name) { return name.find("unsaved") == std::string::npos; });
    return names;
  };
  const std::vector<std::string> root_before = in_root();
  const fs::path state_of_through = StateOf(through);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.flush_fails && !kStepsFail) continue;
    fs::remove_all(dir_.path() / "state");  // with what a window left open by the last row kept
    for (const fs::path& kept : Kept(dir_.path())) fs::remove(kept);
    fs::remove_all(Book());
    if (!c.flush_fails) fs::create_directories(Book() / "x");
    clock_.now += std::chrono::minutes(1);  // a fresh name for what is kept apart
    // With neither a state folder (its path runs through a file; Windows always has a folder
    // for it when none is named) nor a home folder (the root is none), there is no place.
    SetVariable(kHomeVariable, PathUtf8(c.has_state ? Home() : root));
    SetVariable(kStateVariable, PathUtf8(c.has_state ? dir_.path() / "state" : through));
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

    const fs::path kept_where = c.text == kState ? state_of_through : dir_.path();
    const std::string reason = c.flush_fails  ? "could not be flushed"
                               : !c.has_state ? "could not be kept in a separate file"
                                              : PathUtf8(c.book);
    // The reason is told, to the user or to the log.
    std::string told;
    for (const auto& shown : messenger.shown) told += shown.body + "\n";
    for (const std::string& line : messenger.log) told += line + "\n";
    EXPECT_THAT(told, HasSubstr(!attended && !c.flush_fails && c.decision == kClose
                                    ? "kept in " + PathUtf8(kept_where)
                                    : reason));
    if (attended && !c.flush_fails) {
      const FakeMessenger::Shown& question =
          messenger.shown.at(messenger.shown.size() - 1 - (c.answer == kKeepApart));
      EXPECT_EQ(question.title, kErrorTitle);
      EXPECT_THAT(question.body, HasSubstr("could not be saved"));
      // Keeping the text apart is the safe answer; the one that drops it says so.
      EXPECT_EQ(question.safe, kKeepApart);
      EXPECT_EQ(question.Label(kYes), "Close &without saving - 不保存就关闭");
      if (c.answer == kKeepApart && c.decision == kClose) {
        EXPECT_THAT(messenger.shown.back().body, HasSubstr("tallivan --book FILE"));
      }
    }
    EXPECT_EQ(c.text == kBook, fs::is_regular_file(Book()) && ReadBytes(Book()) == Le(text));
    const std::vector<fs::path> beside = Kept(dir_.path()), in_state = Kept(state_of_through);
    EXPECT_EQ(beside.size(), c.text == kBeside ? 1u : 0u);
    EXPECT_EQ(in_state.size(), c.text == kState ? 1u : 0u);
    for (const fs::path& kept : beside.empty() ? in_state : beside) {
      EXPECT_EQ(ReadBytes(kept), Le(text));
      EXPECT_TRUE(PathUtf8(kept.filename()).starts_with("book.unsaved-"));
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
    // In the user's own state folder, never beside the book where others may write.
    EXPECT_EQ(copy.parent_path(), StateOf(Book()));
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
    // A close that asks keeps what it was given first, whatever then ends the window.
    session->TextChanged();
    messenger.answers[kWarningTitle] = Answer::kNo;
    const CloseDecision decision = session->Close(Attendance::kAttended, u"book y");
    EXPECT_EQ(decision, mode == 0444 ? CloseDecision::kStayOpen : CloseDecision::kClose);
    // Staying open keeps the copy; a clean close removes it.
    EXPECT_EQ(ReadIfThere(copy),
              decision == CloseDecision::kStayOpen ? std::optional(Le(u"book y")) : std::nullopt);
    fs::permissions(Book(), fs::perms::owner_read | fs::perms::owner_write);
    session.reset();
    RemoveIfThere(copy);
  }
}

TEST_F(BookSessionTest, EveryCrashedWindowsTextSurvivesAndARestoreOntoAChangedBookAsks) {
  struct Made {
    const char16_t* text;
    int seconds;  // its time against the book's
    bool live;    // its window is still open
  };
  const Made newer = {u"typed", 60, false};
  const std::vector<Made> two = {{u"alpha", 60, false}, {u"beta", 120, false}};
  const struct {
    const char* name;
    std::vector<Made> copies;
    bool changed;  // another program changed the book after the copies were taken
    Answer answer;
    bool asked;
    std::optional<std::u16string> restored;
    std::set<std::u16string> kept;
  } cases[] = {
      {"newer, restored", {newer}, false, Answer::kYes, true, u"typed", {}},
      {"newer, kept apart", {newer}, false, Answer::kNo, true, {}, {u"typed"}},
      {"as new as the book", {{u"typed", 0, false}}, false, Answer::kYes, true, u"typed", {}},
      {"older than the book", {{u"typed", -60, false}}, false, Answer::kYes, false, {}, {u"typed"}},
      {"the same as the book", {{u"book", 60, false}}, false, Answer::kYes, false, {}, {}},
      {"of a window still open", {{u"typed", 60, true}}, false, Answer::kYes, false, {}, {}},
      {"two crashed, newest restored", two, false, Answer::kYes, true, u"beta", {u"alpha"}},
      {"two crashed, both kept apart", two, false, Answer::kNo, true, {}, {u"alpha", u"beta"}},
      {"restored onto a changed book", {newer}, true, Answer::kYes, true, u"typed", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const fs::path& kept : Kept(dir_.path())) fs::remove(kept);
    WriteBytes(Book(), Le(u"book"));
    std::vector<std::unique_ptr<BookSession>> windows;
    std::vector<fs::path> copies;
    FakeMessenger first_messenger;
    for (const Made& made : c.copies) {
      windows.push_back(Session(first_messenger));
      windows.back()->Open();
      windows.back()->KeepRecoveryCopy(std::u16string(made.text));
      windows.back()->FinishRecoveryCopies();
      copies.push_back(windows.back()->recovery_copy());
    }
    if (c.changed) WriteBytes(Book(), Le(u"book outside"));
    const fs::file_time_type book_time = fs::last_write_time(Book());
    for (size_t i = 0; i < c.copies.size(); ++i) {
      // A copy of what the book holds is no copy at all.
      if (fs::exists(copies[i])) {
        fs::last_write_time(copies[i], book_time + seconds(c.copies[i].seconds));
      }
      // Ends as a crash ends it: no Close.
      if (!c.copies[i].live) windows[i].reset();
    }

    FakeMessenger messenger;
    messenger.answers[kWarningTitle] = c.answer;
    auto session = Session(messenger);
    const std::u16string book = c.changed ? u"book outside" : u"book";
    const std::optional<std::u16string> shown = session->Open();
    EXPECT_EQ(shown, c.restored.value_or(book));
    // A window that ended without closing, as a crash ends it, leaves nothing that warns.
    EXPECT_EQ(messenger.Showing({"already open in another Tallivan window"}),
              c.copies[0].live ? 1u : 0u);
    const auto restore = std::find_if(messenger.shown.begin(), messenger.shown.end(),
                                      [](const auto& shown) { return shown.safe.has_value(); });
    ASSERT_EQ(restore != messenger.shown.end(), c.asked);
    if (c.asked) {
      EXPECT_THAT(restore->body, HasSubstr("recovery copy"));
      EXPECT_EQ(restore->safe, Answer::kNo);
      EXPECT_EQ(restore->Label(Answer::kYes), "&Restore - 恢复");
      EXPECT_EQ(restore->Label(Answer::kNo), "&Keep it apart - 另存");
    }
    std::set<std::u16string> kept;
    for (const fs::path& file : Kept(dir_.path())) {
      kept.insert(FromLe(ReadBytes(file)));
      // Where each went is told.
      EXPECT_EQ(messenger.Showing({PathUtf8(file), "tallivan --book FILE"}), 1u);
    }
    EXPECT_EQ(kept, c.kept);
    // A restored text is saved at closing as any other, unless the book changed since its copy
    // was taken: that is a conflict, and closing asks.
    messenger.shown.clear();
    messenger.answers[kWarningTitle] = Answer::kYes;
    EXPECT_EQ(session->Close(Attendance::kAttended, shown.value_or(u"")), CloseDecision::kClose);
    EXPECT_EQ(messenger.Showing({"changed by another program"}), c.changed ? 1u : 0u);
    EXPECT_EQ(ReadBytes(Book()), Le(c.restored.value_or(book)));
    session.reset();
    windows.clear();
    // No copy outlives a clean close.
    if (!c.copies[0].live) {
      EXPECT_THAT(Entries(StateOf(Book())), ::testing::Each(::testing::Not(HasSubstr("recovery"))));
    }
    fs::remove_all(StateOf(Book()));
  }
  // Names that only look like a copy's are no window's.
  fs::create_directories(StateOf(Book()));
  for (const char* stray : {"recovery-00", "recovery-99999999999", "recovery-+1", "recovery-64"}) {
    WriteBytes(StateOf(Book()) / stray, Le(u"stray"));
  }
  FakeMessenger again;
  Session(again)->Open();
  EXPECT_TRUE(again.shown.empty()) << again.shown.at(0).body;
}

TEST_F(BookSessionTest, AKeptFileIsReportedUntilTheUserSawItAndAgainWhenItsNameComesBack) {
  WriteBytes(Book(), Le(u"book"));
  // Kept apart when nobody was there.
  {
    FakeMessenger messenger;
    auto session = Session(messenger);
    session->Open();
    fs::permissions(Book(), static_cast<fs::perms>(0444));
    EXPECT_EQ(session->Close(Attendance::kUnattended, u"book x"), CloseDecision::kClose);
    fs::permissions(Book(), static_cast<fs::perms>(0644));
  }
  ASSERT_EQ(Kept(dir_.path()).size(), 1u);
  const fs::path kept = Kept(dir_.path())[0];
  const auto told_at_start = [&](bool lost) {
    FakeMessenger messenger;
    messenger.messages_lost = lost;
    Session(messenger)->Open();
    return messenger.Showing({"was kept in:", PathUtf8(kept)}) + messenger.lost;
  };
  EXPECT_EQ(told_at_start(true), 1u);   // the window was killed while it was shown
  EXPECT_EQ(told_at_start(false), 1u);  // so it is shown again
  EXPECT_EQ(told_at_start(false), 0u);  // and then no more
  const std::string bytes = ReadBytes(kept);
  fs::remove(kept);
  EXPECT_EQ(told_at_start(false), 0u);
  // The same name again (an hour repeated when summer time ends) is a new file to tell of.
  WriteBytes(kept, bytes);
  fs::permissions(kept, static_cast<fs::perms>(0600));
  EXPECT_EQ(told_at_start(false), 1u);
  // Kept apart with the user there, but the message never reached anyone.
  FakeMessenger messenger;
  messenger.answers[kWarningTitle] = Answer::kKeepApart;
  auto session = Session(messenger);
  session->Open();
  fs::permissions(Book(), static_cast<fs::perms>(0444));
  messenger.messages_lost = true;
  EXPECT_EQ(session->Close(Attendance::kAttended, u"book y"), CloseDecision::kClose);
  fs::permissions(Book(), static_cast<fs::perms>(0644));
  FakeMessenger next;
  Session(next)->Open();
  EXPECT_EQ(next.Showing({"was kept in:"}), 1u);
}

TEST_F(BookSessionTest, ACopyThatCannotBeWrittenGoesToTheSpareFolderAndIsToldOnce) {
  for (const bool spare : {true, false}) {
    SCOPED_TRACE(spare);
    fs::remove_all(dir_.path() / "state");
    const fs::path run = dir_.path() / "run";
    fs::remove_all(run);
    fs::create_directory(run);
    SetVariable(kRuntimeVariable, spare ? std::optional(PathUtf8(run)) : std::nullopt);
    if (spare && !RuntimeFolderPath()) continue;  // a system without such a folder
    WriteBytes(Book(), Le(u"book"));
    FakeMessenger messenger;
    auto session = Session(messenger);
    int woken = 0;
    session->OnRecoveryTrouble([&woken] { ++woken; });
    session->Open();
    // The copy's name is taken by a folder: nothing can be written there.
    fs::create_directory(session->recovery_copy());
    for (const char16_t* typed : {u"book 1", u"book 2"}) {
      session->KeepRecoveryCopy(std::u16string(typed));
      session->FinishRecoveryCopies();
      session->TellRecoveryTrouble();
    }
    EXPECT_EQ(woken, 1);
    ASSERT_EQ(messenger.shown.size(), 1u);
    EXPECT_THAT(messenger.shown[0].body,
                HasSubstr(spare ? "kept in " + PathUtf8(run) : "Crash recovery has stopped"));
    // After a crash, the copy in the spare folder is offered.
    session.reset();
    fs::remove(StateOf(Book()) / "recovery-0");
    FakeMessenger next;
    next.answers[kWarningTitle] = Answer::kYes;
    EXPECT_EQ(Session(next)->Open(), spare ? u"book 2" : u"book");
  }
}

TEST_F(BookSessionTest, SavingWithTheWindowOpenWritesAsClosingWouldAndKeepsTheSessionGoing) {
  using enum SaveOutcome;
  WriteBytes(Book(), Le(u"book"));
  FakeMessenger messenger;
  auto session = Session(messenger);
  session->Open();
  session->KeepRecoveryCopy(u"book x");
  session->FinishRecoveryCopies();
  EXPECT_EQ(session->Save(u"book x"), kSaved);
  EXPECT_EQ(ReadBytes(Book()), Le(u"book x"));
  EXPECT_EQ(Entries(HistoryFolder(Book()).value()).size(), 1u);
  EXPECT_FALSE(fs::exists(session->recovery_copy())) << "the book holds all of it";
  // Another program changes the book: the next save asks, and only writes when told to.
  WriteBytes(Book(), Le(u"outside"));
  const struct {
    Answer answer;
    SaveOutcome outcome;
    const char* book;
  } answers[] = {{Answer::kNo, kNotSaved, "outside"}, {Answer::kYes, kSaved, "book y"}};
  for (const auto& a : answers) {
    messenger.shown.clear();
    messenger.answers[kWarningTitle] = a.answer;
    EXPECT_EQ(session->Save(u"book y"), a.outcome);
    ASSERT_EQ(messenger.shown.size(), 1u);
    EXPECT_THAT(messenger.shown[0].body, HasSubstr("changed by another program"));
    EXPECT_EQ(messenger.shown[0].Label(Answer::kNo), "Do&n't save - 不保存");
    EXPECT_EQ(messenger.shown[0].Label(Answer::kKeepApart), "");
    EXPECT_EQ(ReadBytes(Book()), Le(std::u16string(a.book, a.book + std::strlen(a.book))));
  }
  // A save that fails is told; the window goes on, with its text in the recovery copy.
  fs::remove(Book());
  fs::create_directory(Book());
  messenger.shown.clear();
  messenger.answers[kWarningTitle] = Answer::kYes;
  EXPECT_EQ(session->Save(u"book z"), kNotSaved);
  EXPECT_EQ(messenger.Showing({"could not be saved"}), 1u);
  EXPECT_EQ(ReadBytes(session->recovery_copy()), Le(u"book z"));
  fs::remove(Book());
  EXPECT_EQ(session->Close(Attendance::kAttended, u"book z"), CloseDecision::kClose);
  EXPECT_EQ(ReadBytes(Book()), Le(u"book z"));
  // A history that cannot be kept is told once a window, in both languages, however often it
  // saves.
  fs::remove_all(HistoryFolder(Book()).value());
  WriteBytes(HistoryFolder(Book()).value(), "not a folder");
  FakeMessenger told;
  auto next = Session(told);
  next->Open();
  for (const char16_t* text : {u"1", u"2"}) EXPECT_EQ(next->Save(text), kSaved);
  EXPECT_EQ(next->Close(Attendance::kAttended, u"3"), CloseDecision::kClose);
  EXPECT_EQ(ReadBytes(Book()), Le(u"3"));
  EXPECT_EQ(told.Showing({"could not be kept in its history", "未能保存到它的历史中"}), 1u);
  EXPECT_EQ(told.shown.size(), 1u);
}

TEST_F(BookSessionTest, BooksOfOneNameInDifferentFoldersKeepTheirFilesApart) {
  const fs::path a = dir_.path() / "a" / "book", b = dir_.path() / "b" / "book";
  fs::create_directories(a.parent_path());
  fs::create_directories(b.parent_path());
  FakeMessenger messenger;
  auto first = Session(messenger, a), second = Session(messenger, b);
  first->Open();
  second->Open();
  EXPECT_EQ(messenger.Showing({"already open"}), 0u);
  EXPECT_NE(first->recovery_copy().parent_path(), second->recovery_copy().parent_path());
  first->KeepRecoveryCopy(u"a typed");
  second->KeepRecoveryCopy(u"b typed");
  first->FinishRecoveryCopies();
  second->FinishRecoveryCopies();
  first.reset();
  second.reset();
  for (const auto& [book, typed] : {std::pair{a, u"a typed"}, std::pair{b, u"b typed"}}) {
    FakeMessenger next;
    next.answers[kWarningTitle] = Answer::kYes;
    EXPECT_EQ(Session(next, book)->Open(), std::u16string(typed));
  }
}

}  // namespace
}  // namespace tallivan
