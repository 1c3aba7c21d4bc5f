#include "ui/totals_bar.h"

#include <QHBoxLayout>
#include <QLocale>
#include <QTextBlock>
#include <QTextDocument>

#include "ui/text_bridge.h"
#include "window/totals_text.h"

namespace tallivan {
namespace {

QString ToQString(const std::u16string& text) {
  return QString(reinterpret_cast<const QChar*>(text.data()), static_cast<qsizetype>(text.size()));
}

}  // namespace

TotalsBar::TotalsBar(LedgerTextBox* box, QWidget* parent)
    : QWidget(parent),
      box_(box),
      figures_(new QLabel(this)),
      reason_(new QLabel(this)),
      separator_(QLocale::system().decimalPoint().toStdU16String()) {
  setObjectName(QStringLiteral("totalsBar"));
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(4, 1, 4, 1);
  layout->addWidget(figures_, 1);
  layout->addWidget(reason_);
  figures_->setTextFormat(Qt::PlainText);
  reason_->setTextFormat(Qt::PlainText);
  reason_->setCursor(Qt::PointingHandCursor);
  reason_->setToolTip(tr("Go to this line"));
  reason_->installEventFilter(this);
  refresh_timer_.setSingleShot(true);
  refresh_timer_.setInterval(0);
  connect(&refresh_timer_, &QTimer::timeout, this, &TotalsBar::Refresh);
}

TotalsBar::~TotalsBar() = default;

bool TotalsBar::eventFilter(QObject* watched, QEvent* event) {
  if (watched == reason_ && event->type() == QEvent::MouseButtonRelease) {
    GoToReason();
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

void TotalsBar::SetFollowing(Following following) {
  for (const QMetaObject::Connection& connection : connections_) disconnect(connection);
  connections_.clear();
  refresh_timer_.stop();
  if (following == Following::kOff) {
    totals_.reset();
    return;
  }
  ReadWholeText();
  QTextDocument* document = box_->document();
  connections_ = {
      connect(document, &QTextDocument::contentsChange, this, &TotalsBar::OnContentsChange),
      connect(box_, &QPlainTextEdit::cursorPositionChanged, this, &TotalsBar::ScheduleRefresh),
      connect(box_, &QPlainTextEdit::selectionChanged, this, &TotalsBar::ScheduleRefresh)};
  Refresh();
}

void TotalsBar::ReadWholeText() {
  totals_ = std::make_unique<LineTotals>(box_->LedgerText(), separator_);
  // An empty text has no lines, but the box always has one.
  if (totals_->line_count() == 0) totals_->ReplaceLines(0, 0, u"");
}

void TotalsBar::OnContentsChange(int position, [[maybe_unused]] int removed, int added) {
  const QTextDocument& document = *box_->document();
  const QTextBlock first = document.findBlock(position);
  QTextBlock last = document.findBlock(position + added);
  if (!last.isValid()) last = document.lastBlock();
  const int64_t first_line = first.isValid() ? first.blockNumber() : 0;
  const int64_t lines = last.blockNumber() - first_line + 1;
  const int64_t replaced = lines - (document.blockCount() - totals_->line_count());
  if (!first.isValid() || replaced < 0 || first_line + replaced > totals_->line_count()) {
    ReadWholeText();
  } else {
    totals_->ReplaceLines(
        first_line, replaced,
        LedgerText(document, first.position(), last.position() + last.length() - 1));
  }
  ScheduleRefresh();
}

void TotalsBar::ScheduleRefresh() { refresh_timer_.start(); }

void TotalsBar::Refresh() {
  refresh_timer_.stop();
  if (!totals_) return;
  const QTextCursor cursor = box_->textCursor();
  std::optional<std::pair<int64_t, int64_t>> selection;
  if (cursor.hasSelection()) {
    const QTextDocument& document = *box_->document();
    // A selection that ends at a line's start does not take that line in.
    const QTextBlock last = document.findBlock(cursor.selectionEnd());
    selection.emplace(document.findBlock(cursor.selectionStart()).blockNumber(),
                      last.blockNumber() - (last.position() == cursor.selectionEnd() ? 1 : 0));
  }
  const TotalsText text = DescribeTotals(*totals_, cursor.blockNumber(), selection, separator_);
  figures_->setText(ToQString(text.figures));
  reason_->setText(ToQString(text.reason));
  reason_line_ = text.reason_line;
}

void TotalsBar::GoToReason() {
  if (reason_line_ < 0) return;
  const int position = LinePosition(*box_->document(), static_cast<int>(reason_line_));
  if (position >= 0) box_->SetCaret(position);
  box_->setFocus();
}

}  // namespace tallivan
