#ifndef TALLIVAN_WIN32_FRM_MAIN_H_
#define TALLIVAN_WIN32_FRM_MAIN_H_

// <windows.h> comes before the headers that build on it.
// clang-format off
#include <windows.h>
#include <commdlg.h>
// clang-format on

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ledger/line_totals.h"
#include "session/book_session.h"
#include "session/clock.h"
#include "win32/box_messenger.h"

namespace tallivan {

// The program's only window on Windows: the ledger box `txtMain` (the system's multi-line edit
// control), recalculation on F1-F16, the totals line under the box (Ctrl+T), the system's find
// dialog (Ctrl+F), "Go to line" (Ctrl+G), and the book's session (see BookSession), which it
// drives from the window's messages: loading at the first activation, recovery copies while the
// text is unsaved, and every way of closing (the close button, Alt+F4, the session ending).
class frmMain {
 public:
  // The window on the book at `book` (empty: where the book lives when none is named), created but
  // not shown.
  frmMain(HINSTANCE instance, std::filesystem::path book);
  ~frmMain();

  frmMain(const frmMain&) = delete;
  frmMain& operator=(const frmMain&) = delete;

  // Shows the window as `show_command` says (the nCmdShow of the program's start).
  void Show(int show_command);

  // The window's handle; null once it is destroyed.
  HWND hwnd() const { return hwnd_; }

  // Whether the totals line shows under the box.
  enum class Totals { kHidden, kShown };

  // Gives `message` to the find dialog when it is that dialog's (the message loop asks first);
  // whether it was.
  bool TakeDialogMessage(MSG* message);

 private:
  class Busy;

  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  static LRESULT CALLBACK TextBoxProc(HWND box, UINT message, WPARAM wparam, LPARAM lparam,
                                      UINT_PTR id, DWORD_PTR self);
  LRESULT OnMessage(UINT message, WPARAM wparam, LPARAM lparam);
  // Handles a key message of the text box; false to leave it to the box.
  bool OnTextBoxKey(UINT message, WPARAM wparam, LPARAM lparam);

  // Notes, before the box handles `message`, which of its lines the message may change, for the
  // totals line; whether it noted something.
  bool NoteEdit(UINT message, WPARAM wparam);

  void Form_Initialize(std::filesystem::path book);
  void Form_Resize(int width, int height);
  void Form_Activate();
  void txtMain_KeyDown(int16_t key_code);
  CloseDecision Form_QueryUnload(Attendance attendance);
  // Ctrl+S: saves as closing would, and the window stays open.
  void SaveNow();

  // Closes the session through Form_QueryUnload unless it is over.
  void TryClose(Attendance attendance);
  void OnClose();
  void OnEndSession();
  void OnTextChanged();

  // Ctrl+T and the box's menu item: shows or hides the totals line and keeps the choice.
  void SetTotals(Totals totals);
  void ShowTotals(Totals totals);
  // Reads the box's whole text into the totals line's figures.
  void ReadWholeText();
  // Brings the totals line's figures up to date with the edit the box just made.
  void FollowEdit();
  // Asks for the totals line to be brought up to date once the current message is handled.
  void ScheduleTotals();
  void RefreshTotals();
  int TotalsHeight() const;
  void LayOutTotals(int width, int height);
  // The text of the box's lines `first` to `last`, with the line ends between them, and in
  // `lone_breaks` those of them that end at a lone LF; nullopt when it is quicker to read the whole
  // text again.
  std::optional<std::u16string> LinesOfBox(int64_t first, int64_t last,
                                           std::vector<int64_t>& lone_breaks) const;
  // Whether the box's line `line` ends at a lone LF, where the box breaks a line of the book.
  bool IsLoneBreak(int64_t line) const;
  // The line of the book that the box's line `line` is part of.
  int64_t BookLineOf(int64_t line) const;
  // The box's menu: its own items and the totals line's.
  void ShowContextMenu(LPARAM at);

  // Ctrl+F: the system's find dialog, and what it asks for.
  void OpenFind();
  void OnFind(const FINDREPLACEW& find);
  // Ctrl+G: asks for a line number and puts the caret at that line's start.
  void AskLineToGoTo();
  static INT_PTR CALLBACK GoToProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
  // Puts the caret at the start of the book's line `line` (from 0).
  void GoToLine(int64_t line);
  void ArmRecoveryTimer();
  void KeepRecoveryCopy();

  std::u16string Text() const;
  void SetText(std::u16string_view text);
  void SetCaret(int64_t position);
  int Scaled(int pixels) const;
  // Gives the box the font in the window's resolution.
  void UpdateFont();
  // Takes the resolution `dpi` of the monitor the window moved to, and the `frame` that keeps its
  // inner area's size there.
  void OnDpiChanged(int dpi, const RECT& frame);

  HINSTANCE instance_;
  HWND hwnd_ = nullptr;
  HWND txtMain = nullptr;
  HFONT font_ = nullptr;
  int dpi_ = 96;
  BoxMessenger messenger_;
  SystemClock clock_;
  std::unique_ptr<BookSession> session_;
  bool activated_ = false;
  bool loaded_ = false;  // the book has had its chance to replace the sample
  bool closed_ = false;  // the session is over; the window goes as soon as no handler runs
  bool close_deferred_ = false;
  bool alt_key_used_ = false;  // a function key went down while Alt was held
  int busy_ = 0;
  bool opening_ = false;

  // The totals line: the figures, the reason a recalculation would stop (clicked, it goes to
  // that line), and the figures of the box's text line by line while it shows.
  HWND totals_figures_ = nullptr;
  HWND totals_reason_ = nullptr;
  Totals totals_shown_ = Totals::kHidden;
  std::unique_ptr<LineTotals> totals_;
  int64_t reason_line_ = -1;
  std::u16string shown_figures_;
  std::u16string shown_reason_;
  std::u16string separator_;
  bool totals_scheduled_ = false;
  // The lines the box's next change may touch, noted before the box makes it: from
  // `first_line`, all but the last `lines_below` of the `line_count` lines. nullopt when unknown
  // (an undo, or a change nobody announced), which reads the whole text again.
  struct PendingEdit {
    int64_t first_line = 0;
    int64_t lines_below = 0;
    int64_t line_count = 0;
  };
  std::optional<PendingEdit> pending_edit_;
  // The box's lines that end at a lone LF, in order: the box breaks lines there, a book only at CR
  // LF, so a line of the book may be several of the box's.
  std::vector<int64_t> lone_breaks_;

  // The find dialog while it is open and what it was last asked, and the Go to line dialog while
  // it is open.
  HWND find_dialog_ = nullptr;
  UINT find_message_ = 0;
  FINDREPLACEW find_{};
  std::array<wchar_t, 256> find_text_{};
  HWND go_to_dialog_ = nullptr;
};

}  // namespace tallivan

#endif  // TALLIVAN_WIN32_FRM_MAIN_H_
