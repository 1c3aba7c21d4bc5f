// Starts the real program, off screen, from a copy in a temporary folder, so that its book is the
// one beside that copy, and ends it with a termination signal.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <csignal>

#include "tests/ui/test_support.h"

namespace tallivan {
namespace {

constexpr int kTimeoutMs = 30000;

TEST(AppTest, TerminationSignalSavesTheBookItLoadedOrLeavesAnUnreadableOneAlone) {
  const QByteArray units = Bytes(u"a [1]\r\n#\r\n\n\r\u2028\u2029\uFDD0\uFDD1\u00A0\xD800\0\r\n");
  const struct {
    int signal_number;
    QByteArray book;
    bool rewritten;
    bool fifo = false;  // the book is a FIFO, which the program must refuse without waiting on it
  } cases[] = {{SIGTERM, units, true},
               {SIGHUP, "", true},
               {SIGINT, "abcde", false},
               {SIGTERM, "", false, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.signal_number);
    QTemporaryDir dir;
    const QString book = dir.filePath(QStringLiteral("book"));
    const QString program = dir.filePath(QStringLiteral("tallivan"));
    ASSERT_TRUE(QFile::copy(QStringLiteral(TALLIVAN_EXECUTABLE), program));
    if (c.fifo) {
      ASSERT_EQ(mkfifo(QFile::encodeName(book).constData(), 0600), 0);
    } else {
      PutFile(book, c.book);
    }
    const ino_t before = InodeOf(book);
    // The program reads its book once it catches the signals.
    const int watch = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(watch, QFile::encodeName(book), IN_CLOSE_NOWRITE), 0);
    QProcess process;  // off screen, with a temporary home folder, as this test runs
    process.start(program, {});
    pollfd read{watch, POLLIN, 0};
    ASSERT_EQ(poll(&read, 1, kTimeoutMs), 1) << "the program never read its book";
    close(watch);
    ASSERT_EQ(kill(static_cast<pid_t>(process.processId()), c.signal_number), 0);
    ASSERT_TRUE(process.waitForFinished(kTimeoutMs));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    struct stat st {};
    ASSERT_EQ(stat(QFile::encodeName(book).constData(), &st), 0);
    EXPECT_TRUE(c.fifo ? S_ISFIFO(st.st_mode) : ReadBytes(book) == c.book);
    EXPECT_EQ(InodeOf(book) != before, c.rewritten);
    EXPECT_EQ(QDir(dir.path()).entryList({QStringLiteral("book.*")}, QDir::Files), QStringList());
  }
}

}  // namespace
}  // namespace tallivan
