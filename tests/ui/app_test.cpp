// Starts the real program, off screen, from a copy in a temporary folder, so that its book is the
// one beside that copy, and ends it with a termination signal.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <optional>
#include <string>

#include "tests/ui/test_files.h"
#include "ui/frm_main.h"

namespace tallivan {
namespace {

constexpr int kTimeoutMs = 30000;

// Whether /proc says process `pid` catches SIGTERM, SIGHUP and SIGINT.
bool CatchesTerminationSignals(qint64 pid) {
  QFile status(QStringLiteral("/proc/%1/status").arg(pid));
  if (!status.open(QIODevice::ReadOnly)) return false;
  for (const QByteArray& line : status.readAll().split('\n')) {
    if (!line.startsWith("SigCgt:")) continue;
    const qulonglong caught = line.mid(7).trimmed().toULongLong(nullptr, 16);
    const qulonglong wanted =
        (1ull << (SIGTERM - 1)) | (1ull << (SIGHUP - 1)) | (1ull << (SIGINT - 1));
    return (caught & wanted) == wanted;
  }
  return false;
}

class AppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    book_ = dir_.filePath(QStringLiteral("book"));
    program_ = dir_.filePath(QStringLiteral("tallivan"));
    ASSERT_TRUE(QFile::copy(QStringLiteral(TALLIVAN_EXECUTABLE), program_));
  }

  void TearDown() override {
    if (process_.state() != QProcess::NotRunning) {
      process_.kill();
      process_.waitForFinished();
    }
  }

  // Starts the program; with `wait_for_load`, returns once it has read the existing book.
  void Start(bool wait_for_load) {
    int watch = -1;
    if (wait_for_load) {
      watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
      ASSERT_GE(inotify_add_watch(watch, QFile::encodeName(book_).constData(), IN_CLOSE_NOWRITE),
                0);
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("HOME"), dir_.path());
    process_.setProcessEnvironment(environment);
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start(program_, {});
    ASSERT_TRUE(process_.waitForStarted(kTimeoutMs));
    const QDeadlineTimer deadline(kTimeoutMs);
    while (!CatchesTerminationSignals(process_.processId())) {
      ASSERT_FALSE(deadline.hasExpired());
      QThread::msleep(10);
    }
    if (watch >= 0) {
      pollfd ready{watch, POLLIN, 0};
      const int polled = poll(&ready, 1, kTimeoutMs);
      close(watch);
      ASSERT_EQ(polled, 1) << "the program never read its book";
    }
  }

  // Sends `signal_number` and expects the program to end normally.
  void EndWith(int signal_number) {
    ASSERT_EQ(kill(static_cast<pid_t>(process_.processId()), signal_number), 0);
    ASSERT_TRUE(process_.waitForFinished(kTimeoutMs));
    EXPECT_EQ(process_.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process_.exitCode(), 0);
  }

  QTemporaryDir dir_;
  QString book_;
  QString program_;
  QProcess process_;
};

TEST_F(AppTest, SigtermSavesTheBookItLoadedByteForByte) {
  const std::u16string book = u"a [1]\r\n#\r\n\n\r\u2028\u2029\uFDD0\uFDD1\u00A0\xD800\0\r\n";
  WriteUnits(book_, book);
  const ino_t before = InodeOf(book_);
  Start(/*wait_for_load=*/true);
  EndWith(SIGTERM);
  EXPECT_EQ(ReadUnits(book_), book);
  EXPECT_NE(InodeOf(book_), before);
}

TEST_F(AppTest, SighupWithNoBookSavesTheSampleText) {
  Start(/*wait_for_load=*/false);
  EndWith(SIGHUP);
  EXPECT_EQ(ReadUnits(book_), kSampleText);
}

TEST_F(AppTest, SigintLeavesAnUnreadableBookAlone) {
  WriteUnits(book_, u"abc");
  QFile(book_).resize(5);
  const QByteArray unread = *ReadBytes(book_);
  const ino_t before = InodeOf(book_);
  Start(/*wait_for_load=*/true);
  EndWith(SIGINT);
  EXPECT_EQ(ReadBytes(book_), unread);
  EXPECT_EQ(InodeOf(book_), before);
  EXPECT_TRUE(FilesStartingWith(dir_.path(), QStringLiteral("book.")).isEmpty());
}

TEST_F(AppTest, SigtermKeepsABookChangedOnDiskAndRecoversTheWindowsText) {
  WriteUnits(book_, u"mine");
  Start(/*wait_for_load=*/true);
  WriteUnits(book_, u"theirs");
  EndWith(SIGTERM);
  EXPECT_EQ(ReadUnits(book_), u"theirs");
  const QStringList recovery = FilesStartingWith(dir_.path(), QStringLiteral("book.unsaved-"));
  ASSERT_EQ(recovery.size(), 1);
  EXPECT_EQ(ReadUnits(dir_.filePath(recovery[0])), u"mine");
}

}  // namespace
}  // namespace tallivan
