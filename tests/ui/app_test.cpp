// Starts the real program from a copy in a temporary folder, so that its book is the one beside
// that copy or one that --book names: off screen and ended by termination signals, and in an X
// session (see in-x-session) where it is typed into, closed and killed as a user's desktop would.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QProcess>
#include <QThread>
#include <csignal>
#include <fstream>
#include <functional>

#include "tests/session/session_test_support.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;

constexpr int kTimeoutMs = 30000;

// A copy of the program in a folder of its own, which holds its book, or which holds the folder
// "work" it runs in and the book `named` there with --book.
class Copy {
 public:
  explicit Copy(const std::string& named = "") : named_(named) {
    fs::copy_file(TALLIVAN_EXECUTABLE, program_);
    fs::create_directories(folder() / "work" / fs::path(named_).parent_path());
  }
  fs::path folder() const { return dir_.path(); }
  fs::path book() const { return named_.empty() ? folder() / "book" : folder() / "work" / named_; }
  // The user's session files of the book (the test's home folder is the program's too).
  fs::path state() const { return StateFolderPath().value() / BookKey(book()); }
  // The files beside the book but the book, the program and texts kept apart.
  std::vector<fs::path> Beside() const {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(book().parent_path())) {
      if (!entry.is_directory() && entry.path() != book() && entry.path() != program_ &&
          !IsKept(entry.path())) {
        files.push_back(entry.path());
      }
    }
    return files;
  }
  // The texts kept apart, beside the book (when its folder is the user's alone) or in the state
  // folder.
  std::vector<fs::path> Kept() const {
    std::vector<fs::path> kept;
    for (const fs::path& folder : {book().parent_path(), state()}) {
      for (const std::string& name : Entries(folder)) {
        if (IsKept(folder / name)) kept.push_back(folder / name);
      }
    }
    return kept;
  }
  // Starts the program on `platform`; with a watch on the book, returns once it read the book.
  // A `runtime` folder of its own (1, 2...) lets it open a second window on the book, as a window
  // started from another login of the user's would.
  void Start(QProcess& process, const QString& platform, bool wait_for_load,
             int runtime = 0) const {
    const int watch = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(watch, book().c_str(), IN_CLOSE_NOWRITE), 0);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", platform);
    if (runtime > 0) {
      const fs::path own = folder() / ("runtime-" + std::to_string(runtime));
      fs::create_directory(own);
      fs::permissions(own, fs::perms::owner_all);
      environment.insert("XDG_RUNTIME_DIR", QString::fromStdString(own.string()));
    }
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(QString::fromStdString((folder() / "work").string()));
    const QStringList args = {"--book", QString::fromStdString(named_)};
    process.start(QString::fromStdString(program_.string()), named_.empty() ? QStringList() : args);
    pollfd read{watch, POLLIN, 0};
    const bool loaded = !wait_for_load || poll(&read, 1, kTimeoutMs) == 1;
    close(watch);
    ASSERT_TRUE(loaded) << "the program never read its book";
  }

 private:
  bool IsKept(const fs::path& file) const {
    return file.filename().string().starts_with(book().filename().string() + ".unsaved-");
  }

  TempDir dir_;
  const std::string named_;
  const fs::path program_ = dir_.path() / "tallivan";
};

// A window that nothing was typed into writes nothing when a signal ends it, whatever became of
// its book (see the X session test below for windows that were typed into).
TEST(AppTest, SignalsLeaveTheBookAloneWhenNothingWasTyped) {
  constexpr char16_t kUnits[] = u"a [1]\r\n#\r\n\n\r\u2028\u2029\uFDD0\uFDD1\u00A0\xD800\0\r\n";
  const std::string units = Le({kUnits, std::size(kUnits) - 1});  // the NUL included
  const struct {
    int signal_number;
    std::string book;
    int windows;
    bool changed_on_disk;  // by another program, after the windows loaded it
    bool fifo = false;  // the book is a FIFO, which the program must refuse without waiting on it
    std::string named = "";  // the book that --book names, relative to the working folder
  } cases[] = {{SIGTERM, units, 1, false, false, "ledgers/2026"},
               {SIGINT, "abcde", 1, false},  // unreadable
               {SIGHUP, units, 2, true},
               {SIGTERM, "", 1, false, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.signal_number);
    Copy copy(c.named);
    if (c.fifo) {
      ASSERT_EQ(mkfifo(copy.book().c_str(), 0600), 0);
    } else {
      WriteBytes(copy.book(), c.book);
    }
    const uint64_t before = FileId(copy.book());
    QProcess windows[2];  // off screen, with a temporary home folder, as this test runs
    for (int i = 0; i < c.windows; ++i) copy.Start(windows[i], "offscreen", true, i);
    if (c.changed_on_disk) WriteBytes(copy.book(), "theirs");
    for (int i = 0; i < c.windows; ++i) {
      ASSERT_EQ(kill(static_cast<pid_t>(windows[i].processId()), c.signal_number), 0);
    }
    for (int i = 0; i < c.windows; ++i) {
      ASSERT_TRUE(windows[i].waitForFinished(kTimeoutMs));
      EXPECT_EQ(windows[i].exitStatus(), QProcess::NormalExit);
    }
    EXPECT_TRUE(c.fifo ? fs::is_fifo(copy.book())
                       : ReadBytes(copy.book()) == (c.changed_on_disk ? "theirs" : c.book));
    if (!c.changed_on_disk) {
      EXPECT_EQ(FileId(copy.book()), before);
    }
    EXPECT_EQ(copy.Beside(), std::vector<fs::path>());
    EXPECT_EQ(copy.Kept(), std::vector<fs::path>());
  }
}

// Runs xdotool with `args`; what it printed, or nullopt when it failed.
std::optional<QString> XDoTool(const QStringList& args) {
  QProcess tool;
  tool.start("xdotool", args);
  if (!tool.waitForFinished(kTimeoutMs) || tool.exitCode() != 0) return std::nullopt;
  return QString::fromLatin1(tool.readAllStandardOutput());
}

// Waits up to the timeout for `done`.
bool WaitFor(const std::function<bool()>& done) {
  for (int waited = 0; waited < kTimeoutMs; waited += 50) {
    if (done()) return true;
    QThread::msleep(50);
  }
  return done();
}

// The visible windows of process `pid` whose titles start with `title`, newest last.
QStringList Windows(qint64 pid, const QString& title) {
  const std::optional<QString> found = XDoTool(
      {"search", "--all", "--onlyvisible", "--pid", QString::number(pid), "--name", '^' + title});
  return found ? found->split('\n', Qt::SkipEmptyParts) : QStringList();
}

// Activates the window of process `pid` whose title starts with `title`, waiting for it to
// appear; its id, or nullopt when it never became active.
std::optional<QString> Activate(qint64 pid, const QString& title) {
  QString id;
  // A loaded machine may show the window late, or take it for active late: ask again until then.
  const bool active = WaitFor([&] {
    const QStringList found = Windows(pid, title);
    if (found.isEmpty()) return false;
    id = found.last();
    if (XDoTool({"getactivewindow"}).value_or("").trimmed() == id) {
      return XDoTool({"sleep", "0.3"}).has_value();
    }
    XDoTool({"windowactivate", id});
    return false;
  });
  return active ? std::optional(id) : std::nullopt;
}

// Presses the keys (xdotool key names) or, for an item that starts with "=", types its text.
bool Keys(const QStringList& keys) {
  return std::all_of(keys.begin(), keys.end(), [](const QString& key) {
    const bool typed = key.startsWith('=');
    return XDoTool({typed ? "type" : "key", "--delay", "30", typed ? key.mid(1) : key}).has_value();
  });
}

constexpr char kMain[] = "Tallivan v1.01";
constexpr int kEvery = -1;

// Where the user is told of a text kept apart.
enum class Told { kInABox, kOnStandardError };

// One thing done to the windows of the X session test, numbered in the order they first started,
// which is also the order of their lock slots, or to their book.
struct Step {
  enum class Do {
    kStart,      // starts `window`
    kKeys,       // activates the main window of `window` and presses `keys`
    kAnswer,     // waits for a box of `window` whose title starts with `title`, presses `keys`
                 // in it and waits until it is gone; no keys: only waits for it
    kAwaitCopy,  // waits until the recovery copy of `window` holds `text`, so that every key
                 // surely reached it: a signal may overtake keys still on their way
    kSignal,     // sends `signal` to `window` (kEvery: to every window running) and waits
                 // for its end
    kAwaitEnd,   // waits for the end of `window`
    kReadOnly,   // makes the book read-only
    kAppend,     // another program appends `text` to the book
  };
  Do what;
  int window = 0;
  QStringList keys = {};
  std::u16string text = {};
  const char* title = "";
  int signal = 0;
};

Step Start(int window) { return {Step::Do::kStart, window}; }
Step Press(int window, QStringList keys) { return {Step::Do::kKeys, window, std::move(keys)}; }
Step Answer(int window, const char* title, QStringList keys = {}) {
  return {Step::Do::kAnswer, window, std::move(keys), {}, title};
}
Step AwaitCopy(int window, std::u16string text) {
  return {Step::Do::kAwaitCopy, window, {}, std::move(text)};
}
Step Signal(int window, int signal) { return {Step::Do::kSignal, window, {}, {}, "", signal}; }
Step AwaitEnd(int window) { return {Step::Do::kAwaitEnd, window}; }
Step ReadOnly() { return {Step::Do::kReadOnly}; }
Step Append(std::u16string text) { return {Step::Do::kAppend, 0, {}, std::move(text)}; }

TEST(AppTest, InAnXSessionWhatIsTypedSurvivesFunctionKeysClosingSignalsAndCrashes) {
  if (qEnvironmentVariable("QT_QPA_PLATFORM") != "xcb") {
    GTEST_SKIP() << "needs an X session (tests/ui/in-x-session)";
  }
  const std::u16string book = u"a [1]\r\n#";
  const QStringList keys = {"ctrl+End", "Return", "=c [3] taxi", "F14"};
  const std::u16string typed = u"a [1]\r\n#  (1.00) ,  1.00\r\nc [3] taxi";
  const std::u16string alpha = book + u"\r\nalpha [1]";
  const std::u16string beta = book + u"\r\nbeta [2]";
  const std::u16string mine = book + u"\r\nmine [7]";
  const std::u16string outside = book + u"\r\noutside [4]";
  const QStringList end = {"ctrl+End", "Return"};
  const struct {
    const char* name;
    std::vector<Step> steps;
    std::u16string book;               // afterwards
    std::vector<std::u16string> kept;  // the texts kept apart afterwards
    Told told = Told::kInABox;
  } cases[] = {
      // On X11 the text box itself takes F14 for undo, F20 for cut and F18 for paste; the
      // physical F13-F16 arrive as XF86Tools and XF86Launch5-7.
      {"function keys",
       {Start(0),
        Press(0, keys + QStringList{"ctrl+a", "F20", "F18", "ctrl+End", "Return", "=#",
                                    "XF86Launch5", "alt+F4"}),
        AwaitEnd(0)},
       typed + u"\r\n#  (3.00) ,  4.00",
       {}},
      {"a termination signal",
       {Start(0), Press(0, keys), AwaitCopy(0, typed), Signal(0, SIGTERM)},
       typed,
       {}},
      // Nobody there to ask whether to write over the other program's change: each window keeps
      // its text in a file of its own, however close together they ended, and says where.
      {"two windows typed into, the book changed by another program, then hang-ups",
       {Start(0), Press(0, end + QStringList{"=alpha [1]"}), Start(1),
        Answer(1, "Warning", {"Return"}), Press(1, end + QStringList{"=beta [2]"}),
        AwaitCopy(0, alpha), AwaitCopy(1, beta), Append(u"\r\noutside [4]"),
        Signal(kEvery, SIGHUP)},
       outside,
       {alpha, beta},
       Told::kOnStandardError},
      // Both windows' copies survive: the newest is offered (Enter would keep it apart; Alt+R
      // restores it) and the other is kept apart, which a message says.
      {"two windows killed, the newest copy restored",
       {Start(0), Press(0, end + QStringList{"=alpha [1]"}), Start(1),
        Answer(1, "Warning", {"Return"}), AwaitCopy(0, alpha),
        Press(1, end + QStringList{"=beta [2]"}), AwaitCopy(1, beta), Signal(kEvery, SIGKILL),
        Start(0), Answer(0, "Warning", {"alt+r"}), Answer(0, "Info", {"Return"}),
        Press(0, {"alt+F4"}), AwaitEnd(0)},
       beta,
       {alpha}},
      // A close that asks keeps the copy at once, and the window goes on keeping it once told not
      // to close; killed after either, the text is offered at the next start.
      {"a read-only book, Don't close, then a crash",
       {ReadOnly(), Start(0), Press(0, end + QStringList{"=mine [7]", "alt+F4"}),
        Answer(0, "Warning", {"Escape"}), Signal(0, SIGKILL), Start(0),
        Answer(0, "Warning", {"alt+r"}), Press(0, {"alt+F4"}), Answer(0, "Warning", {"alt+o"}),
        AwaitEnd(0)},
       mine,
       {}},
      {"a read-only book, a crash while the close asks",
       {ReadOnly(), Start(0), Press(0, end + QStringList{"=mine [7]", "alt+F4"}),
        Answer(0, "Warning"), Signal(0, SIGKILL), Start(0), Answer(0, "Warning", {"alt+r"}),
        Press(0, {"alt+F4"}), Answer(0, "Warning", {"alt+k"}), Answer(0, "Info", {"Return"}),
        AwaitEnd(0)},
       book,
       {mine}},
      // A copy restored onto a book that another program changed since the copy's window read it
      // is not written over that change without asking.
      {"a book changed by another program, then a crash",
       {Start(0), Press(0, {}), Append(u"\r\noutside [4]"),
        Press(0, end + QStringList{"=mine [7]"}), AwaitCopy(0, mine), Signal(0, SIGKILL), Start(0),
        Answer(0, "Warning", {"alt+r"}), Press(0, {"alt+F4"}), Answer(0, "Warning", {"alt+k"}),
        Answer(0, "Info", {"Return"}), AwaitEnd(0)},
       outside,
       {mine}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Copy copy;
    WriteBytes(copy.book(), Le(book));
    QProcess windows[2];
    QString told;  // what the windows wrote on standard error
    const auto finish = [&](QProcess& window) {
      const bool ended = window.waitForFinished(kTimeoutMs);
      told += QString::fromUtf8(window.readAllStandardError());
      return ended;
    };
    // A step that fails ends its case, not the cases after it.
    bool stepped = false;
    [&] {
      for (const Step& step : c.steps) {
        SCOPED_TRACE(static_cast<int>(&step - c.steps.data()));
        QProcess& window = windows[std::max(step.window, 0)];
        switch (step.what) {
          case Step::Do::kStart:
            copy.Start(window, "xcb", false, step.window);
            break;
          case Step::Do::kKeys:
            ASSERT_TRUE(Activate(window.processId(), kMain));
            ASSERT_TRUE(Keys(step.keys));
            break;
          case Step::Do::kAnswer: {
            const std::optional<QString> box = Activate(window.processId(), step.title);
            ASSERT_TRUE(box);
            if (step.keys.isEmpty()) break;
            ASSERT_TRUE(Keys(step.keys));
            ASSERT_TRUE(
                WaitFor([&] { return !Windows(window.processId(), step.title).contains(*box); }));
            break;
          }
          case Step::Do::kAwaitCopy: {
            const fs::path recovery = copy.state() / SessionFiles::RecoveryName(step.window);
            ASSERT_TRUE(WaitFor([&] { return ReadBytes(recovery) == Le(step.text); }));
            break;
          }
          case Step::Do::kSignal:
            for (QProcess& each : windows) {
              if ((step.window == kEvery || &each == &window) &&
                  each.state() != QProcess::NotRunning) {
                ASSERT_EQ(kill(static_cast<pid_t>(each.processId()), step.signal), 0);
              }
            }
            for (QProcess& each : windows) {
              ASSERT_TRUE(each.state() == QProcess::NotRunning || finish(each));
            }
            break;
          case Step::Do::kAwaitEnd:
            ASSERT_TRUE(finish(window));
            break;
          case Step::Do::kReadOnly:
            fs::permissions(
                copy.book(),
                fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                fs::perm_options::remove);
            break;
          case Step::Do::kAppend:
            std::ofstream(copy.book(), std::ios::binary | std::ios::app) << Le(step.text);
            break;
        }
      }
      stepped = true;
    }();
    if (!stepped) continue;
    EXPECT_EQ(ReadBytes(copy.book()), Le(c.book));
    std::vector<std::string> kept;
    for (const fs::path& file : copy.Kept()) kept.push_back(ReadBytes(file));
    std::vector<std::string> expected;
    for (const std::u16string& text : c.kept) expected.push_back(Le(text));
    std::sort(kept.begin(), kept.end());  // windows that end together take names in either order
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(kept, expected);
    // Kept for nobody else to read, and told once, in a box or on standard error.
    for (const fs::path& file : copy.Kept()) {
      EXPECT_EQ(fs::status(file).permissions() & (fs::perms::group_all | fs::perms::others_all),
                fs::perms::none)
          << file;
      EXPECT_EQ(told.count(QString::fromStdString(file.string() + "\n")),
                c.told == Told::kOnStandardError ? 1 : 0)
          << told.toStdString();
    }
    EXPECT_EQ(copy.Beside(), std::vector<fs::path>());
    for (const std::string& name : Entries(copy.state())) {
      EXPECT_FALSE(SessionFiles::RecoverySlot(name)) << name << " is left";
    }
  }
}

// One window per book: a second start on a book that is open brings its window to the front and
// ends at once, without a window or a write of its own; a start on another book opens a window
// of its own; and a window that was killed does not keep the next start from opening one.
TEST(AppTest, InAnXSessionASecondStartOnABookRaisesItsWindowInstead) {
  if (qEnvironmentVariable("QT_QPA_PLATFORM") != "xcb") {
    GTEST_SKIP() << "needs an X session (tests/ui/in-x-session)";
  }
  Copy copy, other;
  WriteBytes(copy.book(), Le(u"a [1]\r\n#"));
  WriteBytes(other.book(), Le(u"b [2]\r\n#"));
  const uint64_t book_id = FileId(copy.book());
  QProcess first, second, third;
  copy.Start(first, "xcb", false);
  const std::optional<QString> first_window = Activate(first.processId(), kMain);
  ASSERT_TRUE(first_window);
  other.Start(second, "xcb", false);
  const std::optional<QString> second_window = Activate(second.processId(), kMain);
  ASSERT_TRUE(second_window) << "another book opens a window of its own";
  // Each later start on the open book ends at once and leaves the first window the active one.
  const auto start_again = [&](const std::optional<QString>& expected) {
    ASSERT_TRUE(Activate(second.processId(), kMain));
    QProcess again;
    copy.Start(again, "xcb", false);
    ASSERT_TRUE(again.waitForFinished(kTimeoutMs));
    EXPECT_EQ(again.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(again.exitCode(), 0) << again.readAllStandardError().toStdString();
    EXPECT_TRUE(WaitFor([&] {
      return XDoTool({"getactivewindow"}).value_or("").trimmed() == *expected;
    })) << "the window on the book did not come to the front";
  };
  start_again(first_window);
  EXPECT_EQ(Windows(first.processId(), kMain).size(), 1);
  EXPECT_EQ(ReadBytes(copy.book()), Le(u"a [1]\r\n#"));
  EXPECT_EQ(FileId(copy.book()), book_id);
  // Killed, the first window leaves its socket behind; the next start opens a window anyway, and
  // is the one that comes to the front from then on.
  ASSERT_EQ(kill(static_cast<pid_t>(first.processId()), SIGKILL), 0);
  ASSERT_TRUE(first.waitForFinished(kTimeoutMs));
  copy.Start(third, "xcb", false);
  const std::optional<QString> third_window = Activate(third.processId(), kMain);
  ASSERT_TRUE(third_window) << "a killed window's socket kept the next start from opening";
  start_again(third_window);
  for (QProcess* window : {&second, &third}) {
    ASSERT_EQ(kill(static_cast<pid_t>(window->processId()), SIGTERM), 0);
    EXPECT_TRUE(window->waitForFinished(kTimeoutMs));
  }
}

}  // namespace
}  // namespace tallivan
