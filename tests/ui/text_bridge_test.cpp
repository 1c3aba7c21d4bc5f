#include "ui/text_bridge.h"

#include <gtest/gtest.h>

#include <QPlainTextDocumentLayout>
#include <QTextBlock>
#include <QTextDocument>
#include <string>
#include <variant>

#include "ledger/ledger.h"

namespace tallivan {
namespace {

using namespace std::string_literals;

int CountLineBreaks(std::u16string_view text) {
  int count = 0;
  for (size_t at = text.find(u"\r\n"); at != std::u16string_view::npos;
       at = text.find(u"\r\n", at + 2)) {
    ++count;
  }
  return count;
}

struct PlainDocument {
  PlainDocument() { document.setDocumentLayout(new QPlainTextDocumentLayout(&document)); }
  QTextDocument document;
};

class TextBridgeRoundTripTest : public ::testing::TestWithParam<std::u16string> {};

TEST_P(TextBridgeRoundTripTest, HoldsTheTextExactlyWithOneBlockPerLine) {
  const std::u16string& text = GetParam();
  PlainDocument doc;
  SetLedgerText(doc.document, text);
  EXPECT_EQ(LedgerText(doc.document), text);
  EXPECT_EQ(LedgerText(doc.document, 0, doc.document.characterCount() - 1), text);
  EXPECT_TRUE(HoldsExactly(doc.document, text));
  EXPECT_EQ(doc.document.blockCount(), CountLineBreaks(text) + 1);
  EXPECT_EQ(doc.document.characterCount() - 1,
            static_cast<int>(text.size()) - CountLineBreaks(text));
  EXPECT_FALSE(doc.document.isUndoAvailable());
}

INSTANTIATE_TEST_SUITE_P(
    Texts, TextBridgeRoundTripTest,
    ::testing::Values(u""s, u"\r\n"s, u"\r"s, u"\n"s, u"\n\r"s, u"\r\r\n"s, u"\r\n\n"s,
                      u"\r\n\r\n"s, u"a\rb\nc"s, u"x\r"s, u"\ny"s, u"\n\n\r\r"s,
                      u"\u2028\u2029\uFDD0\uFDD1\u00A0"s, u"a\u2029\u2029b\u2028\u2028c"s,
                      u"\0\0\r\n\0"s, u"\xD800"s, u"\xDC00x\xD800"s, u"\xDBFF\xDFFF"s,
                      u"\uFEFFbom"s, u"\uFFFC\uFFFE\uFFFF"s, u"\u240A\u240D\u2424\u00B6\uFFFD"s,
                      u"\u240A\n\u240A\r\n\n\u240A"s, u"#\r\n\t#  (1) ,  2\r\n"s));

TEST(TextBridgeTest, RoundTripsEveryCodeUnit) {
  std::u16string text;
  for (int unit = 0; unit <= 0xFFFF; ++unit) {
    text += static_cast<char16_t>(unit);
    if (unit % 251 == 0) text += u"\r\n";
  }
  PlainDocument doc;
  SetLedgerText(doc.document, text);
  EXPECT_EQ(LedgerText(doc.document), text);
  EXPECT_EQ(doc.document.blockCount(), CountLineBreaks(text) + 1);
}

TEST(TextBridgeTest, TellsATextItDoesNotHold) {
  for (const std::u16string& held : {u"a\r\nb"s, u"a\nb\r"s}) {
    PlainDocument doc;
    SetLedgerText(doc.document, held);
    for (const std::u16string& other :
         {u"a\nb"s, u"a\r\nbc"s, u"a\r\n"s, u"a\rb"s, u"a\u2029b"s, u"a\nb\r\n"s, u""s}) {
      EXPECT_FALSE(HoldsExactly(doc.document, other));
    }
  }
}

TEST(TextBridgeTest, ShowsUnitsABlockCannotHoldAsMarksInsideTheirLine) {
  PlainDocument doc;
  SetLedgerText(doc.document, u"a\nb\rc\u2028d\u2029e\uFDD0f\uFDD1\r\n#");
  ASSERT_EQ(doc.document.blockCount(), 2);
  EXPECT_EQ(doc.document.firstBlock().text(),
            QString::fromUtf16(u"a\u240Ab\u240Dc\u2424d\u00B6e\uFFFDf\uFFFD"));
  EXPECT_EQ(doc.document.lastBlock().text(), QStringLiteral("#"));
}

TEST(TextBridgeTest, KeepsOtherCharactersInAMarksFormatAsThemselves) {
  PlainDocument doc;
  SetLedgerText(doc.document, u"\n");
  QTextCursor cursor(&doc.document);
  cursor.movePosition(QTextCursor::End);
  cursor.insertText(QStringLiteral("z"));  // takes on the mark's format
  cursor.insertText(QString(QChar(u'\u240A')), QTextCharFormat());
  EXPECT_EQ(LedgerText(doc.document), u"\nz\u240A");
}

TEST(TextBridgeTest, FindsWhereEachLineStarts) {
  PlainDocument doc;
  SetLedgerText(doc.document, u"ab\r\n\r\nc\nd\r\n");
  const struct {
    int line;
    int position;
  } cases[] = {{0, 0}, {1, 3}, {2, 4}, {3, 8}, {4, -1}};
  for (const auto& c : cases) EXPECT_EQ(LinePosition(doc.document, c.line), c.position) << c.line;
}

TEST(TextBridgeTest, ExtractsTheLedgerTextOfARange) {
  PlainDocument doc;
  SetLedgerText(doc.document, u"ab\r\nc\nd\r\ne");
  const struct {
    int from;
    int to;
    std::u16string text;
  } cases[] = {{0, 2, u"ab"},      {1, 4, u"b\r\nc"},          {2, 3, u"\r\n"}, {3, 5, u"c\n"},
               {4, 7, u"\nd\r\n"}, {0, 8, u"ab\r\nc\nd\r\ne"}, {5, 5, u""}};
  for (const auto& c : cases) {
    EXPECT_EQ(LedgerText(doc.document, c.from, c.to), c.text) << c.from << "-" << c.to;
  }
}

TEST(TextBridgeTest, InsertsLedgerTextAsOneUndoStep) {
  PlainDocument doc;
  SetLedgerText(doc.document, u"x\ry");
  QTextCursor cursor(&doc.document);
  cursor.setPosition(1);
  cursor.setPosition(2, QTextCursor::KeepAnchor);
  InsertLedgerText(cursor, u"a\nb\r\n\u2029c\r");
  EXPECT_EQ(LedgerText(doc.document), u"xa\nb\r\n\u2029c\ry");
  doc.document.undo();
  EXPECT_EQ(LedgerText(doc.document), u"x\ry");
  EXPECT_FALSE(doc.document.isUndoAvailable());
}

TEST(TextBridgeTest, ReplacedLinesGiveRecalculatesTextAndUndoInOneStep) {
  const std::u16string texts[] = {
      u"a [1]\r\n#\r\nb [2]\n#\r\n# old\r\n",
      u"x\r[3]\r\n  # \u2028 [9]\r\n\u2029[0.5]\r\n#\r",
      u"#\r\n#\r\n[1.005]\r\n#  (1.01) ,  1.01",
      u"no subtotal [2]\r\n",
  };
  for (const std::u16string& text : texts) {
    PlainDocument doc;
    SetLedgerText(doc.document, text);
    const auto edits = RecalculateEdits(text);
    ASSERT_TRUE(std::holds_alternative<Edits>(edits));
    ASSERT_TRUE(ReplaceLines(doc.document, std::get<Edits>(edits)));
    EXPECT_EQ(LedgerText(doc.document), std::get<std::u16string>(Recalculate(text)));
    if (!std::get<Edits>(edits).empty()) doc.document.undo();
    EXPECT_EQ(LedgerText(doc.document), text);
    EXPECT_FALSE(doc.document.isUndoAvailable());
  }
}

TEST(TextBridgeTest, RefusesEditsThatDoNotFitTheDocument) {
  PlainDocument doc;
  SetLedgerText(doc.document, u"[1]\r\n#");
  const Edits wrong_length = {LineEdit{1, 5, 3, u"#  (1.00) ,  1.00"}};
  const Edits past_the_end = {LineEdit{2, 7, 1, u"#  (1.00) ,  1.00"}};
  EXPECT_FALSE(ReplaceLines(doc.document, wrong_length));
  EXPECT_FALSE(ReplaceLines(doc.document, past_the_end));
  EXPECT_EQ(LedgerText(doc.document), u"[1]\r\n#");
}

}  // namespace
}  // namespace tallivan
