#include "ui/ledger_text_box.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QInputMethodEvent>
#include <string>

namespace tallivan {
namespace {

enum class Input { kKeys, kShiftKeys, kInputMethod };

// Typed text is the marks' own characters: in a mark's format they would read back as the units
// the marks stand for.
TEST(LedgerTextBoxTest, TypedTextNeverTakesOnAMark) {
  const struct {
    std::u16string text;
    int anchor;  // the selection typed over, up to the position after it
    int position;
    QString typed;  // a CR stands for the Enter key
    Input input;
    std::u16string expected;
  } cases[] = {{u"a\n", 2, 2, QStringLiteral("␊"), Input::kKeys, u"a\n\u240A"},
               {u"\nb", 0, 0, QStringLiteral("␊"), Input::kKeys, u"\u240A\nb"},
               {u"a\n\nb", 1, 3, QStringLiteral("␊"), Input::kKeys, u"a\u240Ab"},
               {u"a\n\nb", 3, 2, QStringLiteral("␊"), Input::kKeys, u"a\n\u240Ab"},
               {u"\r\u2028", 2, 2, QStringLiteral("␤␍\t"), Input::kKeys, u"\r\u2028\u2424\u240D\t"},
               {u"a\n", 2, 2, QStringLiteral("\r␊"), Input::kKeys, u"a\n\r\n\u240A"},
               {u"a\n", 2, 2, QStringLiteral("\r␊"), Input::kShiftKeys, u"a\n\r\n\u240A"},
               {u"a\n", 2, 2, QStringLiteral("␊"), Input::kInputMethod, u"a\n\u240A"}};
  for (const auto& c : cases) {
    LedgerTextBox box;
    box.SetLedgerText(c.text);
    QTextCursor cursor = box.textCursor();
    cursor.setPosition(c.anchor);
    cursor.setPosition(c.position, QTextCursor::KeepAnchor);
    box.setTextCursor(cursor);
    const auto modifiers = c.input == Input::kShiftKeys ? Qt::ShiftModifier : Qt::NoModifier;
    QInputMethodEvent commit;
    commit.setCommitString(c.typed);
    if (c.input == Input::kInputMethod) QApplication::sendEvent(&box, &commit);
    for (const QChar typed : c.input == Input::kInputMethod ? QString() : c.typed) {
      QKeyEvent press(QEvent::KeyPress, typed == u'\r' ? Qt::Key_Return : Qt::Key_unknown,
                      modifiers, QString(typed));
      QApplication::sendEvent(&box, &press);
    }
    EXPECT_EQ(box.LedgerText(), c.expected) << c.typed.toStdString();
  }
}

// Text from another program breaks lines wherever it does (CR LF, LF, CR, U+2028, U+2029); text
// copied out of a box goes back into one exactly, marks and all.
TEST(LedgerTextBoxTest, PastingBreaksForeignTextIntoLinesAndKeepsTheBoxsOwnExact) {
  const struct {
    std::u16string copied;  // copied out of another box; empty: text from another program
    QString foreign;
    std::u16string expected;
  } cases[] = {
      {u"", QStringLiteral("a\u2028b\u2029c\nd"), u"xa\r\nb\r\nc\r\nd"},
      {u"", QStringLiteral("a\r\nb\rc"), u"xa\r\nb\r\nc"},
      {u"a\u2028b\u2029c\nd\re\r\n", {}, u"xa\u2028b\u2029c\nd\re\r\n"},
  };
  for (const auto& c : cases) {
    LedgerTextBox source, box;
    box.SetLedgerText(u"x");
    box.SetCaretAtEnd();
    if (!c.copied.empty()) {
      source.SetLedgerText(c.copied);
      source.selectAll();
      source.copy();
    } else {
      QApplication::clipboard()->setText(c.foreign);
    }
    box.paste();
    EXPECT_EQ(box.LedgerText(), c.expected) << c.foreign.toStdString();
  }
}

}  // namespace
}  // namespace tallivan
