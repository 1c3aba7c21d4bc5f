#ifndef TALLIVAN_WIN32_FRM_MAIN_H_
#define TALLIVAN_WIN32_FRM_MAIN_H_

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "session/book_session.h"
#include "session/clock.h"
#include "win32/box_messenger.h"

namespace tallivan {

// The program's only window on Windows: the ledger box `txtMain` (the system's multi-line edit
// control), recalculation on F1-F16, and the book's session (see BookSession), which it drives from
// the window's messages: loading at the first activation, recovery copies while the text is
// unsaved, and every way of closing (the close button, Alt+F4, the session ending).
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

 private:
  class Busy;

  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  static LRESULT CALLBACK TextBoxProc(HWND box, UINT message, WPARAM wparam, LPARAM lparam,
                                      UINT_PTR id, DWORD_PTR self);
  LRESULT OnMessage(UINT message, WPARAM wparam, LPARAM lparam);
  // Handles a key message of the text box; false to leave it to the box.
  bool OnTextBoxKey(UINT message, WPARAM wparam, LPARAM lparam);

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
};

}  // namespace tallivan

#endif  // TALLIVAN_WIN32_FRM_MAIN_H_
