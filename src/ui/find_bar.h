#ifndef TALLIVAN_UI_FIND_BAR_H_
#define TALLIVAN_UI_FIND_BAR_H_

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QWidget>

#include "ui/ledger_text_box.h"

namespace tallivan {

// The find bar (Ctrl+F): finds text in the box forwards and backwards, wrapping around, and says
// how many lines hold it and what their entries add up to ("taxi: 23 lines, 23 entries,
// 412.50"). Enter finds the next, Shift+Enter the previous, Escape closes the bar.
class FindBar : public QWidget {
  Q_OBJECT

 public:
  FindBar(LedgerTextBox* box, QWidget* parent);

  // Shows the bar with the selection (when on one line) as the text to find, and focuses it.
  void Open();

  // Which way to look from the caret.
  enum class Direction { kForward, kBackward };

  // Selects the next match in `direction`, wrapping around; false when there is none.
  bool FindNext(Direction direction);

  // Counts the matching lines and sums their entries again; the bar does so as the text to find
  // or the case setting changes.
  void Count();

  QLineEdit* text() const { return text_; }
  QCheckBox* match_case() const { return match_case_; }
  QString summary() const { return summary_->text(); }

 signals:
  void Closed();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  LedgerTextBox* box_;
  QLineEdit* text_;
  QCheckBox* match_case_;
  QLabel* summary_;
};

}  // namespace tallivan

#endif  // TALLIVAN_UI_FIND_BAR_H_
