#include "session/book_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>

#include "session/companion_files.h"
#include "storage/history.h"
#include "tests/session/session_test_support.h"
#include "tests/storage/test_files.h"
#include "tests/storage/test_platform.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;
using namespace std::string_literals;

constexpr char kWarningTitle[] = "Warning - 警告";
constexpr char kInfoTitle[] = "Info - 提示";
constexpr char kErrorTitle[] = "Error - 发生错误";
const std::u16string kSample = u"sample [1]\r\n#\r\n";

bool IsReadOnly(const fs::path& path) {
  return (fs::status(path).permissions() & fs::perms::owner_write) == fs::perms::none;
}

// Whether the permission bits of `path` are `mode`, where the system has them; and whether it is
// read-only as `mode` says, everywhere.
void ExpectMode(const fs::path& path, unsigned mode) {
  EXPECT_EQ(IsReadOnly(path), (mode & 0200) == 0) << PathUtf8(path);
  if (const std::optional<unsigned> bits = PosixMode(path)) {
    EXPECT_EQ(*bits, mode) << PathUtf8(path);
  }
}

class BookSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(Home());
    own_home_ = Variable(kHomeVariable);
    SetVariable(kHomeVariable, PathUtf8(Home()));
  }
  void TearDown() override { SetVariable(kHomeVariable, own_home_); }

  fs::path Book() const { return dir_.path() / "book"; }
  fs::path Home() const { return dir_.path() / "home"; }
  std::unique_ptr<BookSession> Session(FakeMessenger& messenger, const fs::path& book = {}) const {
    return std::make_unique<BookSession>(book.empty() ? Book() : book, kSample, messenger, clock_);
  }
  // The files kept apart in `folder`.
  std::vector<fs::path> Kept(const fs::path& folder) const {
    std::vector<fs::path> kept;
    for (const std::string& name : Entries(folder)) {
      if (name.find(".unsaved-") != std::string::npos && name[0] != '.') {
        kept.push_back(folder / name);
      }
    }
    return kept;
  }

  TempDir dir_;
  FakeClock clock_;
  std::optional<std::string> own_home_;
};

TEST_F(BookSessionTest, ClosingWritesOnlyWhatChangedAndAsksBeforeOverwritingWhatItMustNot) {
  const std::optional<std::string> kNone;
  const std::string mine = Le(u"mine [1]\r\n"), odd = "abc", theirs = Le(u"theirs");
  enum class Outcome { kUntouched, kRewritten, kAsLeft };
  const struct {
    const char* name;
    std::optional<std::string> at_open;     // nullopt: no book
    std::optional<std::string> after_open;  // what another program leaves
    unsigned mode;                          // 0: as made
    bool edited;
    Attendance attendance;
    Answer answer;         // to the question, if one comes
    const char* question;  // a phrase the question holds; empty: none is asked
    CloseDecision decision;
    Outcome book;
    bool kept_apart;  // the text went to a file of its own
  } cases[] = {
      {"unchanged", mine, mine, 0, false, Attendance::kAttended, Answer::kNo, "",
       CloseDecision::kClose, Outcome::kUntouched, false},
      {"unchanged, read-only", mine, mine, 0444, false, Attendance::kAttended, Answer::kNo, "",
       CloseDecision::kClose, Outcome::kUntouched, false},
      {"edited", mine, mine, 0, true, Attendance::kUnattended, Answer::kNo, "",
       CloseDecision::kClose, Outcome::kRewritten, false},
      {"no book yet, sample unchanged", kNone, kNone, 0, false, Attendance::kAttended, Answer::kNo,
       "", CloseDecision::kClose, Outcome::kRewritten, false},
      {"read-only, no", mine, mine, 0444, true, Attendance::kAttended, Answer::kNo, "is read-only",
       CloseDecision::kStayOpen, Outcome::kUntouched, false},
      {"read-only, yes", mine, mine, 0444, true, Attendance::kAttended, Answer::kYes,
       "is read-only", CloseDecision::kClose, Outcome::kRewritten, false},
      {"read-only, keep apart", mine, mine, 0444, true, Attendance::kAttended, Answer::kKeepApart,
       "is read-only", CloseDecision::kClose, Outcome::kUntouched, true},
      {"read-only, unattended", mine, mine, 0444, true, Attendance::kUnattended, Answer::kYes, "",
       CloseDecision::kClose, Outcome::kUntouched, true},
      {"unreadable, sample unchanged", odd, odd, 0, false, Attendance::kAttended, Answer::kYes, "",
       CloseDecision::kClose, Outcome::kUntouched, false},
      {"unreadable, edited", odd, odd, 0, true, Attendance::kAttended, Answer::kYes,
       "could not be read", CloseDecision::kClose, Outcome::kRewritten, false},
      {"rewritten on disk", mine, theirs, 0, false, Attendance::kAttended, Answer::kNo,
       "changed by another program", CloseDecision::kStayOpen, Outcome::kAsLeft, false},
      {"created on disk", kNone, theirs, 0, false, Attendance::kAttended, Answer::kKeepApart,
       "changed by another program", CloseDecision::kClose, Outcome::kAsLeft, true},
      {"deleted on disk", mine, kNone, 0, true, Attendance::kAttended, Answer::kYes,
       "deleted or moved", CloseDecision::kClose, Outcome::kRewritten, false},
      {"deleted on disk, unattended", mine, kNone, 0, false, Attendance::kUnattended, Answer::kYes,
       "", CloseDecision::kClose, Outcome::kAsLeft, true},
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
    messenger.answers[kWarningTitle] = c.answer;
    EXPECT_EQ(session->Close(c.attendance, text), c.decision);

    const bool asked = *c.question != '\0';
    ASSERT_EQ(messenger.shown.size() - shown_before,
              (asked ? 1u : 0u) + (c.kept_apart && c.attendance == Attendance::kAttended));
    if (asked) {
      const FakeMessenger::Shown& question = messenger.shown[shown_before];
      EXPECT_EQ(question.title, kWarningTitle);
      EXPECT_NE(question.body.find(c.question), std::string::npos) << question.body;
      EXPECT_NE(question.body.find(PathUtf8(Book())), std::string::npos) << question.body;
      EXPECT_EQ(question.default_answer, Answer::kNo);
      EXPECT_TRUE(question.offers_keep_apart);
    }
    switch (c.book) {
      case Outcome::kUntouched:
        EXPECT_EQ(FileId(Book()), before);
        EXPECT_EQ(ReadBytes(Book()), c.at_open.value_or(""));
        break;
      case Outcome::kRewritten: {
        EXPECT_EQ(ReadBytes(Book()), Le(text));
        // The text it replaced is kept in the book's history.
        const fs::path history = HistoryFolder(Book()).value();
        std::vector<std::string> versions;
        if (fs::exists(history)) versions = Entries(history);
        ASSERT_EQ(versions.size(), c.at_open && c.after_open ? 1u : 0u);
        if (!versions.empty()) {
          EXPECT_EQ(ReadBytes(history / versions[0]), *c.after_open);
          fs::remove_all(history);
        }
        if (c.mode != 0) ExpectMode(Book(), c.mode);
        break;
      }
      case Outcome::kAsLeft:
        EXPECT_EQ(fs::exists(Book()), c.after_open.has_value());
        if (c.after_open) {
          EXPECT_EQ(ReadBytes(Book()), *c.after_open);
        }
        break;
    }
    const std::vector<fs::path> kept = Kept(dir_.path());
    ASSERT_EQ(kept.size(), c.kept_apart ? 1u : 0u);
    if (kept.empty()) continue;
    EXPECT_EQ(ReadBytes(kept[0]), Le(text));
    ExpectMode(kept[0], c.mode == 0444 ? 0400u : 0600u);
    // Whoever may read it later learns where the text went.
    const std::string told =
        c.attendance == Attendance::kAttended ? messenger.shown.back().body : messenger.log.back();
    EXPECT_NE(told.find(PathUtf8(kept[0])), std::string::npos) << told;
  }
}

TEST_F(BookSessionTest, AFailedSaveLetsTheUserCloseStayOrKeepTheTextApartButNeverInTheRoot) {
  WriteBytes(dir_.path() / "file", "x");
  enum class Where { kNowhere, kBeside, kHome, kBook };
  const fs::path root = RootFolder();
  const struct {
    const char* name;
    fs::path book;
    const char* home;  // the home folder; "/" (the root) is no place for files
    bool flush_fails;  // the book goes in place, but its folder cannot be flushed
    Attendance attendance;
    Answer answer;  // to the question after the failure
    CloseDecision decision;
    Where text;  // where the text ends up
  } cases[] = {
      {"book is a folder, close anyway", Book(), "home", false, Attendance::kAttended, Answer::kYes,
       CloseDecision::kClose, Where::kNowhere},
      {"book is a folder, stay", Book(), "home", false, Attendance::kAttended, Answer::kNo,
       CloseDecision::kStayOpen, Where::kNowhere},
      {"book is a folder, keep apart", Book(), "home", false, Attendance::kAttended,
       Answer::kKeepApart, CloseDecision::kClose, Where::kBeside},
      {"folder is a file, keep apart", dir_.path() / "file/book", "home", false,
       Attendance::kAttended, Answer::kKeepApart, CloseDecision::kClose, Where::kHome},
      {"folder is a file, unattended", dir_.path() / "file/book", "home", false,
       Attendance::kUnattended, Answer::kNo, CloseDecision::kClose, Where::kHome},
      {"no place at all, keep apart", dir_.path() / "file/book", "/", false, Attendance::kAttended,
       Answer::kKeepApart, CloseDecision::kStayOpen, Where::kNowhere},
      {"no place at all, unattended", dir_.path() / "file/book", "/", false,
       Attendance::kUnattended, Answer::kNo, CloseDecision::kStayOpen, Where::kNowhere},
      {"folder not flushed", Book(), "home", true, Attendance::kAttended, Answer::kNo,
       CloseDecision::kClose, Where::kBook},
      {"folder not flushed, unattended", Book(), "home", true, Attendance::kUnattended, Answer::kNo,
       CloseDecision::kClose, Where::kBook},
  };
  const auto in_root = [&root] {
    std::vector<std::string> names = Entries(root);
    std::erase_if(names, [](const std::string& name) { return !name.starts_with("tallivan-"); });
    return names;
  };
  const std::vector<std::string> root_before = in_root();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.flush_fails && !CanFailFolderFlushes()) continue;
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
    messenger.answers = {{kWarningTitle, Answer::kYes}, {kErrorTitle, c.answer}};
    const std::u16string text = kSample + u"x";
    FailFolderFlushes(c.flush_fails);
    EXPECT_EQ(session->Close(c.attendance, text), c.decision);
    FailFolderFlushes(false);

    const bool attended = c.attendance == Attendance::kAttended;
    const std::string reason = c.flush_fails ? "could not be flushed" : PathUtf8(c.book);
    // The reason is told, to the user or to the log.
    std::string told;
    for (const auto& shown : messenger.shown) told += shown.body + "\n";
    for (const std::string& line : messenger.log) told += line + "\n";
    EXPECT_NE(told.find(c.attendance == Attendance::kUnattended && !c.flush_fails &&
                                c.decision == CloseDecision::kClose
                            ? "kept in " + PathUtf8(c.text == Where::kHome ? Home() : dir_.path())
                            : reason),
              std::string::npos)
        << told;
    if (attended && !c.flush_fails) {
      const FakeMessenger::Shown& question =
          messenger.shown.at(messenger.shown.size() - 1 - (c.answer == Answer::kKeepApart));
      EXPECT_EQ(question.title, kErrorTitle);
      EXPECT_NE(question.body.find("Close without saving it?"), std::string::npos);
      EXPECT_EQ(question.default_answer, Answer::kNo);
      EXPECT_TRUE(question.offers_keep_apart);
    }
    EXPECT_EQ(c.text == Where::kBook, fs::is_regular_file(Book()) && ReadBytes(Book()) == Le(text));
    const std::vector<fs::path> beside = Kept(dir_.path()), at_home = Kept(Home());
    EXPECT_EQ(beside.size(), c.text == Where::kBeside ? 1u : 0u);
    EXPECT_EQ(at_home.size(), c.text == Where::kHome ? 1u : 0u);
    for (const fs::path& kept : beside.empty() ? at_home : beside) {
      EXPECT_EQ(ReadBytes(kept), Le(text));
      EXPECT_TRUE(PathUtf8(kept.filename())
                      .starts_with(c.text == Where::kHome ? "tallivan-book." : "book."));
    }
    EXPECT_EQ(in_root(), root_before);
    // What went to a file without anyone there is told at the next start, and only then.
    if (c.decision == CloseDecision::kStayOpen) continue;
    for (const size_t expected :
         {c.text != Where::kBook && c.text != Where::kNowhere && !attended ? 1u : 0u, 0u}) {
      FakeMessenger next;
      Session(next, c.book)->Open();

      EXPECT_EQ(std::count_if(next.shown.begin(), next.shown.end(),
                              [](const FakeMessenger::Shown& shown) {
                                return shown.body.find("was kept in:") != std::string::npos;
                              }),
                expected);
    }
  }
}

TEST_F(BookSessionTest, AWindowIsToldOfOtherWindowsOnItsBookButNotOfOnesThatCrashed) {
  WriteBytes(Book(), Le(u"book"));
  const auto warned = [](const FakeMessenger& messenger) {
    return std::any_of(messenger.shown.begin(), messenger.shown.end(), [](const auto& shown) {
      return shown.body.find("already open in another Tallivan window") != std::string::npos;
    });
  };
  FakeMessenger a_messenger, b_messenger;
  std::unique_ptr<BookSession> a = Session(a_messenger), b = Session(b_messenger);
  a->Open();
  b->Open();
  EXPECT_FALSE(warned(a_messenger));
  EXPECT_TRUE(warned(b_messenger));
  EXPECT_NE(a->recovery_copy(), b->recovery_copy());
  // A saves first; B is asked, keeps its text apart, and A's text stays in the book.
  EXPECT_EQ(a->Close(Attendance::kAttended, u"book a"), CloseDecision::kClose);
  b_messenger.answers[kWarningTitle] = Answer::kKeepApart;
  EXPECT_EQ(b->Close(Attendance::kAttended, u"book b"), CloseDecision::kClose);
  EXPECT_NE(b_messenger.shown.back().body.find("was kept in"), std::string::npos);
  EXPECT_EQ(ReadBytes(Book()), Le(u"book a"));
  ASSERT_EQ(Kept(dir_.path()).size(), 1u);
  EXPECT_EQ(ReadBytes(Kept(dir_.path())[0]), Le(u"book b"));
  // A window that ends without closing (as a crash ends it) leaves nothing that warns.
  for (int round = 0; round < 2; ++round) {
    FakeMessenger messenger;
    std::unique_ptr<BookSession> crashed = Session(messenger);
    crashed->Open();
    EXPECT_FALSE(warned(messenger));
  }
}

TEST_F(BookSessionTest, KeepsARecoveryCopyShortlyAfterChangesWhileTheTextDiffersFromTheBook) {
  using std::chrono::seconds;
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
    ExpectMode(copy, mode == 0444 ? 0400u : 0600u);
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

TEST_F(BookSessionTest, ARecoveryCopyLeftByACrashIsOfferedOnceAndOtherwiseKeptApart) {
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
    const auto restore = std::find_if(messenger.shown.begin(), messenger.shown.end(),
                                      [](const auto& shown) { return shown.default_answer; });
    ASSERT_EQ(restore != messenger.shown.end(), c.asked);
    if (c.asked) {
      EXPECT_NE(restore->body.find("recovery copy"), std::string::npos);
      EXPECT_EQ(restore->default_answer, Answer::kYes);
    }
    const std::vector<fs::path> kept = Kept(dir_.path());
    ASSERT_EQ(kept.size(), c.kept ? 1u : 0u);
    if (c.kept) {
      EXPECT_EQ(ReadBytes(kept[0]), Le(typed));
      EXPECT_NE(messenger.shown.back().body.find(PathUtf8(kept[0])), std::string::npos);
    }
    EXPECT_EQ(fs::exists(copy), c.copy == Copy::kLive || c.restored);
    // A restored text is saved as any other at closing, and its copy goes.
    EXPECT_EQ(session->Close(Attendance::kAttended, shown.value_or(u"")), CloseDecision::kClose);
    EXPECT_EQ(ReadBytes(Book()), Le(c.restored ? typed : u"book"));
    EXPECT_EQ(fs::exists(copy), c.copy == Copy::kLive);
    first.reset();
    fs::remove(copy);
    FakeMessenger again;
    Session(again)->Open();
    EXPECT_TRUE(again.shown.empty()) << again.shown.at(0).body;
  }
}

}  // namespace
}  // namespace tallivan
