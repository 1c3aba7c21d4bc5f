#ifndef TALLIVAN_UI_TOTALS_BAR_H_
#define TALLIVAN_UI_TOTALS_BAR_H_

#include <QLabel>
#include <QTimer>
#include <QWidget>
#include <memory>
#include <string>

#include "ledger/line_totals.h"
#include "ui/ledger_text_box.h"

namespace tallivan {

// The totals line under the text box: the figures at the caret or of the selection, the subtotal
// lines out of date and the first line a recalculation would reject, whose reason moves the caret
// there when clicked. It reads the box's text and never changes it.
class TotalsBar : public QWidget {
  Q_OBJECT

 public:
  TotalsBar(LedgerTextBox* box, QWidget* parent);
  ~TotalsBar() override;

  // Starts or stops following the box (stopped, it keeps nothing of the text).
  enum class Following { kOn, kOff };
  void SetFollowing(Following following);
  bool following() const { return totals_ != nullptr; }

  // Brings the figures up to date now rather than when the event loop next runs.
  void Refresh();

  // What the line shows (for tests).
  QString figures() const { return figures_->text(); }
  QString reason() const { return reason_->text(); }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void OnContentsChange(int position, int removed, int added);
  void ReadWholeText();
  void ScheduleRefresh();
  void GoToReason();

  LedgerTextBox* box_;
  QLabel* figures_;
  QLabel* reason_;
  QTimer refresh_timer_;
  std::unique_ptr<LineTotals> totals_;
  int64_t reason_line_ = -1;
  std::u16string separator_;
  QList<QMetaObject::Connection> connections_;
};

}  // namespace tallivan

#endif  // TALLIVAN_UI_TOTALS_BAR_H_
