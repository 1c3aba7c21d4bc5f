#include "ui/frm_main.h"

#include <gtest/gtest.h>

#include <QClipboard>
#include <QFontInfo>
#include <QMimeData>
#include <QTest>
#include <QTextBlock>
#include <algorithm>
#include <memory>
#include <string>

#include "ledger/ledger.h"
#include "tests/session/session_test_support.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;

// The decimal separator of the locale the test runs in (see CMakeLists.txt).
const std::u16string kSeparator =
    qEnvironmentVariable("TALLIVAN_TEST_DECIMAL_SEPARATOR", ".").toStdU16String();

class FrmMainTest : public ::testing::Test {
 protected:
  // Makes the window for the book at `path` and, with `show`, waits until it is active, which
  // loads the book.
  void Open(const fs::path& path, bool show = true) {
    auto messenger = std::make_unique<FakeMessenger>();
    messenger_ = messenger.get();
    window_ =
        std::make_unique<frmMain>(QString::fromStdString(path.string()), std::move(messenger));
    if (show) Show();
  }
  void Show() {
    window_->show();
    window_->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(window_.get()));
  }
  // Presses `key`; unlike QTest::keyClick, also keys that no character stands for.
  void Press(Qt::Key key, Qt::KeyboardModifiers modifiers = {}) {
    const QString text = key < Qt::Key_Escape ? QString(QChar(key)).toLower() : QString();
    QTest::sendKeyEvent(QTest::Click, window_->txtMain, key, text, modifiers);
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

  TempDir dir_;
  const fs::path book_ = dir_.path() / "book";
  FakeMessenger* messenger_ = nullptr;
  std::unique_ptr<frmMain> window_;
};

// The text box gives some function keys meanings of its own where X11 key bindings apply (F14
// undoes, F16 copies, F18 pastes, F20 cuts): this table also runs in an X session (CMakeLists.txt).
TEST_F(FrmMainTest, F1ToF16RecalculateAndDoNothingElseAndTheOtherFunctionKeysDoNothing) {
  constexpr int kEnd = -2;
  const std::u16string sample(kSampleText);
  const std::u16string after = std::get<std::u16string>(Recalculate(sample + u"x", kSeparator));
  const auto all = Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier;
  const std::string bracket = "Something invalid in the Bracket.\r\n括号中有内容不可识别。";
  const struct {
    std::u16string book;
    Qt::Key key;
    Qt::KeyboardModifiers modifiers;
    std::u16string text;  // afterwards, with the "x" typed before the key; empty: as before
    int caret;            // afterwards; -1: the selection of the whole text stays
    std::string message;  // empty: none
  } cases[] = {{sample, Qt::Key_F1, Qt::NoModifier, after, kEnd, {}},
               {sample, Qt::Key_F13, Qt::ShiftModifier, after, kEnd, {}},
               {sample, Qt::Key_F14, Qt::NoModifier, after, kEnd, {}},
               {sample, Qt::Key_F16, all, after, kEnd, {}},
               // What the usual X keyboard map makes of the physical keys F13 to F16.
               {sample, Qt::Key_Tools, Qt::NoModifier, after, kEnd, {}},
               {sample, Qt::Key_Launch7, Qt::ShiftModifier, after, kEnd, {}},
               {sample, Qt::Key_F17, Qt::NoModifier, {}, -1, {}},  // key code 128
               {sample, Qt::Key_F18, Qt::ShiftModifier, {}, -1, {}},
               {sample, Qt::Key_F20, Qt::NoModifier, {}, -1, {}},
               {sample, Qt::Key_F24, all, {}, -1, {}},
               {sample, Qt::Key_Slash, Qt::KeypadModifier, u"/", 1, {}},  // key code 111
               {u"ab\r\n\r\n[2 x]\r\n#", Qt::Key_F1, Qt::NoModifier, {}, 4, bracket},
               {u"[1]\r\n#  (9.00) ,  9.00\r\n\n[2\r\n#", Qt::Key_F1, Qt::NoModifier, {}, 22, {}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(QKeySequence(c.key | c.modifiers).toString().toStdString());
    WriteBytes(book_, Le(c.book));
    Open(book_);
    TypeXAtEnd();
    window_->txtMain->selectAll();
    Press(c.key, c.modifiers);
    EXPECT_EQ(Text(), c.text.empty() ? c.book + u"x" : c.text);
    EXPECT_EQ(Caret(), c.caret == kEnd ? End() : c.caret);
    ASSERT_EQ(Shown().size(), c.message.empty() ? 0u : 1u);
    if (c.message.empty()) continue;
    EXPECT_EQ(Shown()[0].title, "Invalid content - 内容有误");
    EXPECT_EQ(Shown()[0].body, c.message);
  }
}

TEST_F(FrmMainTest, RecalculationIsOneUndoStepCtrlYRedoesAndCopiesUseTheSystemsLineEnds) {
  const std::u16string book = u"a\n[1]\r\n # \r [7]\r\n\u2029[2]\u2028\r\n#\r\n\r";
  WriteBytes(book_, Le(book));
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
  Press(Qt::Key_Y, Qt::ControlModifier);
  EXPECT_EQ(Text(), book + u"x");
  window_->txtMain->selectAll();
  Press(Qt::Key_C, Qt::ControlModifier);
  const QMimeData* copied = QGuiApplication::clipboard()->mimeData();
  EXPECT_EQ(copied->text(), QString::fromUtf16(u"a\n[1]\n # \r [7]\n\u2029[2]\u2028\n#\n\rx"));
  EXPECT_EQ(copied->data(QString::fromLatin1(kLedgerMimeType)).toStdString(), Le(book + u"x"));
}

TEST_F(FrmMainTest, LoadsTheBookOnceAndClosingWritesItBackByteForByteOnlyWhenItChanged) {
  std::u16string book = u"\n";
  for (int unit = 0; unit <= 0xFFFF; ++unit) {
    book += static_cast<char16_t>(unit);
    if (unit % 100 == 0) book += u"\r\n";
  }
  book += u"\r\r\n\n\u240A\n\u240A\r\n\u2029\u2029\r\n\r";
  WriteBytes(book_, Le(book));
  const uint64_t before = FileId(book_);
  Open(book_, /*show=*/false);  // closed before the book was shown: it is left alone
  EXPECT_TRUE(window_->close());
  EXPECT_EQ(FileId(book_), before);
  Open(book_);
  EXPECT_TRUE(Shown().empty());
  EXPECT_EQ(Text(), book);
  EXPECT_EQ(Caret(), End());
  // Units 10 to 13 of line 1 are a lone LF, VT, FF and a lone CR.
  EXPECT_EQ(window_->txtMain->document()->blockCount(), 660);
  EXPECT_EQ(window_->txtMain->document()->findBlockByNumber(1).text().mid(9, 4),
            QString::fromUtf16(u"\u240A\v\f\u240D"));
  WriteBytes(book_, "changed");
  QEvent activate(QEvent::WindowActivate);
  QApplication::sendEvent(window_.get(), &activate);
  EXPECT_EQ(Text(), book);
  WriteBytes(book_, Le(book));
  TypeXAtEnd();
  Press(Qt::Key_Backspace);
  Press(Qt::Key_Y);
  EXPECT_TRUE(window_->close());
  EXPECT_EQ(ReadBytes(book_), Le(book + u"y"));
}

// What closing decides is the session's (see its tests); the window only has to follow it.
TEST_F(FrmMainTest, EveryCloseGoesThroughTheSessionWhichMayKeepTheWindowOpen) {
  fs::create_directories(book_);  // a book that cannot be written
  Open(book_);
  TypeXAtEnd();
  messenger_->answers = {{"Warning - 警告", Answer::kYes}, {"Error - 发生错误", Answer::kNo}};
  EXPECT_FALSE(window_->close());
  EXPECT_TRUE(window_->isVisible());
  EXPECT_EQ(Text(), std::u16string(kSampleText) + u"x");
}

TEST_F(FrmMainTest, AMissingBookIsReportedNothingIsDrawnBeforeTheLoadAndLatinIsLegible) {
  const auto blank = [this] {
    const QImage drawn = window_->txtMain->viewport()->grab().toImage();
    QImage ground(drawn.size(), drawn.format());
    ground.fill(drawn.pixelColor(0, 0));
    return drawn == ground;
  };
  Open(book_, /*show=*/false);
  EXPECT_TRUE(blank()) << "the sample would flash before the book";
  Show();
  EXPECT_FALSE(blank());
  ASSERT_EQ(Shown().size(), 1u);
  EXPECT_EQ(Shown()[0].title, "Info - 提示");
  EXPECT_EQ(Shown()[0].body,
            "Book not found. A new book will be created at " + book_.string() +
                " when this window closes.\r\n没找到已存在的账本。关闭本窗口时将在 " +
                book_.string() + " 创建一个新的账本。");
  EXPECT_EQ(Text(), kSampleText);
  EXPECT_EQ(Caret(), End());
  const QFont font = window_->txtMain->font();
  EXPECT_EQ(QFontInfo(font).family(), QStringLiteral("DejaVu Sans Mono"));
  EXPECT_EQ(font.pointSize(), 9);
  EXPECT_TRUE(font.families().contains(QStringLiteral("宋体")));
}

}  // namespace
}  // namespace tallivan
