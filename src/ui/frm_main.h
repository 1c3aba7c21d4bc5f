#ifndef TALLIVAN_UI_FRM_MAIN_H_
#define TALLIVAN_UI_FRM_MAIN_H_

#include <QByteArray>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "ui/ledger_text_box.h"
#include "ui/messenger.h"

class QSessionManager;

namespace tallivan {

// The window's caption.
inline constexpr char kCaption[] = "Tallivan v1.01 https://tallivan.example";

// The text the box shows until a book is loaded: twelve lines, each ended by CR LF.
extern const std::u16string_view kSampleText;

// What the window knows about the book, which decides what closing may do with it.
enum class BookState {
  kNotLoaded,       // the window has not been activated yet
  kLoaded,          // read and shown exactly
  kMissing,         // there was no book; closing creates it
  kUnread,          // it exists but could not be read; never overwritten without consent
  kNotHeldExactly,  // read, but the box could not hold it exactly; never overwritten silently
};

// Whether someone is there to answer questions while the window closes.
enum class Attendance { kAttended, kUnattended };

// What Form_QueryUnload decides.
enum class CloseDecision { kClose, kStayOpen };

// The program's only window: the ledger text box `txtMain`, the book's loading at the first
// activation, recalculation on F1-F16 and the book's saving on every way of closing.
//
// Closing never loses text: a book that could not be read, could not be shown exactly or was
// changed on disk since it was loaded is overwritten only with the user's consent, and a failed
// save keeps the window open. With nobody to answer (a termination signal, or the session ending
// without interaction) the window writes the book only when that needs no question; otherwise, or
// when the save fails, it leaves the book alone and writes the text to a recovery file beside it
// (or in the home folder), "book.unsaved-<date>-<time>". Only when no file can be written does it
// stay open.
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

  // What the window knows about the book.
  BookState book_state() const { return book_state_; }

  // The text box, the window's only control.
  LedgerTextBox* const txtMain;

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
  void txtMain_KeyDown(int16_t key_code, int16_t shift);
  void txtMain_DblClick();
  CloseDecision Form_QueryUnload(Attendance attendance);

  void OnCommitDataRequest(QSessionManager& manager);
  // Whether the book on disk is no longer what was loaded or last saved.
  bool BookChangedOnDisk() const;
  // Asks before overwriting the book; with nobody there the answer is no.
  bool ConsentToOverwrite(Attendance attendance, const QString& english, const QString& chinese);
  // What to do when the book must not be written: with nobody there, keep the text in a recovery
  // file and close; otherwise stay open.
  CloseDecision KeepBook(Attendance attendance, std::u16string_view text);
  // Writes `text` to a new recovery file; false when none could be written.
  bool WriteRecoveryFile(std::u16string_view text) const;

  QString book_path_;
  std::unique_ptr<Messenger> messenger_;
  BookState book_state_ = BookState::kNotLoaded;
  std::optional<QByteArray> disk_hash_;  // nullopt: no book on disk
  QByteArray shown_hash_;                // the text as shown after loading
  bool activated_ = false;
  bool closed_ = false;
  int busy_ = 0;
  bool close_deferred_ = false;
  Attendance close_attendance_ = Attendance::kAttended;
};

}  // namespace tallivan

#endif  // TALLIVAN_UI_FRM_MAIN_H_
