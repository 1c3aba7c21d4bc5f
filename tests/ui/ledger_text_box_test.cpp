#include "ui/ledger_text_box.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMimeData>
#include <QTest>
#include <string>
#include <variant>

#include "ledger/ledger.h"

namespace tallivan {
namespace {

class LedgerTextBoxTest : public ::testing::Test {
 protected:
  void Hold(std::u16string_view text, int anchor, int position) {
    box_.SetLedgerText(text);
    QTextCursor cursor = box_.textCursor();
    cursor.setPosition(anchor);
    cursor.setPosition(position, QTextCursor::KeepAnchor);
    box_.setTextCursor(cursor);
  }

  // Types `text` one character at a time, as a keyboard would.
  void Type(const QString& text) {
    for (const QChar c : text) {
      QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
      QApplication::sendEvent(&box_, &press);
    }
  }

  LedgerTextBox box_;
};

TEST_F(LedgerTextBoxTest, TypedTextNeverTakesOnAMark) {
  const struct {
    std::u16string text;
    int anchor;
    int position;
    QString typed;
    std::u16string expected;
  } cases[] = {
      {u"a\nb", 2, 2, QStringLiteral("x"), u"a\nxb"},
      {u"\nb", 0, 0, QStringLiteral("x"), u"x\nb"},
      {u"a\n", 2, 2, QStringLiteral("xy"), u"a\nxy"},
      {u"a\n\nb", 1, 3, QStringLiteral("x"), u"axb"},
      {u"a\n\nb", 3, 2, QStringLiteral("x"), u"a\nxb"},
      {u"\r", 1, 1, QString(QChar(u'\u240D')), u"\r\u240D"},
      {u"\u2028", 1, 1, QStringLiteral("\t"), u"\u2028\t"},
  };
  for (const auto& c : cases) {
    Hold(c.text, c.anchor, c.position);
    Type(c.typed);
    EXPECT_EQ(box_.LedgerText(), c.expected) << c.typed.toStdString();
  }
}

TEST_F(LedgerTextBoxTest, EnterAndShiftEnterBothStartALedgerLine) {
  for (const Qt::KeyboardModifiers modifiers : {Qt::NoModifier, Qt::ShiftModifier}) {
    Hold(u"a\n", 2, 2);
    QTest::keyClick(&box_, Qt::Key_Return, modifiers);
    Type(QStringLiteral("x"));
    EXPECT_EQ(box_.LedgerText(), u"a\n\r\nx") << modifiers;
  }
}

TEST_F(LedgerTextBoxTest, InputMethodTextAfterAMarkIsPlain) {
  Hold(u"a\n", 2, 2);
  QInputMethodEvent event;
  event.setCommitString(QStringLiteral("账"));
  QApplication::sendEvent(&box_, &event);
  EXPECT_EQ(box_.LedgerText(), u"a\n账");
}

TEST_F(LedgerTextBoxTest, CopyAndPasteInsideTheBoxKeepEveryUnit) {
  const std::u16string text = u"a\nb\r\n\u2029c\rd\uFDD0\u2028";
  Hold(text, 0, 0);
  QTest::keyClick(&box_, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClick(&box_, Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QApplication::clipboard()->text().toStdU16String(), text);
  QTest::keyClick(&box_, Qt::Key_End, Qt::ControlModifier);
  QTest::keyClick(&box_, Qt::Key_V, Qt::ControlModifier);
  EXPECT_EQ(box_.LedgerText(), text + text);
  box_.undo();
  EXPECT_EQ(box_.LedgerText(), text);
}

TEST_F(LedgerTextBoxTest, TextPastedFromElsewhereBreaksLinesAtEveryBreak) {
  Hold(u"a\n", 2, 2);
  QApplication::clipboard()->setText(QString::fromUtf16(u"x\ny\u2028z\rw\r\nv"));
  QTest::keyClick(&box_, Qt::Key_V, Qt::ControlModifier);
  EXPECT_EQ(box_.LedgerText(), u"a\nx\r\ny\r\nz\r\nw\r\nv");
}

TEST_F(LedgerTextBoxTest, EditsThatDoNotFitReplaceTheWholeTextInOneUndoStep) {
  const std::u16string text = u"[1]\r\n#";
  const std::u16string other = u"[1]\r\n# old\n";
  Hold(text, 0, 0);
  const auto edits = RecalculateEdits(other);
  ASSERT_TRUE(std::holds_alternative<Edits>(edits));
  box_.ApplyEdits(other, std::get<Edits>(edits));
  EXPECT_EQ(box_.LedgerText(), std::get<std::u16string>(Recalculate(other)));
  box_.undo();
  EXPECT_EQ(box_.LedgerText(), text);
}

}  // namespace
}  // namespace tallivan
