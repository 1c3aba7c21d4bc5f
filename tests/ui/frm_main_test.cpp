#include "ui/frm_main.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <QApplication>
#include <QFile>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "ledger/ledger.h"
#include "tests/ui/fake_messenger.h"
#include "tests/ui/test_files.h"

namespace tallivan {
namespace {

using namespace std::string_literals;

const QString kInvalidTitle = QStringLiteral("Invalid content - 内容有误");
const QString kWarningTitle = QStringLiteral("Warning - 警告");
const QString kErrorTitle = QStringLiteral("Error - 发生错误");

std::vector<std::u16string> Lines(std::u16string_view text) {
  std::vector<std::u16string> lines;
  for (size_t start = 0;;) {
    const size_t end = text.find(u"\r\n", start);
    lines.emplace_back(text.substr(start, end - start));
    if (end == std::u16string_view::npos) return lines;
    start = end + 2;
  }
}

std::u16string Join(const std::vector<std::u16string>& lines) {
  std::u16string text;
  for (size_t i = 0; i < lines.size(); ++i) text += (i > 0 ? u"\r\n" : u"") + lines[i];
  return text;
}

// The figures are written with the decimal separator of the locale the test runs in (see
// CMakeLists.txt).
std::u16string Separator() {
  const QString separator = qEnvironmentVariable("TALLIVAN_TEST_DECIMAL_SEPARATOR", ".");
  return separator.toStdU16String();
}

std::u16string SampleAfterF1() {
  std::vector<std::u16string> lines = Lines(kSampleText);
  const std::u16string& s = Separator();
  lines[1] = u"#  (0" + s + u"01) ,  0" + s + u"01";
  lines[3] = u"#  (-0" + s + u"01) ,  0" + s + u"00";
  lines[5] = u"#  (0" + s + u"00) ,  0" + s + u"00";
  lines[8] = u"#  (10" + s + u"00) ,  10" + s + u"00";
  return Join(lines);
}

// Makes writes beyond `bytes` fail with EFBIG (SIGXFSZ ignored) for as long as it lives.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    previous_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, previous_handler_);
  }

 private:
  rlimit saved_{};
  void (*previous_handler_)(int) = nullptr;
};

class FrmMainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    book_ = dir_.filePath(QStringLiteral("book"));
  }

  frmMain& Make(const QString& path) {
    auto messenger = std::make_unique<FakeMessenger>();
    messenger_ = messenger.get();
    window_ = std::make_unique<frmMain>(path, std::move(messenger));
    return *window_;
  }

  frmMain& Open(const QString& path = {}) {
    Make(path.isEmpty() ? book_ : path);
    window_->show();
    EXPECT_TRUE(QTest::qWaitForWindowActive(window_.get()));
    return *window_;
  }

  void Press(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QTest::keyClick(window_->txtMain, key, modifiers);
  }

  void TypeAtEnd(const QString& text) {
    Press(Qt::Key_End, Qt::ControlModifier);
    QTest::keyClicks(window_->txtMain, text);
  }

  std::u16string Text() const { return window_->txtMain->LedgerText(); }
  int Caret() const { return window_->txtMain->textCursor().position(); }
  bool Selects() const { return window_->txtMain->textCursor().hasSelection(); }
  int End() const { return window_->txtMain->document()->characterCount() - 1; }
  std::vector<FakeMessenger::Shown>& Shown() { return messenger_->shown; }

  QTemporaryDir dir_;
  QString book_;
  FakeMessenger* messenger_ = nullptr;
  std::unique_ptr<frmMain> window_;
};

TEST_F(FrmMainTest, OpensWithTheInitialProperties) {
  WriteUnits(book_, u"x");
  frmMain& window = Open();
  EXPECT_EQ(window.windowTitle(), QStringLiteral("Tallivan v1.01 https://tallivan.example"));
  EXPECT_EQ(window.size(), QSize(312, 213));
  EXPECT_EQ(window.txtMain->geometry(), window.rect());
  EXPECT_EQ(window.findChildren<QWidget*>(Qt::FindDirectChildrenOnly).size(), 1);
  EXPECT_EQ(window.txtMain->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(window.txtMain->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(window.txtMain->lineWrapMode(), QPlainTextEdit::NoWrap);
  EXPECT_EQ(window.txtMain->font().families().value(0), QStringLiteral("宋体"));
  EXPECT_TRUE(window.txtMain->font().families().contains(QStringLiteral("AR PL UMing CN")));
  EXPECT_EQ(window.txtMain->font().pointSize(), 9);
  EXPECT_EQ(QApplication::focusWidget(), window.txtMain);
  EXPECT_EQ(window.book_path(), book_);
}

TEST_F(FrmMainTest, KeepsTheBoxOverTheInnerAreaWhenResized) {
  frmMain& window = Open();
  for (const QSize size : {QSize(500, 400), QSize(120, 90), QSize(312, 213)}) {
    window.resize(size);
    EXPECT_EQ(window.txtMain->geometry(), QRect(QPoint(0, 0), size));
  }
}

TEST_F(FrmMainTest, MissingBookIsReportedAndTheSampleStaysWithTheCaretAtTheEnd) {
  Open();
  ASSERT_EQ(Shown().size(), 1u);
  EXPECT_EQ(Shown()[0].title, QStringLiteral("Info - 提示"));
  EXPECT_EQ(Shown()[0].body,
            QStringLiteral("Book not found. Creating a new one. The book is a file named 'book' in "
                           "this folder.\r\n没找到已存在的账本，创建了一个新的。账本是在本文件夹下"
                           "的名为“book”的文件。"));
  EXPECT_EQ(Text(), kSampleText);
  EXPECT_EQ(Caret(), End());
  EXPECT_FALSE(Selects());
  EXPECT_EQ(window_->book_state(), BookState::kMissing);
}

TEST_F(FrmMainTest, LoadsTheBookOnceWithoutAMessage) {
  const std::u16string book = u"a [1]\r\n#\r\nb\n[2]\r";
  WriteUnits(book_, book);
  Open();
  EXPECT_TRUE(Shown().empty());
  EXPECT_EQ(Text(), book);
  EXPECT_EQ(Caret(), End());
  EXPECT_EQ(window_->book_state(), BookState::kLoaded);

  WriteUnits(book_, u"changed");
  QWidget other;
  other.show();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
  window_->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
  EXPECT_EQ(Text(), book);
}

TEST_F(FrmMainTest, UnreadableBookShowsItsErrorAndKeepsTheSample) {
  const struct {
    const char* name;
    void (*make)(const QString& path);
  } cases[] = {
      {"odd length",
       [](const QString& path) {
         WriteUnits(path, u"ab");
         QFile(path).resize(3);
       }},
      {"folder", [](const QString& path) { QDir().mkpath(path); }},
  };
  for (const auto& c : cases) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("book"));
    c.make(path);
    Open(path);
    ASSERT_EQ(Shown().size(), 1u) << c.name;
    EXPECT_EQ(Shown()[0].title, kErrorTitle) << c.name;
    EXPECT_TRUE(Shown()[0].body.contains(path)) << c.name;
    EXPECT_EQ(Text(), kSampleText) << c.name;
    EXPECT_EQ(Caret(), End()) << c.name;
    EXPECT_EQ(window_->book_state(), BookState::kUnread) << c.name;
  }
}

TEST_F(FrmMainTest, EveryFunctionKeyRecalculatesWhateverTheModifiers) {
  const struct {
    Qt::Key key;
    Qt::KeyboardModifiers modifiers;
  } cases[] = {
      {Qt::Key_F1, Qt::NoModifier},
      {Qt::Key_F5, Qt::ShiftModifier},
      {Qt::Key_F12, Qt::ControlModifier},
      {Qt::Key_F13, Qt::NoModifier},
      {Qt::Key_F16, Qt::AltModifier},
      {Qt::Key_F16, Qt::ShiftModifier | Qt::ControlModifier},
      {Qt::Key_F8, Qt::ControlModifier | Qt::AltModifier},
  };
  for (const auto& c : cases) {
    Open();
    window_->txtMain->SetCaret(3);
    Press(c.key, c.modifiers);
    EXPECT_EQ(Text(), SampleAfterF1()) << c.key << " " << c.modifiers;
    EXPECT_EQ(Caret(), End());
    EXPECT_EQ(Shown().size(), 1u);  // the missing book's message only
  }
}

TEST_F(FrmMainTest, OtherKeysNeverRecalculate) {
  Open();
  const struct {
    Qt::Key key;
    Qt::KeyboardModifiers modifiers;
  } cases[] = {
      {Qt::Key_F17, Qt::NoModifier},        // key code 128
      {Qt::Key_Slash, Qt::KeypadModifier},  // key code 111
      {Qt::Key_Escape, Qt::NoModifier},
      {Qt::Key_Left, Qt::ShiftModifier},
  };
  for (const auto& c : cases) {
    Press(c.key, c.modifiers);
    EXPECT_EQ(Lines(Text())[1], u"#") << c.key;
  }
}

TEST_F(FrmMainTest, RejectedLineLeavesTheTextAndPutsTheCaretAtItsStart) {
  const struct {
    std::u16string book;
    int caret;
    QString message;  // empty: none
  } cases[] = {
      {u"ab\r\n\r\n[2 x]\r\n#", 4,
       QStringLiteral("Something invalid in the Bracket.\r\n括号中有内容不可识别。")},
      {u"[1]\r\n#  (9.00) ,  9.00\r\n\n[2\r\n#", 22, QString()},
      {u"[ ]", 0, QStringLiteral("Empty Bracket.\r\n括号里是空的。")},
      {u"\r\n[900000000000000] [900000000000000]", 1,
       QStringLiteral("Number / result is too big.\r\n数字/计算结果太大。")},
  };
  for (const auto& c : cases) {
    WriteUnits(book_, c.book);
    Open();
    QTextCursor selection = window_->txtMain->textCursor();
    selection.setPosition(0, QTextCursor::KeepAnchor);
    window_->txtMain->setTextCursor(selection);
    Press(Qt::Key_F1);
    EXPECT_EQ(Text(), c.book);
    EXPECT_EQ(Caret(), c.caret);
    EXPECT_FALSE(Selects());
    if (c.message.isEmpty()) {
      EXPECT_TRUE(Shown().empty());
    } else {
      ASSERT_EQ(Shown().size(), 1u);
      EXPECT_EQ(Shown()[0].title, kInvalidTitle);
      EXPECT_EQ(Shown()[0].body, c.message);
    }
  }
}

TEST_F(FrmMainTest, RecalculationIsOneUndoStepAfterEarlierTyping) {
  Open();
  TypeAtEnd(QStringLiteral("x"));
  Press(Qt::Key_F1);
  EXPECT_EQ(Text(), SampleAfterF1() + u"x");
  Press(Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(Text(), std::u16string(kSampleText) + u"x");
  Press(Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(Text(), kSampleText);
}

TEST_F(FrmMainTest, RecalculationOfMarkedTextGivesTheEnginesTextAndSavesIt) {
  const std::u16string book = u"a\n[1]\r\n # \r [7]\r\n\u2029[2]\u2028\r\n#\r\n\r";
  WriteUnits(book_, book);
  Open();
  Press(Qt::Key_F1);
  const RecalcOutcome expected = Recalculate(book, Separator());
  ASSERT_TRUE(std::holds_alternative<std::u16string>(expected));
  EXPECT_EQ(Text(), std::get<std::u16string>(expected));
  EXPECT_TRUE(window_->close());
  EXPECT_EQ(ReadUnits(book_), std::get<std::u16string>(expected));
}

TEST_F(FrmMainTest, DoubleClickOnlySelects) {
  Open();
  const QRect line = window_->txtMain->cursorRect(QTextCursor(window_->txtMain->document()));
  QTest::mouseDClick(window_->txtMain->viewport(), Qt::LeftButton, {}, line.center());
  EXPECT_EQ(Text(), kSampleText);
  EXPECT_FALSE(QFile::exists(book_));
}

TEST_F(FrmMainTest, ClosingWritesTheBookByteForByteEvenWithoutAChange) {
  std::u16string every_unit;
  for (int unit = 0; unit <= 0xFFFF; ++unit) {
    every_unit += static_cast<char16_t>(unit);
    if (unit % 100 == 0) every_unit += u"\r\n";
  }
  for (const std::u16string& book : {every_unit, u""s, u"\r\n\r\n"s, u"\n\r\u00A0\0"s}) {
    WriteUnits(book_, book);
    const ino_t before = InodeOf(book_);
    Open();
    EXPECT_TRUE(Shown().empty());
    EXPECT_TRUE(window_->close());
    EXPECT_EQ(ReadUnits(book_), book);
    EXPECT_NE(InodeOf(book_), before);
  }
}

TEST_F(FrmMainTest, ClosingCreatesAMissingBookWithTheTextShown) {
  Open();
  TypeAtEnd(QStringLiteral("[5]"));
  EXPECT_TRUE(window_->close());
  EXPECT_EQ(ReadUnits(book_), std::u16string(kSampleText) + u"[5]");
}

TEST_F(FrmMainTest, FailedSaveKeepsTheWindowOpenUnlessTheUserAgrees) {
  WriteUnits(book_, u"ab");
  Open();
  TypeAtEnd(QStringLiteral("cdefghij"));
  FileSizeLimit limit(8);
  messenger_->answers = {Answer::kNo};
  EXPECT_FALSE(window_->close());
  EXPECT_TRUE(window_->isVisible());
  ASSERT_EQ(Shown().size(), 1u);
  EXPECT_EQ(Shown()[0].title, kErrorTitle);
  EXPECT_TRUE(Shown()[0].body.contains(book_));
  EXPECT_TRUE(Shown()[0].body.contains(QStringLiteral("Close without saving it?")));
  EXPECT_TRUE(Shown()[0].body.contains(QStringLiteral("不保存就关闭吗")));
  EXPECT_EQ(Shown()[0].default_answer, Answer::kNo);
  EXPECT_EQ(Text(), u"abcdefghij");
  EXPECT_EQ(ReadUnits(book_), u"ab");

  messenger_->answers = {Answer::kYes};
  EXPECT_TRUE(window_->close());
  EXPECT_EQ(ReadUnits(book_), u"ab");
}

TEST_F(FrmMainTest, UnreadBookIsOverwrittenOnlyWithConsent) {
  WriteUnits(book_, u"abc");
  QFile(book_).resize(5);
  const QByteArray unread = *ReadBytes(book_);

  Open();  // unchanged sample: closes without writing
  EXPECT_TRUE(window_->close());
  EXPECT_EQ(ReadBytes(book_), unread);

  Open();
  TypeAtEnd(QStringLiteral("x"));
  EXPECT_FALSE(window_->close());  // the question's default is no
  ASSERT_EQ(Shown().size(), 2u);
  EXPECT_EQ(Shown()[1].title, kWarningTitle);
  EXPECT_TRUE(Shown()[1].body.contains(book_));
  EXPECT_EQ(ReadBytes(book_), unread);

  messenger_->answers = {Answer::kYes};
  EXPECT_TRUE(window_->close());
  EXPECT_EQ(ReadUnits(book_), std::u16string(kSampleText) + u"x");
}

TEST_F(FrmMainTest, BookChangedOnDiskIsOverwrittenOnlyWithConsent) {
  const struct {
    const char* name;
    std::optional<std::u16string> at_load;  // nullopt: missing
    std::optional<std::u16string> on_disk;  // what another program left; nullopt: deleted
  } cases[] = {
      {"rewritten", u"mine"s, u"theirs"s},
      {"created", std::nullopt, u"theirs"s},
      {"deleted", u"mine"s, std::nullopt},
  };
  for (const auto& c : cases) {
    QFile::remove(book_);
    if (c.at_load) WriteUnits(book_, *c.at_load);
    Open();
    const std::u16string shown = Text();
    QFile::remove(book_);
    if (c.on_disk) WriteUnits(book_, *c.on_disk);
    messenger_->answers = {Answer::kNo};
    EXPECT_FALSE(window_->close()) << c.name;
    EXPECT_EQ(Shown().back().title, kWarningTitle) << c.name;
    EXPECT_EQ(ReadUnits(book_), c.on_disk) << c.name;
    messenger_->answers = {Answer::kYes};
    EXPECT_TRUE(window_->close()) << c.name;
    EXPECT_EQ(ReadUnits(book_), shown) << c.name;
  }
}

TEST_F(FrmMainTest, UnattendedCloseNeverOverwritesAndKeepsTheTextInARecoveryFile) {
  const struct {
    const char* name;
    std::u16string at_load;
    std::u16string on_disk;  // written after loading
    bool odd_length;         // the book cannot be read
  } cases[] = {
      {"changed on disk", u"mine", u"theirs", false},
      {"unread", u"mine", u"mine", true},
  };
  for (const auto& c : cases) {
    QTemporaryDir dir;
    const QString book = dir.filePath(QStringLiteral("book"));
    WriteUnits(book, c.at_load);
    if (c.odd_length) QFile(book).resize(3);
    Open(book);
    TypeAtEnd(QStringLiteral("!"));
    const std::u16string shown = Text();
    if (!c.odd_length) WriteUnits(book, c.on_disk);
    const QByteArray disk = *ReadBytes(book);
    EXPECT_TRUE(window_->RequestClose(Attendance::kUnattended)) << c.name;
    EXPECT_EQ(Shown().size(), c.odd_length ? 1u : 0u) << c.name;  // no question
    EXPECT_EQ(ReadBytes(book), disk) << c.name;
    const QStringList recovery = FilesStartingWith(dir.path(), QStringLiteral("book.unsaved-"));
    ASSERT_EQ(recovery.size(), 1) << c.name;
    EXPECT_EQ(ReadUnits(dir.filePath(recovery[0])), shown) << c.name;
  }
}

TEST_F(FrmMainTest, UnattendedCloseWritesARecoveryFileWhenTheSaveFails) {
  // The book is a link into a folder that does not exist: loading finds no book, saving fails.
  ASSERT_TRUE(QFile::link(dir_.filePath(QStringLiteral("nowhere/book")), book_));
  Open();
  EXPECT_TRUE(window_->RequestClose(Attendance::kUnattended));
  const QStringList recovery = FilesStartingWith(dir_.path(), QStringLiteral("book.unsaved-"));
  ASSERT_EQ(recovery.size(), 1);
  EXPECT_EQ(ReadUnits(dir_.filePath(recovery[0])), kSampleText);
}

TEST_F(FrmMainTest, UnattendedCloseStaysOpenWhenNothingCanBeWritten) {
  WriteUnits(book_, u"ab");
  Open();
  TypeAtEnd(QStringLiteral("cdefghij"));
  FileSizeLimit limit(8);
  EXPECT_FALSE(window_->RequestClose(Attendance::kUnattended));
  EXPECT_TRUE(window_->isVisible());
  EXPECT_EQ(Text(), u"abcdefghij");
  EXPECT_EQ(ReadUnits(book_), u"ab");
}

TEST_F(FrmMainTest, UnattendedCloseLeavesAnUnreadBookAloneWhenTheSampleIsUnchanged) {
  QDir().mkpath(book_);
  Open();
  EXPECT_TRUE(window_->RequestClose(Attendance::kUnattended));
  EXPECT_TRUE(QFileInfo(book_).isDir());
  EXPECT_TRUE(FilesStartingWith(dir_.path(), QStringLiteral("book.")).isEmpty());
}

TEST_F(FrmMainTest, SignalDuringAQuestionDismissesItAndClosesUnattended) {
  WriteUnits(book_, u"mine");
  Open();
  WriteUnits(book_, u"theirs");
  messenger_->while_shown = [this] {
    EXPECT_FALSE(window_->RequestClose(Attendance::kUnattended));
  };
  EXPECT_FALSE(window_->close());
  EXPECT_EQ(messenger_->dismissals, 1);
  QTRY_VERIFY(!window_->isVisible());
  EXPECT_EQ(ReadUnits(book_), u"theirs");
  EXPECT_EQ(FilesStartingWith(dir_.path(), QStringLiteral("book.unsaved-")).size(), 1);
}

TEST_F(FrmMainTest, SignalDuringTheLoadMessageSavesOnceTheMessageIsGone) {
  Make(book_);
  messenger_->while_shown = [this] { window_->RequestClose(Attendance::kUnattended); };
  window_->show();
  QTRY_VERIFY(!window_->isVisible());
  EXPECT_EQ(ReadUnits(book_), kSampleText);
}

TEST_F(FrmMainTest, ClosingBeforeTheBookWasShownNeverOverwritesIt) {
  WriteUnits(book_, u"mine");
  const ino_t before = InodeOf(book_);
  Make(book_);
  EXPECT_TRUE(window_->close());
  EXPECT_EQ(ReadUnits(book_), u"mine");
  EXPECT_EQ(InodeOf(book_), before);
}

}  // namespace
}  // namespace tallivan
