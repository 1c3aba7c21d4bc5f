#include "ui/frm_main.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <algorithm>
#include <memory>
#include <string>

#include "ledger/ledger.h"
#include "tests/ui/test_support.h"

namespace tallivan {
namespace {

using namespace std::string_literals;

const QString kErrorTitle = QStringLiteral("Error - 发生错误");
const QString kWarningTitle = QStringLiteral("Warning - 警告");

// The decimal separator of the locale the test runs in (see CMakeLists.txt).
const std::u16string kSeparator =
    qEnvironmentVariable("TALLIVAN_TEST_DECIMAL_SEPARATOR", ".").toStdU16String();

// The sample text with its four subtotal lines as F1 writes them.
std::u16string SampleAfterF1() {
  std::u16string text(kSampleText);
  size_t at = 0;
  for (std::u16string sums :
       {u"(0.01) ,  0.01"s, u"(-0.01) ,  0.00"s, u"(0.00) ,  0.00"s, u"(10.00) ,  10.00"s}) {
    std::replace(sums.begin(), sums.end(), u'.', kSeparator[0]);
    at = text.find(u"\n#\r", at) + 2;
    text.insert(at, u"  " + sums);
  }
  return text;
}

class FrmMainTest : public ::testing::Test {
 protected:
  // Makes the window for the book at `path` and, with `show`, waits until it is active, which
  // loads the book.
  void Open(const QString& path, bool show = true) {
    auto messenger = std::make_unique<FakeMessenger>();
    messenger_ = messenger.get();
    window_ = std::make_unique<frmMain>(path, std::move(messenger));
    if (!show) return;
    window_->show();
    EXPECT_TRUE(QTest::qWaitForWindowActive(window_.get()));
  }
  void Press(Qt::Key key, Qt::KeyboardModifiers modifiers = {}) {
    QTest::keyClick(window_->txtMain, key, modifiers);
  }
  void TypeXAtEnd() {
    Press(Qt::Key_End, Qt::ControlModifier);
    Press(Qt::Key_X);
  }
  std::u16string Text() const { return window_->txtMain->LedgerText(); }
  // Where the caret is, or -1 when something is selected.
  int Caret() const {
    const QTextCursor cursor = window_->txtMain->textCursor();
    return cursor.hasSelection() ? -1 : cursor.position();
  }
  int End() const { return window_->txtMain->document()->characterCount() - 1; }
  std::vector<FakeMessenger::Shown>& Shown() { return messenger_->shown; }
  QString At(const QString& name) const { return dir_.filePath(name); }
  QStringList Files(const QString& pattern) const {
    return QDir(dir_.path()).entryList({pattern}, QDir::Files);
  }

  QTemporaryDir dir_;
  const QString book_ = dir_.filePath(QStringLiteral("book"));
  FakeMessenger* messenger_ = nullptr;
  std::unique_ptr<frmMain> window_;
};

TEST_F(FrmMainTest, MissingBookIsReportedAndTheCaretGoesToTheEndOfTheSample) {
  Open(book_);
  ASSERT_EQ(Shown().size(), 1u);
  EXPECT_EQ(Shown()[0].title, QStringLiteral("Info - 提示"));
  EXPECT_EQ(Shown()[0].body,
            QStringLiteral("Book not found. Creating a new one. The book is a file named 'book' in "
                           "this folder.\r\n没找到已存在的账本，创建了一个新的。账本是在本文件夹下"
                           "的名为“book”的文件。"));
  EXPECT_EQ(Text(), kSampleText);
  EXPECT_EQ(Caret(), End());
}

TEST_F(FrmMainTest, RecalculatesOnF1ToF16WhateverTheModifiersOrPointsToTheRejectedLine) {
  constexpr int kEnd = -2;
  const std::u16string sample(kSampleText);
  const std::u16string after = SampleAfterF1();
  const auto all = Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier;
  const QString bracket =
      QStringLiteral("Something invalid in the Bracket.\r\n括号中有内容不可识别。");
  const struct {
    std::u16string book;
    Qt::Key key;
    Qt::KeyboardModifiers modifiers;
    std::u16string text;  // afterwards; empty: the book unchanged
    int caret;            // afterwards; -1: the selection of the whole text stays
    QString message;      // empty: none
  } cases[] = {{sample, Qt::Key_F1, Qt::NoModifier, after, kEnd, {}},
               {sample, Qt::Key_F13, Qt::ShiftModifier, after, kEnd, {}},
               {sample, Qt::Key_F14, Qt::ControlModifier, after, kEnd, {}},
               {sample, Qt::Key_F15, Qt::AltModifier, after, kEnd, {}},
               {sample, Qt::Key_F16, all, after, kEnd, {}},
               {sample, Qt::Key_F17, Qt::NoModifier, {}, -1, {}},         // key code 128
               {sample, Qt::Key_Slash, Qt::KeypadModifier, u"/", 1, {}},  // key code 111
               {u"ab\r\n\r\n[2 x]\r\n#", Qt::Key_F1, Qt::NoModifier, {}, 4, bracket},
               {u"[1]\r\n#  (9.00) ,  9.00\r\n\n[2\r\n#", Qt::Key_F1, Qt::NoModifier, {}, 22, {}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    PutFile(book_, Bytes(c.book));
    Open(book_);
    window_->txtMain->selectAll();
    Press(c.key, c.modifiers);
    EXPECT_EQ(Text(), c.text.empty() ? c.book : c.text);
    EXPECT_EQ(Caret(), c.caret == kEnd ? End() : c.caret);
    ASSERT_EQ(Shown().size(), c.message.isEmpty() ? 0u : 1u);
    if (c.message.isEmpty()) continue;
    EXPECT_EQ(Shown()[0].title, QStringLiteral("Invalid content - 内容有误"));
    EXPECT_EQ(Shown()[0].body, c.message);
  }
}

TEST_F(FrmMainTest, RecalculationOfMarkedTextIsOneUndoStepAfterEarlierTyping) {
  const std::u16string book = u"a\n[1]\r\n # \r [7]\r\n\u2029[2]\u2028\r\n#\r\n\r";
  PutFile(book_, Bytes(book));
  Open(book_);
  TypeXAtEnd();
  Press(Qt::Key_F1);
  std::u16string recalculated =
      u"a\n[1]\r\n#  (1.00) ,  1.00\r\n\u2029[2]\u2028\r\n#  (2.00) ,  3.00\r\n\rx";
  std::replace(recalculated.begin(), recalculated.end(), u'.', kSeparator[0]);
  EXPECT_EQ(Text(), recalculated);
  Press(Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(Text(), book + u"x");
  Press(Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(Text(), book);
}

TEST_F(FrmMainTest, LoadsTheBookOnceAndClosingWritesItBackByteForByteEvenWithoutAChange) {
  std::u16string book = u"\n";
  for (int unit = 0; unit <= 0xFFFF; ++unit) {
    book += static_cast<char16_t>(unit);
    if (unit % 100 == 0) book += u"\r\n";
  }
  book += u"\r\r\n\n\u240A\n\u240A\r\n\u2029\u2029\r\n\r";
  PutFile(book_, Bytes(book));
  const ino_t before = InodeOf(book_);
  Open(book_, /*show=*/false);  // closed before the book was shown: it is left alone
  EXPECT_TRUE(window_->close());
  EXPECT_EQ(InodeOf(book_), before);
  Open(book_);
  EXPECT_TRUE(Shown().empty());
  EXPECT_EQ(Text(), book);
  EXPECT_EQ(Caret(), End());
  // Units 10 to 13 of line 1 are a lone LF, VT, FF and a lone CR.
  EXPECT_EQ(window_->txtMain->document()->blockCount(), 660);
  EXPECT_EQ(window_->txtMain->document()->findBlockByNumber(1).text().mid(9, 4),
            QString::fromUtf16(u"\u240A\v\f\u240D"));
  PutFile(book_, "changed");
  QEvent activate(QEvent::WindowActivate);
  QApplication::sendEvent(window_.get(), &activate);
  EXPECT_EQ(Text(), book);
  PutFile(book_, Bytes(book));
  EXPECT_TRUE(window_->close());
  EXPECT_EQ(ReadBytes(book_), Bytes(book));
  EXPECT_NE(InodeOf(book_), before);
}

TEST_F(FrmMainTest, ClosingOverwritesAnUntrustedBookOnlyWithConsentAndUnattendedNever) {
  const std::optional<QByteArray> kNone;
  const struct {
    const char* name;
    std::optional<QByteArray> at_load;     // nullopt: none; odd length: unreadable
    std::optional<QByteArray> after_load;  // what another program leaves
    bool edited;
    bool asks;
  } cases[] = {{"unread, sample unchanged", "abcde", "abcde", false, false},
               {"unread, edited", "abcde", "abcde", true, true},
               {"rewritten on disk", "mine", "theirs", false, true},
               {"created on disk", kNone, "theirs", false, true},
               {"deleted on disk", "mine", kNone, false, true}};
  for (const bool attended : {true, false}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (attended ? "" : ", unattended"));
      ASSERT_TRUE(dir_.remove() && QDir().mkpath(dir_.path()));
      PutFile(book_, c.at_load);
      Open(book_);
      if (c.edited) TypeXAtEnd();
      PutFile(book_, c.after_load);
      const size_t shown = Shown().size();
      const bool asks = c.asks && attended;
      EXPECT_EQ(window_->RequestClose(attended ? Attendance::kAttended : Attendance::kUnattended),
                !asks);
      EXPECT_EQ(ReadBytes(book_), c.after_load);
      const QStringList recovery = Files(QStringLiteral("book.unsaved-*"));
      ASSERT_EQ(recovery.size(), c.asks && !attended ? 1 : 0);
      if (!recovery.isEmpty()) {
        EXPECT_EQ(ReadBytes(At(recovery[0])), Bytes(Text()));
      }
      ASSERT_EQ(Shown().size(), shown + (asks ? 1 : 0));
      if (!asks) continue;
      EXPECT_EQ(Shown().back().title, kWarningTitle);
      EXPECT_TRUE(Shown().back().body.contains(book_));
      EXPECT_EQ(Shown().back().default_answer, Answer::kNo);
      messenger_->answers[kWarningTitle] = Answer::kYes;
      EXPECT_TRUE(window_->close());
      EXPECT_EQ(ReadBytes(book_), Bytes(Text()));
    }
  }
}

TEST_F(FrmMainTest, FailedSaveKeepsTheWindowOpenUnlessTheUserAgreesOrARecoveryFileIsWritten) {
  // Saving fails to a folder, through a link into a missing folder and through a file; the first
  // and the last cannot be read either, so the window first asks whether to overwrite them.
  ASSERT_TRUE(QDir().mkpath(book_));
  ASSERT_TRUE(QFile::link(At("nowhere/book"), At("link")));
  PutFile(At("file"), "");
  const QByteArray home = qgetenv("HOME");
  qputenv("HOME", QFile::encodeName(At("file/home")));
  for (const QString& path : {book_, At("link"), At("file/book")}) {
    Open(path);
    TypeXAtEnd();
    messenger_->answers = {{kWarningTitle, Answer::kYes}, {kErrorTitle, Answer::kNo}};
    EXPECT_FALSE(window_->close());
    EXPECT_EQ(Shown().back().title, kErrorTitle);
    EXPECT_TRUE(Shown().back().body.contains(path));
    EXPECT_TRUE(Shown().back().body.endsWith(
        QStringLiteral("\r\nThe book could not be saved. Close without saving "
                       "it?\r\n账本未能保存。不保存就关闭吗？")));
    EXPECT_EQ(Shown().back().default_answer, Answer::kNo);
    EXPECT_EQ(Text(), std::u16string(kSampleText) + u"x");
    messenger_->answers[kErrorTitle] = Answer::kYes;
    // With nobody to answer, the text goes to a file beside the book, else in the home folder.
    EXPECT_EQ(path == book_ ? window_->close() : window_->RequestClose(Attendance::kUnattended),
              path != At("file/book"));
  }
  qputenv("HOME", QFile::encodeName(dir_.path()));
  EXPECT_TRUE(window_->RequestClose(Attendance::kUnattended));
  qputenv("HOME", home);
  const QStringList recovery = Files(QStringLiteral("*.unsaved-*"));
  ASSERT_EQ(recovery.size(), 2);
  for (const QString& name : recovery) {
    EXPECT_EQ(ReadBytes(At(name)), Bytes(std::u16string(kSampleText) + u"x"));
  }
  EXPECT_TRUE(QFileInfo(book_).isDir());
}

}  // namespace
}  // namespace tallivan
