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
  // The files beside the book but the book and the program.
  std::vector<fs::path> Beside() const {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(book().parent_path())) {
      if (!entry.is_directory() && entry.path() != book() && entry.path() != program_) {
        files.push_back(entry.path());
      }
    }
    return files;
  }
  // Starts the program on `platform`; with a watch on the book, returns once it read the book.
  void Start(QProcess& process, const QString& platform, bool wait_for_load) const {
    const int watch = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(watch, book().c_str(), IN_CLOSE_NOWRITE), 0);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", platform);
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
  TempDir dir_;
  const std::string named_;
  const fs::path program_ = dir_.path() / "tallivan";
};

TEST(AppTest, SignalsLeaveAnUnchangedBookAloneAndKeepChangedTextApartEachWindowInItsOwnFile) {
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
    for (int i = 0; i < c.windows; ++i) copy.Start(windows[i], "offscreen", true);
    if (c.changed_on_disk) WriteBytes(copy.book(), "theirs");
    for (int i = 0; i < c.windows; ++i) {
      ASSERT_EQ(kill(static_cast<pid_t>(windows[i].processId()), c.signal_number), 0);
    }
    QString told;
    for (int i = 0; i < c.windows; ++i) {
      ASSERT_TRUE(windows[i].waitForFinished(kTimeoutMs));
      EXPECT_EQ(windows[i].exitStatus(), QProcess::NormalExit);
      told += QString::fromUtf8(windows[i].readAllStandardError());
    }
    EXPECT_TRUE(c.fifo ? fs::is_fifo(copy.book())
                       : ReadBytes(copy.book()) == (c.changed_on_disk ? "theirs" : c.book));
    if (!c.changed_on_disk) {
      EXPECT_EQ(FileId(copy.book()), before);
    }
    // Nothing was typed, so nothing is saved or kept apart, even over another program's change,
    // and nothing is left beside the book.
    EXPECT_EQ(copy.Beside(), std::vector<fs::path>());
    EXPECT_FALSE(told.contains("kept in")) << told.toStdString();
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

// Activates the first window whose title starts with `title`, waiting for it to appear.
bool Activate(const QString& title) {
  // A loaded machine may show the window late, or take it for active late: ask again until then.
  return WaitFor([&] {
    const std::optional<QString> found =
        XDoTool({"search", "--onlyvisible", "--name", '^' + title});
    if (!found) return false;
    const QString id = found->split('\n').first();
    if (XDoTool({"getactivewindow"}).value_or("").trimmed() == id) {
      return XDoTool({"sleep", "0.3"}).has_value();
    }
    XDoTool({"windowactivate", id});
    return false;
  });
}

// Presses the keys (xdotool key names) or, for an item that starts with "=", types its text.
bool Keys(const QStringList& keys) {
  return std::all_of(keys.begin(), keys.end(), [](const QString& key) {
    const bool typed = key.startsWith('=');
    return XDoTool({typed ? "type" : "key", "--delay", "30", typed ? key.mid(1) : key}).has_value();
  });
}

TEST(AppTest, InAnXSessionWhatIsTypedSurvivesFunctionKeysClosingSignalsAndCrashes) {
  if (qEnvironmentVariable("QT_QPA_PLATFORM") != "xcb") {
    GTEST_SKIP() << "needs an X session (tests/ui/in-x-session)";
  }
  enum class End { kAltF4, kSigterm, kSigkillAndRestore };
  const QStringList keys = {"ctrl+End", "Return", "=c [3] taxi", "F14"};
  const std::u16string typed = u"a [1]\r\n#  (1.00) ,  1.00\r\nc [3] taxi";
  const struct {
    const char* name;
    QStringList keys;
    End end;
    std::u16string book;
  } cases[] = {
      // On X11 the text box itself takes F14 for undo, F20 for cut and F18 for paste; the
      // physical F13-F16 arrive as XF86Tools and XF86Launch5-7.
      {"function keys",
       keys + QStringList{"ctrl+a", "F20", "F18", "ctrl+End", "Return", "=#", "XF86Launch5"},
       End::kAltF4, typed + u"\r\n#  (3.00) ,  4.00"},
      {"a termination signal", keys, End::kSigterm, typed},
      {"a crash, then the recovery copy restored", keys, End::kSigkillAndRestore, typed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Copy copy;
    WriteBytes(copy.book(), Le(u"a [1]\r\n#"));
    QProcess window;
    copy.Start(window, "xcb", false);
    ASSERT_TRUE(Activate("Tallivan v1.01"));
    ASSERT_TRUE(Keys(c.keys));
    if (c.end != End::kAltF4) {
      // A few seconds after the last key the text is in a recovery copy in the user's state
      // folder. Only then have the keys surely reached it: a signal may overtake keys still on
      // their way.
      const fs::path recovery = StateFolderPath().value() / BookKey(copy.book()) / "recovery-0";
      ASSERT_TRUE(WaitFor([&] { return ReadBytes(recovery) == Le(c.book); }));
    }
    if (c.end == End::kSigkillAndRestore) {
      ASSERT_EQ(kill(static_cast<pid_t>(window.processId()), SIGKILL), 0);
      ASSERT_TRUE(window.waitForFinished(kTimeoutMs));
      EXPECT_EQ(ReadBytes(copy.book()), Le(u"a [1]\r\n#"));
      copy.Start(window, "xcb", false);
      ASSERT_TRUE(Activate("Warning"));  // offers the copy; Enter would keep it apart
      ASSERT_TRUE(Keys({"alt+r"}));
      ASSERT_TRUE(Activate("Tallivan v1.01"));
    }
    if (c.end == End::kSigterm) {
      ASSERT_EQ(kill(static_cast<pid_t>(window.processId()), SIGTERM), 0);
    } else {
      ASSERT_TRUE(Keys({"alt+F4"}));
    }
    ASSERT_TRUE(window.waitForFinished(kTimeoutMs));
    EXPECT_EQ(ReadBytes(copy.book()), Le(c.book));
    EXPECT_EQ(copy.Beside(), std::vector<fs::path>());
  }
}

}  // namespace
}  // namespace tallivan
