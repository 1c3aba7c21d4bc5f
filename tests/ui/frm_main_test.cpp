#include "ui/frm_main.h"

#include <gtest/gtest.h>

#include <QClipboard>
#include <QFontInfo>
#include <QInputDialog>
#include <QMimeData>
#include <QTest>
#include <QTextBlock>
#include <algorithm>
#include <memory>
#include <string>

#include "ledger/ledger.h"
#include "ledger/line_totals.h"
#include "session/user_settings.h"
#include "storage/history.h"
#include "tests/session/session_test_support.h"
#include "window/totals_text.h"

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

// Ctrl+S saves through the session, as closing would (the old text into the history), and the
// window stays open; closing afterwards has nothing left to write.
TEST_F(FrmMainTest, CtrlSSavesKeepsTheOldTextAndLeavesTheWindowOpen) {
  WriteBytes(book_, Le(u"a [1]"));
  Open(book_);
  TypeXAtEnd();
  Press(Qt::Key_S, Qt::ControlModifier);
  EXPECT_EQ(ReadBytes(book_), Le(u"a [1]x"));
  EXPECT_EQ(Text(), u"a [1]x");
  EXPECT_TRUE(window_->isVisible());
  const std::vector<std::string> versions = Entries(HistoryFolder(book_).value());
  ASSERT_EQ(versions.size(), 1u);
  EXPECT_EQ(ReadBytes(HistoryFolder(book_).value() / versions[0]), Le(u"a [1]"));
  const uint64_t saved = FileId(book_);
  EXPECT_TRUE(window_->close());
  EXPECT_EQ(FileId(book_), saved);
  EXPECT_TRUE(Shown().empty());
}

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

// The totals line, on and off, through the same keys: the figures always those of a fresh
// reading of the text at the caret or selection, the text and the undo steps exactly as with the
// line off, a click on the reason going to the rejected line, and the choice kept for the next
// window.
TEST_F(FrmMainTest, TheTotalsLineFollowsTheTextWithoutChangingItAndIsKeptForTheNextWindow) {
  const std::u16string book = u"lunch [12.80]\r\ncoffee [2 3.5]\r\n# old\r\nrent [1000]\r\n#";
  const fs::path settings = StateFolderPath().value() / UserSettings::kFileName;
  fs::remove(settings);
  const struct {
    Qt::Key key;
    Qt::KeyboardModifiers modifiers;
  } keys[] = {{Qt::Key_End, Qt::ControlModifier},
              {Qt::Key_Return, {}},
              {Qt::Key_BracketLeft, {}},
              {Qt::Key_5, {}},
              {Qt::Key_BracketRight, {}},
              {Qt::Key_Up, Qt::ShiftModifier},
              {Qt::Key_Home, Qt::ControlModifier},
              {Qt::Key_Down, Qt::ShiftModifier},
              {Qt::Key_Down, Qt::ShiftModifier},
              {Qt::Key_X, Qt::ControlModifier},
              {Qt::Key_V, Qt::ControlModifier},
              {Qt::Key_V, Qt::ControlModifier},
              {Qt::Key_BracketLeft, {}},
              {Qt::Key_Z, Qt::ControlModifier},
              {Qt::Key_Down, {}},
              {Qt::Key_BracketLeft, {}},
              {Qt::Key_Backspace, {}},
              {Qt::Key_BracketLeft, {}}};
  std::u16string text_off;
  int undo_off = 0;
  for (const bool on : {false, true}) {
    SCOPED_TRACE(on ? "on" : "off");
    WriteBytes(book_, Le(book));
    Open(book_);
    TotalsBar* bar = window_->totals_bar;
    EXPECT_TRUE(bar->isHidden()) << "off until turned on";
    if (on) Press(Qt::Key_T, Qt::ControlModifier);
    EXPECT_EQ(bar->isHidden(), !on);
    int step = 0;
    for (const auto& key : keys) {
      Press(key.key, key.modifiers);
      if (!on) continue;
      bar->Refresh();
      const QTextCursor cursor = window_->txtMain->textCursor();
      const QTextDocument& document = *window_->txtMain->document();
      std::optional<std::pair<int64_t, int64_t>> selection;
      if (cursor.hasSelection()) {
        const QTextBlock last = document.findBlock(cursor.selectionEnd());
        selection.emplace(document.findBlock(cursor.selectionStart()).blockNumber(),
                          last.blockNumber() - (last.position() == cursor.selectionEnd()));
      }
      LineTotals fresh(Text(), kSeparator);
      const TotalsText expected =
          DescribeTotals(fresh, cursor.blockNumber(), selection, kSeparator);
      EXPECT_EQ(bar->figures().toStdU16String(), expected.figures) << "step " << step;
      EXPECT_EQ(bar->reason().toStdU16String(), expected.reason) << "step " << step;
      ++step;
    }
    if (!on) {
      text_off = Text();
      undo_off = window_->txtMain->document()->availableUndoSteps();
      continue;
    }
    EXPECT_EQ(Text(), text_off);
    EXPECT_EQ(window_->txtMain->document()->availableUndoSteps(), undo_off);
    // The last "[" leaves a line unmatched; a click on the reason goes to that line's start.
    EXPECT_TRUE(bar->reason().startsWith(QStringLiteral("Line "))) << bar->reason().toStdString();
    EXPECT_TRUE(bar->reason().endsWith(QStringLiteral("Unmatched bracket.")));
    const int rejected = bar->reason().mid(5).section(u':', 0, 0).toInt() - 1;
    Press(Qt::Key_End, Qt::ControlModifier);
    QTest::mouseClick(bar->findChildren<QLabel*>()[1], Qt::LeftButton);
    EXPECT_EQ(Caret(), window_->txtMain->document()->findBlockByNumber(rejected).position());
    EXPECT_EQ(Text(), text_off);
  }
  // The choice is the user's: the next window shows the line until it is turned off again.
  EXPECT_TRUE(window_->close());
  WriteBytes(book_, Le(book));
  Open(book_);
  EXPECT_FALSE(window_->totals_bar->isHidden());
  EXPECT_EQ(
      window_->totals_bar->figures().toStdU16String(),
      u"Group 1000" + kSeparator + u"00, total 1019" + kSeparator + u"80; 2 # lines out of date");
  Press(Qt::Key_T, Qt::ControlModifier);
  Open(book_);
  EXPECT_TRUE(window_->totals_bar->isHidden());
  EXPECT_TRUE(fs::exists(settings));
}

// The first window has the original size; every later one opens where and as large as the last
// one closed, whatever the book, unless what was kept cannot be read.
TEST_F(FrmMainTest, TheWindowKeepsItsSizeAndPlaceForTheNextWindow) {
  const fs::path settings = StateFolderPath().value() / UserSettings::kFileName;
  fs::remove(settings);
  const QSize first(312, 213);
  Open(book_);
  EXPECT_EQ(window_->size(), first);
  window_->setGeometry(40, 50, 500, 420);
  ASSERT_TRUE(window_->close());
  Open(dir_.path() / "another book");
  EXPECT_EQ(window_->geometry(), QRect(40, 50, 500, 420));
  window_->resize(600, 300);
  ASSERT_TRUE(window_->close());
  Open(book_);
  EXPECT_EQ(window_->geometry(), QRect(40, 50, 600, 300));
  ASSERT_TRUE(window_->close());
  WriteBytes(settings, "window.qt_geometry=not geometry\n");
  Open(book_);
  EXPECT_EQ(window_->size(), first);
}

// Ctrl+F: next and previous round the ends, match case off at first, the matching lines counted
// and their entries summed; Escape closes the bar; Ctrl+G asks for a line and goes there. None of
// it changes the text or adds an undo step.
TEST_F(FrmMainTest, CtrlFFindsCountsAndSumsMatchesAndCtrlGGoesToALine) {
  const std::u16string book =
      u"Taxi [12.50]\r\nlunch [8]\r\ntaxi home [400]\r\n# taxi week\r\nbus [2]\r\ntaxi refund "
      u"[-0.004]\r\nnot a taxi [x";
  WriteBytes(book_, Le(book));
  Open(book_);
  FindBar* bar = window_->find_bar;
  EXPECT_TRUE(bar->isHidden());
  Press(Qt::Key_F, Qt::ControlModifier);
  EXPECT_FALSE(bar->isHidden());
  EXPECT_FALSE(bar->match_case()->isChecked());
  QTest::keyClicks(bar->text(), QStringLiteral("taxi"));
  const auto figure = [](std::u16string_view figure) {
    std::u16string text(figure);
    std::replace(text.begin(), text.end(), u'.', kSeparator[0]);
    return QString::fromStdU16String(text);
  };
  EXPECT_EQ(bar->summary().toStdString(),
            ("taxi: 5 lines, 3 entries, " + figure(u"412.50")).toStdString());
  const auto position = [this] { return window_->txtMain->textCursor().selectionStart(); };
  const struct {
    Qt::KeyboardModifiers modifiers;
    int at;
  } steps[] = {{{}, 0},
               {{}, 23},
               {{}, 41},
               {Qt::ShiftModifier, 23},
               {Qt::ShiftModifier, 0},
               {Qt::ShiftModifier, 86},
               {{}, 0}};
  for (const auto& step : steps) {
    QTest::keyClick(bar->text(), Qt::Key_Return, step.modifiers);
    EXPECT_EQ(position(), step.at);
  }
  bar->match_case()->setChecked(true);
  EXPECT_EQ(bar->summary().toStdString(),
            ("taxi: 4 lines, 2 entries, " + figure(u"400.00")).toStdString());
  QTest::keyClick(bar->text(), Qt::Key_Return);
  EXPECT_EQ(position(), 23) << "the capital T no longer matches";
  QTest::keyClick(bar->text(), Qt::Key_Escape);
  EXPECT_TRUE(bar->isHidden());
  EXPECT_TRUE(window_->txtMain->hasFocus());

  Press(Qt::Key_G, Qt::ControlModifier);
  auto* dialog = window_->findChild<QInputDialog*>();
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(dialog->intValue(), 3) << "the caret's line";
  dialog->setIntValue(5);
  dialog->accept();
  EXPECT_EQ(Caret(), 51);
  EXPECT_EQ(Text(), book);
  EXPECT_EQ(window_->txtMain->document()->availableUndoSteps(), 0);
}

}  // namespace
}  // namespace tallivan
