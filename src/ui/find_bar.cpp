#include "ui/find_bar.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLocale>
#include <QTextBlock>
#include <QTextDocument>
#include <QToolButton>
#include <vector>

#include "ledger/line_totals.h"
#include "ui/text_bridge.h"
#include "window/totals_text.h"

namespace tallivan {

FindBar::FindBar(LedgerTextBox* box, QWidget* parent)
    : QWidget(parent),
      box_(box),
      text_(new QLineEdit(this)),
      match_case_(new QCheckBox(tr("Match case"), this)),
      summary_(new QLabel(this)) {
  setObjectName(QStringLiteral("findBar"));
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(4, 1, 4, 1);
  auto* previous = new QToolButton(this);
  previous->setText(tr("Previous"));
  auto* next = new QToolButton(this);
  next->setText(tr("Next"));
  layout->addWidget(text_, 1);
  layout->addWidget(previous);
  layout->addWidget(next);
  layout->addWidget(match_case_);
  layout->addWidget(summary_, 1);
  text_->setPlaceholderText(tr("Find"));
  summary_->setTextFormat(Qt::PlainText);
  text_->installEventFilter(this);
  connect(previous, &QToolButton::clicked, this, [this] { FindNext(Direction::kBackward); });
  connect(next, &QToolButton::clicked, this, [this] { FindNext(Direction::kForward); });
  connect(text_, &QLineEdit::textChanged, this, &FindBar::Count);
  connect(match_case_, &QCheckBox::toggled, this, &FindBar::Count);
}

void FindBar::Open() {
  const QTextCursor cursor = box_->textCursor();
  if (cursor.hasSelection() && cursor.block().contains(cursor.selectionStart()) &&
      cursor.block().contains(cursor.selectionEnd())) {
    text_->setText(cursor.selectedText());
  }
  show();
  text_->setFocus();
  text_->selectAll();
  Count();
}

bool FindBar::FindNext(Direction direction) {
  const QString needle = text_->text();
  if (needle.isEmpty()) return false;
  QTextDocument::FindFlags flags;
  if (match_case_->isChecked()) flags |= QTextDocument::FindCaseSensitively;
  if (direction == Direction::kBackward) flags |= QTextDocument::FindBackward;
  if (box_->find(needle, flags)) return true;
  // Round the end to the other side.
  QTextCursor cursor = box_->textCursor();
  cursor.movePosition(direction == Direction::kForward ? QTextCursor::Start : QTextCursor::End);
  const QTextCursor kept = box_->textCursor();
  box_->setTextCursor(cursor);
  if (box_->find(needle, flags)) return true;
  box_->setTextCursor(kept);
  return false;
}

void FindBar::Count() {
  const QString needle = text_->text();
  if (needle.isEmpty()) {
    summary_->clear();
    return;
  }
  const Qt::CaseSensitivity sensitivity =
      match_case_->isChecked() ? Qt::CaseSensitive : Qt::CaseInsensitive;
  const QTextDocument& document = *box_->document();
  std::u16string matching;  // the matching lines, joined by CR LF
  int64_t lines = 0;
  for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
    if (!block.text().contains(needle, sensitivity)) continue;
    if (lines++ > 0) matching += u"\r\n";
    matching += LedgerText(document, block.position(), block.position() + block.length() - 1);
  }
  const std::u16string separator = QLocale::system().decimalPoint().toStdU16String();
  const EntrySum entries = LineTotals(matching, separator).SumRange(0, lines - 1);
  summary_->setText(QString::fromStdU16String(DescribeFound(
      {reinterpret_cast<const char16_t*>(needle.utf16()), static_cast<size_t>(needle.size())},
      lines, entries, separator)));
}

bool FindBar::eventFilter(QObject* watched, QEvent* event) {
  if (watched == text_ && event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
      FindNext(key->modifiers() & Qt::ShiftModifier ? Direction::kBackward : Direction::kForward);
      return true;
    }
    if (key->key() == Qt::Key_Escape) {
      hide();
      box_->setFocus();
      emit Closed();
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace tallivan
