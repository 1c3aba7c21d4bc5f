#include "ui/ledger_text_box.h"

#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMimeData>
#include <QPaintEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QTextBlock>

#include "ui/text_bridge.h"

namespace tallivan {
namespace {

QByteArray ToBytes(std::u16string_view text) {
  QByteArray bytes(static_cast<qsizetype>(text.size() * 2), Qt::Uninitialized);
  for (size_t i = 0; i < text.size(); ++i) {
    bytes[static_cast<qsizetype>(2 * i)] = static_cast<char>(text[i] & 0xFF);
    bytes[static_cast<qsizetype>(2 * i + 1)] = static_cast<char>(text[i] >> 8);
  }
  return bytes;
}

std::u16string FromBytes(const QByteArray& bytes) {
  std::u16string text(static_cast<size_t>(bytes.size() / 2), u'\0');
  for (size_t i = 0; i < text.size(); ++i) {
    const auto low = static_cast<unsigned char>(bytes[static_cast<qsizetype>(2 * i)]);
    const auto high = static_cast<unsigned char>(bytes[static_cast<qsizetype>(2 * i + 1)]);
    text[i] = static_cast<char16_t>(low | (high << 8));
  }
  return text;
}

// From this many lines on, a change of width does not lay the whole text out again.
constexpr int kLargeText = 100000;

// Whether the editor would type the key's text (after QInputControl::isAcceptableInput); shortcuts
// such as Ctrl+C carry text too and must be left alone.
bool InsertsText(const QKeyEvent& event) {
  if (event.matches(QKeySequence::InsertParagraphSeparator)) return true;
  const QString text = event.text();
  if (text.isEmpty()) return false;
  const Qt::KeyboardModifiers modifiers = event.modifiers() & ~Qt::KeypadModifier;
  if (modifiers == Qt::ControlModifier || modifiers == (Qt::ShiftModifier | Qt::ControlModifier)) {
    return false;
  }
  const QChar first = text.front();
  return first.isPrint() || first == u'\t' || first.category() == QChar::Other_Format ||
         first.category() == QChar::Other_PrivateUse || first.isHighSurrogate();
}

}  // namespace

LedgerTextBox::LedgerTextBox(QWidget* parent) : QPlainTextEdit(parent) {}

std::u16string LedgerTextBox::LedgerText() const { return tallivan::LedgerText(*document()); }

void LedgerTextBox::SetLedgerText(std::u16string_view text) {
  tallivan::SetLedgerText(*document(), text);
}

void LedgerTextBox::ApplyEdits(std::u16string_view old_text, const Edits& edits) {
  if (ReplaceLines(*document(), edits)) return;
  QTextCursor cursor(document());
  cursor.select(QTextCursor::Document);
  InsertLedgerText(cursor, tallivan::ApplyEdits(old_text, edits));
}

void LedgerTextBox::SetCaret(int position) {
  QTextCursor cursor = textCursor();
  cursor.setPosition(position);
  setTextCursor(cursor);
}

void LedgerTextBox::SetCaretAtEnd() {
  QTextCursor cursor = textCursor();
  cursor.movePosition(QTextCursor::End);
  setTextCursor(cursor);
}

void LedgerTextBox::SetDrawing(Drawing drawing) {
  drawing_ = drawing;
  viewport()->update();
}

void LedgerTextBox::paintEvent(QPaintEvent* event) {
  if (drawing_ == Drawing::kText) {
    QPlainTextEdit::paintEvent(event);
    return;
  }
  QPainter painter(viewport());
  painter.fillRect(event->rect(), palette().brush(QPalette::Base));
}

void LedgerTextBox::resizeEvent(QResizeEvent* event) {
  if (lineWrapMode() == NoWrap && event->oldSize().width() != event->size().width() &&
      document()->blockCount() >= kLargeText) {
    // Unwrapped lines do not depend on the width, but QPlainTextEdit drops the layout of every
    // line when the width changes, which takes seconds for a large book.
    QResizeEvent same_width(event->size(), QSize(event->size().width(), event->oldSize().height()));
    QPlainTextEdit::resizeEvent(&same_width);
    return;
  }
  QPlainTextEdit::resizeEvent(event);
}

template <typename Insert>
void LedgerTextBox::TypePlain(Insert insert) {
  QTextCursor cursor = textCursor();
  if (!IsMarkFormat(cursor.charFormat())) {
    insert();
    return;
  }
  cursor.beginEditBlock();
  cursor.removeSelectedText();
  cursor.setCharFormat(QTextCharFormat());
  setTextCursor(cursor);
  insert();
  cursor.endEditBlock();
}

void LedgerTextBox::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Y &&
      (event->modifiers() & ~Qt::KeypadModifier) == Qt::ControlModifier) {
    redo();  // as on Windows, whatever the desktop's own key bindings
    event->accept();
    return;
  }
  if (!isReadOnly() && event->matches(QKeySequence::InsertLineSeparator)) {
    // A soft line break would look like a new line to the user but not to the ledger.
    QTextCursor cursor = textCursor();
    cursor.beginEditBlock();
    cursor.removeSelectedText();
    cursor.insertBlock(cursor.blockFormat(), QTextCharFormat());
    cursor.endEditBlock();
    setTextCursor(cursor);
    ensureCursorVisible();
    event->accept();
    return;
  }
  if (!isReadOnly() && InsertsText(*event)) {
    TypePlain([&] { QPlainTextEdit::keyPressEvent(event); });
    return;
  }
  QPlainTextEdit::keyPressEvent(event);
}

void LedgerTextBox::inputMethodEvent(QInputMethodEvent* event) {
  if (event->commitString().isEmpty()) {
    QPlainTextEdit::inputMethodEvent(event);
    return;
  }
  TypePlain([&] { QPlainTextEdit::inputMethodEvent(event); });
}

QMimeData* LedgerTextBox::createMimeDataFromSelection() const {
  const QTextCursor cursor = textCursor();
  const std::u16string text =
      tallivan::LedgerText(*document(), cursor.selectionStart(), cursor.selectionEnd());
  auto* data = new QMimeData;
  // Other programs get the system's line ends; a paste back into a box gets the exact text.
  QString plain(reinterpret_cast<const QChar*>(text.data()), static_cast<qsizetype>(text.size()));
  data->setText(plain.replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
  data->setData(QString::fromLatin1(kLedgerMimeType), ToBytes(text));
  return data;
}

void LedgerTextBox::insertFromMimeData(const QMimeData* source) {
  QTextCursor cursor = textCursor();
  if (source->hasFormat(QString::fromLatin1(kLedgerMimeType))) {
    InsertLedgerText(cursor, FromBytes(source->data(QString::fromLatin1(kLedgerMimeType))));
  } else if (source->hasText()) {
    // Text from elsewhere: every kind of line break becomes a line of the ledger.
    QString text = source->text();
    text.replace(QChar::LineSeparator, QChar::ParagraphSeparator);
    cursor.beginEditBlock();
    cursor.removeSelectedText();
    cursor.insertText(text, QTextCharFormat());
    cursor.setCharFormat(QTextCharFormat());
    cursor.endEditBlock();
  } else {
    return;
  }
  setTextCursor(cursor);
  ensureCursorVisible();
}

}  // namespace tallivan
