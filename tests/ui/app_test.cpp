// Starts the real program from a copy in a temporary folder, so that its book is the one beside
// that copy: off screen and ended by termination signals, and in an X session (see in-x-session)
// where it is typed into, closed and killed as a user's desktop would.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <functional>

#include "tests/ui/test_support.h"

namespace tallivan {
namespace {

constexpr int kTimeoutMs = 30000;

// A copy of the program in a folder of its own, which holds its book.
class Copy {
 public:
  Copy() { EXPECT_TRUE(QFile::copy(QStringLiteral(TALLIVAN_EXECUTABLE), program_)); }
  QString book() const { return dir_.filePath(QStringLiteral("book")); }
  QString folder() const { return dir_.path(); }
  QStringList Files(const QString& pattern) const {
    return QDir(dir_.path()).entryList({pattern}, QDir::Files | QDir::Hidden);
  }
  // Starts the program on `platform`; with a watch on the book, returns once it read the book.
  void Start(QProcess& process, const QString& platform, bool wait_for_load) const {
    const int watch = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(watch, QFile::encodeName(book()), IN_CLOSE_NOWRITE), 0);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
    process.setProcessEnvironment(environment);
    process.start(program_, {});
    pollfd read{watch, POLLIN, 0};
    const bool loaded = !wait_for_load || poll(&read, 1, kTimeoutMs) == 1;
    close(watch);
    ASSERT_TRUE(loaded) << "the program never read its book";
  }

 private:
  QTemporaryDir dir_;
  const QString program_ = dir_.filePath(QStringLiteral("tallivan"));
};

TEST(AppTest, SignalsLeaveAnUnchangedBookAloneAndKeepChangedTextApartEachWindowInItsOwnFile) {
  const QByteArray units = Bytes(u"a [1]\r\n#\r\n\n\r\u2028\u2029\uFDD0\uFDD1\u00A0\xD800\0\r\n");
  const struct {
    int signal_number;
    QByteArray book;
    int windows;
    bool changed_on_disk;  // by another program, after the windows loaded it
    bool fifo = false;  // the book is a FIFO, which the program must refuse without waiting on it
  } cases[] = {{SIGTERM, units, 1, false},
               {SIGINT, "abcde", 1, false},  // unreadable
               {SIGHUP, units, 2, true},
               {SIGTERM, "", 1, false, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.signal_number);
    Copy copy;
    if (c.fifo) {
      ASSERT_EQ(mkfifo(QFile::encodeName(copy.book()).constData(), 0600), 0);
    } else {
      PutFile(copy.book(), c.book);
    }
    const ino_t before = InodeOf(copy.book());
    QProcess windows[2];  // off screen, with a temporary home folder, as this test runs
    for (int i = 0; i < c.windows; ++i) copy.Start(windows[i], QStringLiteral("offscreen"), true);
    if (c.changed_on_disk) PutFile(copy.book(), "theirs");
    for (int i = 0; i < c.windows; ++i) {
      ASSERT_EQ(kill(static_cast<pid_t>(windows[i].processId()), c.signal_number), 0);
    }
    QStringList told;
    for (int i = 0; i < c.windows; ++i) {
      ASSERT_TRUE(windows[i].waitForFinished(kTimeoutMs));
      EXPECT_EQ(windows[i].exitStatus(), QProcess::NormalExit);
      told << QString::fromUtf8(windows[i].readAllStandardError());
    }
    struct stat st {};
    ASSERT_EQ(stat(QFile::encodeName(copy.book()).constData(), &st), 0);
    EXPECT_TRUE(c.fifo ? S_ISFIFO(st.st_mode)
                       : ReadBytes(copy.book()) == (c.changed_on_disk ? "theirs" : c.book));
    if (!c.changed_on_disk) {
      EXPECT_EQ(InodeOf(copy.book()), before);
    }
    // Each window's text in a file of its own, however close together they ended, for nobody
    // else to read, and each says on standard error where its text went.
    const QStringList kept = copy.Files(QStringLiteral("book.unsaved-*"));
    ASSERT_EQ(kept.size(), c.changed_on_disk ? c.windows : 0);
    for (const QString& name : kept) {
      EXPECT_EQ(ReadBytes(copy.folder() + QLatin1Char('/') + name), c.book);
      EXPECT_EQ(QFileInfo(copy.folder() + QLatin1Char('/') + name).permissions(),
                QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
      EXPECT_EQ(told.join(QString()).count(QLatin1Char('/') + name + QLatin1Char('\n')), 1)
          << told.join(QString()).toStdString();
    }
  }
}

// Runs xdotool with `args`; true when it succeeded.
bool XDoTool(const QStringList& args) {
  QProcess tool;
  tool.start(QStringLiteral("xdotool"), args);
  return tool.waitForFinished(kTimeoutMs) && tool.exitCode() == 0;
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
    QProcess search;
    search.start(QStringLiteral("xdotool"),
                 {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                  QStringLiteral("--name"), QLatin1Char('^') + title});
    if (!search.waitForFinished(kTimeoutMs) || search.exitCode() != 0) return false;
    const QString id = QString::fromLatin1(search.readAllStandardOutput()).split('\n').first();
    QProcess active;
    active.start(QStringLiteral("xdotool"), {QStringLiteral("getactivewindow")});
    if (active.waitForFinished(kTimeoutMs) &&
        QString::fromLatin1(active.readAllStandardOutput()).trimmed() == id) {
      return XDoTool({QStringLiteral("sleep"), QStringLiteral("0.3")});
    }
    XDoTool({QStringLiteral("windowactivate"), id});
    return false;
  });
}

// Presses the keys (xdotool key names) or, for an item that starts with "=", types its text.
bool Keys(const QStringList& keys) {
  for (const QString& key : keys) {
    const bool typed = key.startsWith(QLatin1Char('='));
    if (!XDoTool({typed ? QStringLiteral("type") : QStringLiteral("key"), QStringLiteral("--delay"),
                  QStringLiteral("30"), typed ? key.mid(1) : key})) {
      return false;
    }
  }
  return true;
}

TEST(AppTest, InAnXSessionWhatIsTypedSurvivesFunctionKeysClosingSignalsAndCrashes) {
  if (qEnvironmentVariable("QT_QPA_PLATFORM") != QStringLiteral("xcb")) {
    GTEST_SKIP() << "needs an X session (tests/ui/in-x-session)";
  }
  enum class End { kAltF4, kSigterm, kSigkillAndRestore };
  const QStringList keys = {QStringLiteral("ctrl+End"), QStringLiteral("Return"),
                            QStringLiteral("=c [3] taxi"), QStringLiteral("F14")};
  const struct {
    const char* name;
    QStringList keys;
    End end;
    std::u16string book;
  } cases[] = {
      // On X11 the text box itself takes F14 for undo, F20 for cut and F18 for paste; the
      // physical F13-F16 arrive as XF86Tools and XF86Launch5-7.
      {"function keys",
       keys + QStringList{QStringLiteral("ctrl+a"), QStringLiteral("F20"), QStringLiteral("F18"),
                          QStringLiteral("ctrl+End"), QStringLiteral("Return"),
                          QStringLiteral("=#"), QStringLiteral("XF86Launch5")},
       End::kAltF4, u"a [1]\r\n#  (1.00) ,  1.00\r\nc [3] taxi\r\n#  (3.00) ,  4.00"},
      {"a termination signal", keys, End::kSigterm, u"a [1]\r\n#  (1.00) ,  1.00\r\nc [3] taxi"},
      {"a crash, then the recovery copy restored", keys, End::kSigkillAndRestore,
       u"a [1]\r\n#  (1.00) ,  1.00\r\nc [3] taxi"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Copy copy;
    PutFile(copy.book(), Bytes(u"a [1]\r\n#"));
    QProcess window;
    copy.Start(window, QStringLiteral("xcb"), false);
    ASSERT_TRUE(Activate(QStringLiteral("Tallivan v1.01")));
    ASSERT_TRUE(Keys(c.keys));
    if (c.end == End::kSigkillAndRestore) {
      // A few seconds after the last key the text is in a recovery copy beside the book.
      const QString recovery = copy.folder() + QStringLiteral("/.book.recovery-0");
      ASSERT_TRUE(WaitFor([&] { return ReadBytes(recovery) == Bytes(c.book); }));
      ASSERT_EQ(kill(static_cast<pid_t>(window.processId()), SIGKILL), 0);
      ASSERT_TRUE(window.waitForFinished(kTimeoutMs));
      EXPECT_EQ(ReadBytes(copy.book()), Bytes(u"a [1]\r\n#"));
      copy.Start(window, QStringLiteral("xcb"), false);
      ASSERT_TRUE(Activate(QStringLiteral("Warning")));  // offers the copy; Yes is the default
      ASSERT_TRUE(Keys({QStringLiteral("Return")}));
      ASSERT_TRUE(Activate(QStringLiteral("Tallivan v1.01")));
    }
    if (c.end == End::kSigterm) {
      ASSERT_EQ(kill(static_cast<pid_t>(window.processId()), SIGTERM), 0);
    } else {
      ASSERT_TRUE(Keys({QStringLiteral("alt+F4")}));
    }
    ASSERT_TRUE(window.waitForFinished(kTimeoutMs));
    EXPECT_EQ(ReadBytes(copy.book()), Bytes(c.book));
    EXPECT_EQ(copy.Files(QStringLiteral("*book.*")), QStringList());
  }
}

}  // namespace
}  // namespace tallivan
