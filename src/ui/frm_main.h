#ifndef TALLIVAN_UI_FRM_MAIN_H_
#define TALLIVAN_UI_FRM_MAIN_H_

#include <QString>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <memory>
#include <string_view>

#include "session/book_session.h"
#include "session/clock.h"
#include "session/messenger.h"
#include "session/user_settings.h"
#include "ui/find_bar.h"
#include "ui/ledger_text_box.h"
#include "ui/totals_bar.h"
#include "window/window_texts.h"

class QSessionManager;

namespace tallivan {

// The program's only window: the ledger text box `txtMain`, recalculation on F1-F16, and the
// book's session (see BookSession), which it drives from the window's events: loading at the first
// activation, recovery copies while the text is unsaved, and every way of closing.
class frmMain : public QWidget {
  Q_OBJECT

 public:
  // `book_path` empty: the book beside the executable. `messenger` null: message boxes.
  explicit frmMain(QString book_path = {}, std::unique_ptr<Messenger> messenger = nullptr);
  ~frmMain() override;

  // Closes the window through Form_QueryUnload; true when it closed. With kUnattended and a
  // message or question open, that is dismissed and the close follows once its handler ends.
  bool RequestClose(Attendance attendance);

  // The path of the book, set by Form_Initialize.
  const QString& book_path() const { return book_path_; }

  // The book's session.
  BookSession& session() { return *session_; }

  // The text box.
  LedgerTextBox* const txtMain;

  // The totals line under the text box, hidden unless the user turned it on.
  TotalsBar* const totals_bar;

  // The find bar (Ctrl+F), above the totals line.
  FindBar* const find_bar;

  // Asks for a line number (Ctrl+G) and puts the caret at that line's start.
  void AskLineToGoTo();

  // Puts the caret at the start of line `line` (1-based, clamped to the text).
  void GoToLine(int line);

  // Shows or hides the totals line and keeps the choice for the user's next windows.
  enum class Totals { kShown, kHidden };
  void SetTotals(Totals totals);

 protected:
  bool event(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  class Busy;

  void Form_Initialize(QString book_path);
  void Form_Resize();
  void Form_Activate();
  void txtMain_KeyDown(int16_t& key_code, int16_t shift);
  void txtMain_DblClick();
  CloseDecision Form_QueryUnload(Attendance attendance);
  void SaveNow();

  void ShowTotals(Totals totals);
  void ShowContextMenu(const QPoint& at);
  void OnCommitDataRequest(QSessionManager& manager);
  void OnTextChanged();
  void ArmRecoveryTimer();
  void KeepRecoveryCopy();

  QString book_path_;
  std::unique_ptr<Messenger> messenger_;
  SystemClock clock_;
  UserSettings settings_;
  std::unique_ptr<BookSession> session_;
  QTimer recovery_timer_;
  QAction* totals_action_ = nullptr;
  bool activated_ = false;
  bool closed_ = false;
  int busy_ = 0;
  bool close_deferred_ = false;
  Attendance close_attendance_ = Attendance::kAttended;
};

}  // namespace tallivan

#endif  // TALLIVAN_UI_FRM_MAIN_H_
