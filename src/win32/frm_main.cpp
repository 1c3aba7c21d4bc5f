#include "win32/frm_main.h"

#include <commctrl.h>
#include <windowsx.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <optional>
#include <utility>
#include <variant>

#include "ledger/ledger.h"
#include "session/user_settings.h"
#include "storage/book_location.h"
#include "storage/file_io.h"
#include "storage/wide_text.h"
#include "win32/one_window.h"
#include "win32/placement.h"
#include "win32/resource_ids.h"
#include "win32/temporary_folder.h"
#include "window/changed_span.h"
#include "window/function_keys.h"
#include "window/totals_text.h"
#include "window/window_texts.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;

constexpr wchar_t kWindowClass[] = L"Tallivan.frmMain";
constexpr int kInnerWidth = 312;  // pixels at 96 dots per inch
constexpr int kInnerHeight = 213;
constexpr int kBoxWidth = 313;
constexpr int kBoxHeight = 217;
constexpr int kFontPoints = 9;
constexpr UINT_PTR kTxtMainId = 1;
constexpr UINT_PTR kTotalsFiguresId = 2;
constexpr UINT_PTR kTotalsReasonId = 3;
constexpr UINT_PTR kRecoveryTimer = 1;
// Posted at the first activation: the book loads once activation is over, so that its messages
// do not come in the middle of it.
constexpr UINT kLoadMessage = WM_APP + 1;
// Posted when the last handler ends after the session closed, or after a close was put off.
constexpr UINT kCloseLaterMessage = WM_APP + 2;
// Posted by the thread that writes recovery copies when one could not be written where it belongs.
constexpr UINT kRecoveryTroubleMessage = WM_APP + 3;
// Posted when the caret, the selection or the text moved, to bring the totals line up to date once.
constexpr UINT kRefreshTotalsMessage = WM_APP + 4;

// The text box's menu: the box's own commands and the totals line.
enum MenuCommand : UINT_PTR {
  kMenuUndo = 1,
  kMenuCut,
  kMenuCopy,
  kMenuPaste,
  kMenuDelete,
  kMenuSelectAll,
  kMenuTotals,
};

// Lines read one by one from the box after an edit; beyond this many, the whole text is read again.
constexpr int64_t kMostLinesReadApart = 64;

// The user's choice of the totals line, in the user's settings (see UserSettings) under the key
// the Linux window uses.
constexpr char kTotalsKey[] = "window.totals_line";

frmMain::Totals SavedTotalsChoice() {
  return UserSettings().Get(kTotalsKey) == "1" ? frmMain::Totals::kShown : frmMain::Totals::kHidden;
}

// A choice that cannot be kept still holds for this window.
void KeepTotalsChoice(frmMain::Totals totals) {
  UserSettings().Set(kTotalsKey, totals == frmMain::Totals::kShown ? "1" : "0").IgnoreError();
}

// Control characters of keys the window takes (Ctrl+S, Ctrl+T, Ctrl+F, Ctrl+G), which the box
// must not see.
bool IsTakenCharacter(WPARAM character) {
  return character == 0x13 || character == 0x14 || character == 0x06 || character == 0x07;
}

// The line of the book `text` (lines end at CR LF) that holds the code unit at `offset`.
int64_t BookLineAt(std::u16string_view text, size_t offset) {
  const std::u16string_view before = text.substr(0, std::min(offset, text.size()));
  int64_t line = 0;
  for (size_t at = before.find(u"\r\n"); at != before.npos; at = before.find(u"\r\n", at + 2)) {
    ++line;
  }
  return line;
}

// Where the book's line `line` of `text` starts (the last line's start past the end).
size_t BookLineStart(std::u16string_view text, int64_t line) {
  size_t start = 0;
  for (; line > 0; --line) {
    const size_t end = text.find(u"\r\n", start);
    if (end == text.npos) break;
    start = end + 2;
  }
  return start;
}

// The code units of `text` with letters in upper case, as the system folds them, for finding text
// in either case.
std::u16string Folded(std::u16string_view text) {
  std::u16string folded(text);
  if (!folded.empty()) {
    CharUpperBuffW(reinterpret_cast<LPWSTR>(folded.data()), static_cast<DWORD>(folded.size()));
  }
  return folded;
}

enum class Phase { kOpening, kWorking };

// The user's decimal separator, which the rewritten subtotal lines use.
std::u16string DecimalSeparator() {
  std::array<wchar_t, 8> buffer{};
  const int length = GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SDECIMAL, buffer.data(),
                                     static_cast<int>(buffer.size()));
  if (length <= 1) return u".";
  return std::u16string(AsUtf16({buffer.data(), static_cast<size_t>(length - 1)}));
}

// The resolution of the monitor that `window` is on; the system's before Windows 10, which
// tells no other.
int DpiOf(HWND window) {
  using DpiCall = UINT(WINAPI*)(HWND);
  static const auto dpi_for_window = reinterpret_cast<DpiCall>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  if (const UINT dpi = dpi_for_window != nullptr ? dpi_for_window(window) : 0; dpi != 0) {
    return static_cast<int>(dpi);
  }
  const HDC screen = GetDC(nullptr);
  const int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
  if (screen != nullptr) ReleaseDC(nullptr, screen);
  return dpi;
}

// The window's frame around an inner area of `inner`, with the borders and caption of `dpi`.
RECT FrameAround(RECT inner, DWORD style, int dpi) {
  using AdjustCall = BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT);
  static const auto adjust_for_dpi = reinterpret_cast<AdjustCall>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"user32.dll"), "AdjustWindowRectExForDpi")));
  if (adjust_for_dpi == nullptr || !adjust_for_dpi(&inner, style, FALSE, 0, dpi)) {
    AdjustWindowRectEx(&inner, style, FALSE, 0);
  }
  return inner;
}

bool IsKeyMessage(UINT message) {
  return message == WM_KEYDOWN || message == WM_SYSKEYDOWN || message == WM_KEYUP ||
         message == WM_SYSKEYUP;
}

}  // namespace

// Counts a handler that may show a message. While one runs, a close waits; the session's end is
// carried out once the last one ends.
class frmMain::Busy {
 public:
  Busy(frmMain* window, Phase phase) : window_(window), was_opening_(window->opening_) {
    ++window_->busy_;
    if (phase == Phase::kOpening) window_->opening_ = true;
  }
  Busy(const Busy&) = delete;
  Busy& operator=(const Busy&) = delete;
  ~Busy() {
    window_->opening_ = was_opening_;
    if (--window_->busy_ > 0) return;
    if (window_->hwnd_ != nullptr && (window_->closed_ || window_->close_deferred_)) {
      PostMessageW(window_->hwnd_, kCloseLaterMessage, 0, 0);
    }
  }

 private:
  frmMain* window_;
  bool was_opening_;
};

frmMain::frmMain(HINSTANCE instance, fs::path book)
    : instance_(instance),
      separator_(DecimalSeparator()),
      find_message_(RegisterWindowMessageW(FINDMSGSTRINGW)) {
  Form_Initialize(std::move(book));
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof window_class;
  window_class.lpfnWndProc = WindowProc;
  window_class.hInstance = instance_;
  window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  window_class.lpszClassName = kWindowClass;
  RegisterClassExW(&window_class);

  dpi_ = DpiOf(nullptr);
  const RECT frame =
      FrameAround({0, 0, Scaled(kInnerWidth), Scaled(kInnerHeight)}, WS_OVERLAPPEDWINDOW, dpi_);
  CreateWindowExW(0, kWindowClass, WideFromUtf8(kCaption).c_str(), WS_OVERLAPPEDWINDOW,
                  CW_USEDEFAULT, CW_USEDEFAULT, frame.right - frame.left, frame.bottom - frame.top,
                  nullptr, nullptr, instance_, this);
  messenger_.set_owner(hwnd_);
  // The window may open on a monitor of another resolution than the system's.
  if (const int dpi = hwnd_ != nullptr ? DpiOf(hwnd_) : dpi_; dpi != dpi_) {
    RECT now{};
    GetWindowRect(hwnd_, &now);
    RECT fitted = FrameAround({0, 0, MulDiv(kInnerWidth, dpi, 96), MulDiv(kInnerHeight, dpi, 96)},
                              WS_OVERLAPPEDWINDOW, dpi);
    OffsetRect(&fitted, now.left - fitted.left, now.top - fitted.top);
    OnDpiChanged(dpi, fitted);
  }
}

frmMain::~frmMain() {
  if (hwnd_ != nullptr) DestroyWindow(hwnd_);
  if (font_ != nullptr) DeleteObject(font_);
}

void frmMain::Show(int show_command) {
  ShowAsLastTime(hwnd_, show_command);
  UpdateWindow(hwnd_);
}

bool frmMain::TakeDialogMessage(MSG* message) {
  return find_dialog_ != nullptr && IsDialogMessageW(find_dialog_, message);
}

LRESULT CALLBACK frmMain::WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* self = reinterpret_cast<frmMain*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (message == WM_NCCREATE) {
    self = static_cast<frmMain*>(reinterpret_cast<CREATESTRUCTW*>(lparam)->lpCreateParams);
    self->hwnd_ = window;
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  if (self == nullptr) return DefWindowProcW(window, message, wparam, lparam);
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    self->hwnd_ = nullptr;
    self->txtMain = nullptr;
    return DefWindowProcW(window, message, wparam, lparam);
  }
  return self->OnMessage(message, wparam, lparam);
}

LRESULT CALLBACK frmMain::TextBoxProc(HWND box, UINT message, WPARAM wparam, LPARAM lparam,
                                      UINT_PTR id, DWORD_PTR self) {
  auto* window = reinterpret_cast<frmMain*>(self);
  if (IsKeyMessage(message) && window->OnTextBoxKey(message, wparam, lparam)) return 0;
  if (message == WM_CHAR && IsTakenCharacter(wparam)) return 0;
  if (message == WM_CONTEXTMENU) {
    window->ShowContextMenu(lparam);
    return 0;
  }
  if (message == WM_NCDESTROY) RemoveWindowSubclass(box, TextBoxProc, id);
  const bool noted = window->NoteEdit(message, wparam);
  const LRESULT result = DefSubclassProc(box, message, wparam, lparam);
  if (noted) window->pending_edit_.reset();
  // The box tells nobody when its caret or selection moves.
  if (message == WM_KEYDOWN || message == WM_LBUTTONDOWN || message == WM_LBUTTONUP ||
      (message == WM_MOUSEMOVE && (wparam & MK_LBUTTON) != 0) || message == EM_SETSEL ||
      message == WM_CHAR) {
    window->ScheduleTotals();
  }
  return result;
}

bool frmMain::NoteEdit(UINT message, WPARAM wparam) {
  if (!totals_) return false;
  if (message == WM_UNDO || message == EM_UNDO || message == WM_SETTEXT ||
      (message == WM_CHAR && wparam == 0x1A) || (message == WM_SYSKEYDOWN && wparam == VK_BACK)) {
    // An undo puts back text the window never saw go.
    pending_edit_.reset();
    return true;
  }
  const bool changes = (message == WM_CHAR || message == WM_IME_CHAR || message == WM_PASTE ||
                        message == WM_CUT || message == WM_CLEAR || message == EM_REPLACESEL ||
                        (message == WM_KEYDOWN &&
                         (wparam == VK_DELETE || wparam == VK_BACK || wparam == VK_INSERT)));
  if (!changes) return false;
  DWORD start = 0;
  DWORD end = 0;
  SendMessageW(txtMain, EM_GETSEL, reinterpret_cast<WPARAM>(&start),
               reinterpret_cast<LPARAM>(&end));
  const auto count = static_cast<int64_t>(SendMessageW(txtMain, EM_GETLINECOUNT, 0, 0));
  const auto line_of = [this](DWORD position) {
    return static_cast<int64_t>(SendMessageW(txtMain, EM_LINEFROMCHAR, position, 0));
  };
  // A line on either side too: Backspace and Delete join lines, and a CR LF may be cut in two.
  // Then whole lines of the book.
  int64_t first = std::max<int64_t>(line_of(start) - 1, 0);
  int64_t last = std::min<int64_t>(line_of(end) + 1, count - 1);
  while (first > 0 && IsLoneBreak(first - 1)) --first;
  while (last < count - 1 && IsLoneBreak(last)) ++last;
  pending_edit_ = PendingEdit{first, count - 1 - last, count};
  return true;
}

LRESULT frmMain::OnMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  // A later start on the book asks this window to come to the front (see OneWindow).
  if (message == RaiseMessage()) {
    BringToFront(hwnd_);
    return kRaisedAnswer;
  }
  if (message == find_message_ && find_message_ != 0) {
    OnFind(*reinterpret_cast<const FINDREPLACEW*>(lparam));
    return 0;
  }
  switch (message) {
    case WM_CREATE: {
      // ES_NOHIDESEL: a match found from the find dialog shows while the dialog has the focus.
      txtMain = CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", nullptr,
                                WS_CHILD | WS_HSCROLL | WS_VSCROLL | ES_MULTILINE | ES_AUTOHSCROLL |
                                    ES_AUTOVSCROLL | ES_NOHIDESEL,
                                0, 0, Scaled(kBoxWidth), Scaled(kBoxHeight), hwnd_,
                                reinterpret_cast<HMENU>(kTxtMainId), instance_, nullptr);
      if (txtMain == nullptr) return -1;
      // The totals line, hidden until it is turned on.
      totals_figures_ =
          CreateWindowExW(0, L"STATIC", nullptr, WS_CHILD | SS_LEFTNOWORDWRAP, 0, 0, 0, 0, hwnd_,
                          reinterpret_cast<HMENU>(kTotalsFiguresId), instance_, nullptr);
      totals_reason_ =
          CreateWindowExW(0, L"STATIC", nullptr, WS_CHILD | SS_RIGHT | SS_NOTIFY, 0, 0, 0, 0, hwnd_,
                          reinterpret_cast<HMENU>(kTotalsReasonId), instance_, nullptr);
      UpdateFont();
      // Without this the box takes no more than 32,767 characters, and a book beyond that would
      // not load.
      SendMessageW(txtMain, EM_SETLIMITTEXT, 0, 0);
      SetText(kSampleText);
      SetWindowSubclass(txtMain, TextBoxProc, 0, reinterpret_cast<DWORD_PTR>(this));
      return 0;
    }
    case WM_SIZE:
      Form_Resize(LOWORD(lparam), HIWORD(lparam));
      return 0;
    case WM_DPICHANGED:
      OnDpiChanged(HIWORD(wparam), *reinterpret_cast<const RECT*>(lparam));
      return 0;
    case WM_ACTIVATE:
      if (LOWORD(wparam) != WA_INACTIVE && !activated_) {
        activated_ = true;
        PostMessageW(hwnd_, kLoadMessage, 0, 0);
      }
      break;
    case WM_SETFOCUS:
      if (loaded_) SetFocus(txtMain);
      return 0;
    case kLoadMessage:
      Form_Activate();
      return 0;
    case WM_COMMAND:
      if (LOWORD(wparam) == kTxtMainId && HIWORD(wparam) == EN_CHANGE) OnTextChanged();
      if (LOWORD(wparam) == kTotalsReasonId && HIWORD(wparam) == STN_CLICKED && reason_line_ >= 0) {
        GoToLine(reason_line_);
      }
      return 0;
    case WM_CTLCOLORSTATIC:
      if (reinterpret_cast<HWND>(lparam) == totals_reason_) {
        // The reason reads as a link: a click goes to its line.
        SetTextColor(reinterpret_cast<HDC>(wparam), RGB(0, 0, 204));
        SetBkColor(reinterpret_cast<HDC>(wparam), GetSysColor(COLOR_BTNFACE));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
      }
      break;
    case WM_SETCURSOR:
      if (reinterpret_cast<HWND>(wparam) == totals_reason_ && reason_line_ >= 0) {
        SetCursor(LoadCursorW(nullptr, IDC_HAND));
        return TRUE;
      }
      break;
    case kRefreshTotalsMessage:
      RefreshTotals();
      return 0;
    case WM_TIMER:
      if (wparam == kRecoveryTimer) KeepRecoveryCopy();
      return 0;
    case kRecoveryTroubleMessage:
      if (!closed_) {
        Busy busy(this, Phase::kWorking);
        session_->TellRecoveryTrouble();
      }
      return 0;
    case WM_CLOSE:
      OnClose();
      return 0;
    case kCloseLaterMessage:
      if (busy_ > 0) return 0;
      close_deferred_ = false;
      TryClose(Attendance::kUnattended);
      if (closed_) DestroyWindow(hwnd_);
      return 0;
    case WM_QUERYENDSESSION:
      return TRUE;
    case WM_ENDSESSION:
      if (wparam) OnEndSession();
      return 0;
    case WM_DESTROY:
      KillTimer(hwnd_, kRecoveryTimer);
      KeepPlacement(hwnd_);
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(hwnd_, message, wparam, lparam);
}

bool frmMain::OnTextBoxKey(UINT message, WPARAM wparam, LPARAM lparam) {
  const auto key = static_cast<int16_t>(wparam);
  const bool alt = (HIWORD(lparam) & KF_ALTDOWN) != 0;
  const bool down = message == WM_KEYDOWN || message == WM_SYSKEYDOWN;
  if (key == VK_MENU) {
    if (down && (HIWORD(lparam) & KF_REPEAT) == 0) alt_key_used_ = false;
    // Alt let go after Alt+F1 would otherwise open the window's menu, which takes the keys
    // typed next.
    return !down && std::exchange(alt_key_used_, false);
  }
  if ((key == 'S' || key == 'T' || key == 'F' || key == 'G') && !alt &&
      GetKeyState(VK_CONTROL) < 0) {
    if (!down) return true;
    if (key == 'S') SaveNow();
    if (key == 'T' && loaded_ && (HIWORD(lparam) & KF_REPEAT) == 0) {
      SetTotals(totals_shown_ == Totals::kShown ? Totals::kHidden : Totals::kShown);
    }
    if (key == 'F') OpenFind();
    if (key == 'G') AskLineToGoTo();
    return true;
  }
  if (RoleOfKey(key) == KeyRole::kPassOn) return false;
  if (key == VK_F4 && alt) return false;  // Alt+F4 closes the window, as everywhere
  // F10 arrives as a system key and Shift+F10 opens the box's menu: every function key is taken
  // here, going down and coming up, before the box or the system give it a meaning.
  if (down) {
    if (alt) alt_key_used_ = true;
    txtMain_KeyDown(key);
  }
  return true;
}

void frmMain::Form_Initialize(fs::path book) {
  session_ = std::make_unique<BookSession>(
      book.empty() ? PrepareDefaultBook(RunningExecutable()).path : std::move(book),
      std::u16string(kSampleText), messenger_, clock_);
}

void frmMain::Form_Resize(int width, int height) {
  const int bar = totals_shown_ == Totals::kShown ? TotalsHeight() : 0;
  if (txtMain != nullptr) MoveWindow(txtMain, 0, 0, width, std::max(height - bar, 0), TRUE);
  LayOutTotals(width, height);
}

void frmMain::Form_Activate() {
  Busy busy(this, Phase::kOpening);
  if (closed_) return;
  session_->OnRecoveryTrouble(
      [window = hwnd_] { PostMessageW(window, kRecoveryTroubleMessage, 0, 0); });
  // Said before anything can be typed: a program started from inside a zip runs from a folder
  // that Windows empties later, with the book that would be kept there.
  if (const fs::path folder = RunningExecutable().parent_path();
      IsInTemporaryFolder(folder) && IsInTemporaryFolder(session_->book())) {
    messenger_.Inform(kWindowWarningTitle,
                      TemporaryFolderWarning(PathUtf8(folder), PathUtf8(DocumentsFolder())));
  }
  if (const std::optional<std::u16string> text = session_->Open()) {
    SetText(*text);
    if (const std::u16string held = Text(); held != *text) session_->ShownInexactly(held);
  }
  // The box shows its text only now, so that a large book does not come after a glimpse of the
  // sample.
  loaded_ = true;
  ShowWindow(txtMain, SW_SHOW);
  SetFocus(txtMain);
  SetCaret(GetWindowTextLengthW(txtMain));
  ShowTotals(SavedTotalsChoice());
}

void frmMain::txtMain_KeyDown(int16_t key_code) {
  if (RoleOfKey(key_code) != KeyRole::kRecalculate || closed_ || !loaded_) return;
  Busy busy(this, Phase::kWorking);
  const std::u16string text = Text();
  const std::variant<Edits, Rejection> outcome = RecalculateEdits(text, DecimalSeparator());
  if (const auto* rejection = std::get_if<Rejection>(&outcome)) {
    if (rejection->has_message()) {
      messenger_.Inform(rejection->message.title, rejection->message.Body());
    }
    SetCaret(rejection->offset);
    return;
  }
  // Only the changed lines are replaced, in one step that the box's own undo takes back.
  if (const std::optional<SpanReplacement> span = ChangedSpan(text, std::get<Edits>(outcome))) {
    SendMessageW(txtMain, EM_SETSEL, static_cast<WPARAM>(span->start),
                 static_cast<LPARAM>(span->start + span->length));
    SendMessageW(txtMain, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(span->text.c_str()));
  }
  SetCaret(GetWindowTextLengthW(txtMain));
}

CloseDecision frmMain::Form_QueryUnload(Attendance attendance) {
  Busy busy(this, Phase::kWorking);
  KillTimer(hwnd_, kRecoveryTimer);
  // A save that waits for another program, or a text kept apart, may take a while: should the
  // desktop session end meanwhile, Windows shows why the window holds it up.
  const bool reason_given =
      ShutdownBlockReasonCreate(hwnd_, WideFromUtf8(kShutdownReason).c_str()) != 0;
  const CloseDecision decision = session_->Close(attendance, Text());
  if (reason_given) ShutdownBlockReasonDestroy(hwnd_);
  // A window that stays open goes on keeping its recovery copy.
  if (decision == CloseDecision::kStayOpen) ArmRecoveryTimer();
  return decision;
}

void frmMain::SaveNow() {
  if (closed_ || !loaded_ || busy_ > 0) return;
  Busy busy(this, Phase::kWorking);
  KillTimer(hwnd_, kRecoveryTimer);
  const bool reason_given =
      ShutdownBlockReasonCreate(hwnd_, WideFromUtf8(kShutdownReason).c_str()) != 0;
  if (session_->Save(Text()) == SaveOutcome::kNotSaved) ArmRecoveryTimer();
  if (reason_given) ShutdownBlockReasonDestroy(hwnd_);
}

void frmMain::TryClose(Attendance attendance) {
  // The session may also end inside this close, while it asks a question (see OnEndSession).
  if (!closed_ && Form_QueryUnload(attendance) == CloseDecision::kClose) closed_ = true;
}

void frmMain::OnClose() {
  // While a message is open the window is disabled; a close asked for by another program waits.
  if (busy_ > 0) return;
  TryClose(Attendance::kAttended);
  if (closed_) DestroyWindow(hwnd_);
}

void frmMain::OnEndSession() {
  // The process is ended as soon as this returns: everything is decided and saved now, nobody
  // answers questions, and a message still open is closed.
  messenger_.Dismiss();
  if (go_to_dialog_ != nullptr) EndDialog(go_to_dialog_, 0);
  if (closed_) return;
  if (opening_) {
    // Nothing has been typed yet and the book is untouched; the box may still hold the sample,
    // which must not be saved over the book. The close follows the load if there is time.
    close_deferred_ = true;
    return;
  }
  TryClose(Attendance::kUnattended);
  // Inside a handler that shows a message, the window goes when that handler ends.
  if (closed_ && busy_ == 0) DestroyWindow(hwnd_);
}

void frmMain::OnTextChanged() {
  if (totals_) FollowEdit();
  if (!loaded_ || closed_) return;
  session_->TextChanged();
  ArmRecoveryTimer();
}

void frmMain::ArmRecoveryTimer() {
  if (const std::optional<TimePoint> due = session_->RecoveryCopyDue()) {
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*due - clock_.Now()).count();
    SetTimer(hwnd_, kRecoveryTimer, static_cast<UINT>(std::max<int64_t>(USER_TIMER_MINIMUM, wait)),
             nullptr);
  }
}

void frmMain::KeepRecoveryCopy() {
  KillTimer(hwnd_, kRecoveryTimer);
  if (closed_) return;
  session_->KeepRecoveryCopy(Text());
}

std::u16string frmMain::Text() const {
  const int length = GetWindowTextLengthW(txtMain);
  std::u16string text(static_cast<size_t>(std::max(length, 0)), u'\0');
  const int copied = GetWindowTextW(txtMain, reinterpret_cast<LPWSTR>(text.data()), length + 1);
  text.resize(static_cast<size_t>(std::max(copied, 0)));
  return text;
}

void frmMain::SetText(std::u16string_view text) {
  const std::u16string terminated(text);
  SetWindowTextW(txtMain, reinterpret_cast<LPCWSTR>(terminated.c_str()));
}

void frmMain::SetCaret(int64_t position) {
  SendMessageW(txtMain, EM_SETSEL, static_cast<WPARAM>(position), static_cast<LPARAM>(position));
  SendMessageW(txtMain, EM_SCROLLCARET, 0, 0);
}

int frmMain::Scaled(int pixels) const { return MulDiv(pixels, dpi_, 96); }

void frmMain::UpdateFont() {
  const HFONT old = std::exchange(
      font_, CreateFontW(-MulDiv(kFontPoints, dpi_, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                         GB2312_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                         DEFAULT_PITCH | FF_DONTCARE, L"宋体"));
  for (const HWND control : {txtMain, totals_figures_, totals_reason_}) {
    if (control != nullptr) {
      SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_), TRUE);
    }
  }
  if (old != nullptr) DeleteObject(old);
}

void frmMain::OnDpiChanged(int dpi, const RECT& frame) {
  dpi_ = dpi;
  UpdateFont();
  // The frame Windows suggests keeps the inner area's size in the new resolution's pixels.
  SetWindowPos(hwnd_, nullptr, frame.left, frame.top, frame.right - frame.left,
               frame.bottom - frame.top, SWP_NOZORDER | SWP_NOACTIVATE);
}

void frmMain::SetTotals(Totals totals) {
  KeepTotalsChoice(totals);
  ShowTotals(totals);
}

void frmMain::ShowTotals(Totals totals) {
  totals_shown_ = totals;
  if (totals == Totals::kHidden) {
    totals_.reset();
  } else if (!totals_) {
    ReadWholeText();
  }
  const int show = totals == Totals::kShown ? SW_SHOW : SW_HIDE;
  ShowWindow(totals_figures_, show);
  ShowWindow(totals_reason_, show);
  RECT inner{};
  GetClientRect(hwnd_, &inner);
  Form_Resize(inner.right, inner.bottom);
  RefreshTotals();
}

void frmMain::ReadWholeText() {
  const std::u16string text = Text();
  totals_ = std::make_unique<LineTotals>(text, separator_);
  // An empty text has no lines, but the box always has one.
  if (totals_->line_count() == 0) totals_->ReplaceLines(0, 0, u"");
  lone_breaks_.clear();
  if (SendMessageW(txtMain, EM_GETLINECOUNT, 0, 0) == totals_->line_count()) return;
  int64_t line = 0;
  for (size_t at = text.find(u'\n'); at != text.npos; at = text.find(u'\n', at + 1)) {
    if (at == 0 || text[at - 1] != u'\r') lone_breaks_.push_back(line);
    ++line;
  }
}

bool frmMain::IsLoneBreak(int64_t line) const {
  return std::binary_search(lone_breaks_.begin(), lone_breaks_.end(), line);
}

int64_t frmMain::BookLineOf(int64_t line) const {
  return line -
         (std::lower_bound(lone_breaks_.begin(), lone_breaks_.end(), line) - lone_breaks_.begin());
}

void frmMain::FollowEdit() {
  const std::optional<PendingEdit> edit = std::exchange(pending_edit_, std::nullopt);
  ScheduleTotals();
  if (edit && edit->line_count == totals_->line_count() + std::ssize(lone_breaks_)) {
    const auto count = static_cast<int64_t>(SendMessageW(txtMain, EM_GETLINECOUNT, 0, 0));
    const int64_t first = edit->first_line;
    const int64_t last_before = edit->line_count - 1 - edit->lines_below;
    const int64_t last = count - 1 - edit->lines_below;
    std::vector<int64_t> breaks;
    const std::optional<std::u16string> lines =
        last >= first && last_before >= first ? LinesOfBox(first, last, breaks) : std::nullopt;
    if (lines) {
      const auto begin =
          std::lower_bound(lone_breaks_.begin(), lone_breaks_.end(), first) - lone_breaks_.begin();
      const auto end = std::lower_bound(lone_breaks_.begin(), lone_breaks_.end(), last_before) -
                       lone_breaks_.begin();
      totals_->ReplaceLines(first - begin, last_before - first + 1 - (end - begin), *lines);
      for (auto later = lone_breaks_.begin() + end; later != lone_breaks_.end(); ++later) {
        *later += last - last_before;
      }
      lone_breaks_.erase(lone_breaks_.begin() + begin, lone_breaks_.begin() + end);
      lone_breaks_.insert(lone_breaks_.begin() + begin, breaks.begin(), breaks.end());
      return;
    }
  }
  ReadWholeText();
}

std::optional<std::u16string> frmMain::LinesOfBox(int64_t first, int64_t last,
                                                  std::vector<int64_t>& lone_breaks) const {
  if (last - first >= kMostLinesReadApart) return std::nullopt;
  const auto count = static_cast<int64_t>(SendMessageW(txtMain, EM_GETLINECOUNT, 0, 0));
  const auto start_of = [this, count](int64_t line) -> int64_t {
    if (line >= count) return GetWindowTextLengthW(txtMain) + 2;
    return SendMessageW(txtMain, EM_LINEINDEX, static_cast<WPARAM>(line), 0);
  };
  std::u16string lines;
  std::vector<wchar_t> buffer;
  int64_t start = start_of(first);
  for (int64_t line = first; line <= last; ++line) {
    const int64_t next = start_of(line + 1);
    const auto length =
        static_cast<int64_t>(SendMessageW(txtMain, EM_LINELENGTH, static_cast<WPARAM>(start), 0));
    // EM_GETLINE takes the buffer's size in its first code unit.
    if (start < 0 || length > 0xFFFF) return std::nullopt;
    buffer.assign(static_cast<size_t>(std::max<int64_t>(length, 1)), L'\0');
    buffer[0] = static_cast<wchar_t>(length);
    const auto copied = static_cast<int64_t>(SendMessageW(
        txtMain, EM_GETLINE, static_cast<WPARAM>(line), reinterpret_cast<LPARAM>(buffer.data())));
    if (copied != length) return std::nullopt;
    lines.append(AsUtf16({buffer.data(), static_cast<size_t>(length)}));
    // What ends the line: CR LF, a lone LF, or a CR and then CR LF (the box leaves that CR out
    // of the line).
    const int64_t end = next - start - length;
    if (end == 1 && line < last) {
      lines += u'\n';
      lone_breaks.push_back(line);
    } else if (end == 2 || end == 3) {
      if (end == 3) lines += u'\r';
      if (line < last) lines += u"\r\n";
    } else {
      return std::nullopt;
    }
    start = next;
  }
  return lines;
}

void frmMain::ScheduleTotals() {
  if (!totals_ || totals_scheduled_ || hwnd_ == nullptr) return;
  totals_scheduled_ = PostMessageW(hwnd_, kRefreshTotalsMessage, 0, 0) != 0;
}

void frmMain::RefreshTotals() {
  totals_scheduled_ = false;
  TotalsText text;
  if (totals_) {
    DWORD start = 0;
    DWORD end = 0;
    SendMessageW(txtMain, EM_GETSEL, reinterpret_cast<WPARAM>(&start),
                 reinterpret_cast<LPARAM>(&end));
    const auto line_of = [this](WPARAM position) {
      return static_cast<int64_t>(SendMessageW(txtMain, EM_LINEFROMCHAR, position, 0));
    };
    std::optional<std::pair<int64_t, int64_t>> selection;
    if (start != end) {
      // A selection that ends at a line's start does not take that line in.
      const int64_t last = line_of(end);
      const bool at_start = SendMessageW(txtMain, EM_LINEINDEX, static_cast<WPARAM>(last), 0) ==
                                static_cast<LRESULT>(end) &&
                            !IsLoneBreak(last - 1);
      selection.emplace(BookLineOf(line_of(start)), BookLineOf(last) - (at_start ? 1 : 0));
    }
    text = DescribeTotals(*totals_, BookLineOf(line_of(static_cast<WPARAM>(-1))), selection,
                          separator_);
  }
  reason_line_ = text.reason_line;
  if (text.figures == shown_figures_ && text.reason == shown_reason_) return;
  shown_figures_ = std::move(text.figures);
  shown_reason_ = std::move(text.reason);
  SetWindowTextW(totals_figures_, reinterpret_cast<LPCWSTR>(shown_figures_.c_str()));
  SetWindowTextW(totals_reason_, reinterpret_cast<LPCWSTR>(shown_reason_.c_str()));
  RECT inner{};
  GetClientRect(hwnd_, &inner);
  LayOutTotals(inner.right, inner.bottom);
}

int frmMain::TotalsHeight() const {
  TEXTMETRICW metrics{};
  const HDC context = GetDC(hwnd_);
  const HGDIOBJ old = SelectObject(context, font_);
  GetTextMetricsW(context, &metrics);
  SelectObject(context, old);
  ReleaseDC(hwnd_, context);
  return metrics.tmHeight + Scaled(4);
}

void frmMain::LayOutTotals(int width, int height) {
  if (totals_figures_ == nullptr || totals_shown_ == Totals::kHidden) return;
  const int bar = TotalsHeight();
  const int margin = Scaled(4);
  SIZE reason{};
  if (!shown_reason_.empty()) {
    const HDC context = GetDC(totals_reason_);
    const HGDIOBJ old = SelectObject(context, font_);
    GetTextExtentPoint32W(context, reinterpret_cast<LPCWSTR>(shown_reason_.c_str()),
                          static_cast<int>(shown_reason_.size()), &reason);
    SelectObject(context, old);
    ReleaseDC(totals_reason_, context);
  }
  const int reason_width =
      std::min(static_cast<int>(reason.cx) + margin, std::max(width - 2 * margin, 0));
  const int top = height - bar + Scaled(2);
  MoveWindow(totals_reason_, width - margin - reason_width, top, reason_width, bar - Scaled(2),
             TRUE);
  MoveWindow(totals_figures_, margin, top, std::max(width - 2 * margin - reason_width - margin, 0),
             bar - Scaled(2), TRUE);
}

void frmMain::ShowContextMenu(LPARAM at) {
  POINT point{GET_X_LPARAM(at), GET_Y_LPARAM(at)};
  if (at == -1) {
    // From the keyboard: at the caret.
    GetCaretPos(&point);
    ClientToScreen(txtMain, &point);
  }
  DWORD start = 0;
  DWORD end = 0;
  SendMessageW(txtMain, EM_GETSEL, reinterpret_cast<WPARAM>(&start),
               reinterpret_cast<LPARAM>(&end));
  const auto state = [](bool enabled) { return enabled ? MF_ENABLED : MF_GRAYED; };
  const HMENU menu = CreatePopupMenu();
  AppendMenuW(menu, MF_STRING | state(SendMessageW(txtMain, EM_CANUNDO, 0, 0) != 0), kMenuUndo,
              L"&Undo");
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(menu, MF_STRING | state(start != end), kMenuCut, L"Cu&t");
  AppendMenuW(menu, MF_STRING | state(start != end), kMenuCopy, L"&Copy");
  AppendMenuW(menu, MF_STRING | state(IsClipboardFormatAvailable(CF_UNICODETEXT) != 0), kMenuPaste,
              L"&Paste");
  AppendMenuW(menu, MF_STRING | state(start != end), kMenuDelete, L"&Delete");
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(menu, MF_STRING | state(GetWindowTextLengthW(txtMain) > 0), kMenuSelectAll,
              L"Select &All");
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(
      menu,
      MF_STRING | state(loaded_) | (totals_shown_ == Totals::kShown ? MF_CHECKED : MF_UNCHECKED),
      kMenuTotals, L"T&otals line");
  const auto command = static_cast<UINT_PTR>(
      TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, point.x, point.y, 0, txtMain, nullptr));
  DestroyMenu(menu);
  switch (command) {
    case kMenuUndo:
      SendMessageW(txtMain, WM_UNDO, 0, 0);
      break;
    case kMenuCut:
      SendMessageW(txtMain, WM_CUT, 0, 0);
      break;
    case kMenuCopy:
      SendMessageW(txtMain, WM_COPY, 0, 0);
      break;
    case kMenuPaste:
      SendMessageW(txtMain, WM_PASTE, 0, 0);
      break;
    case kMenuDelete:
      SendMessageW(txtMain, WM_CLEAR, 0, 0);
      break;
    case kMenuSelectAll:
      SendMessageW(txtMain, EM_SETSEL, 0, -1);
      break;
    case kMenuTotals:
      SetTotals(totals_shown_ == Totals::kShown ? Totals::kHidden : Totals::kShown);
      break;
  }
}

void frmMain::OpenFind() {
  if (closed_ || !loaded_) return;
  if (find_dialog_ != nullptr) {
    SetFocus(find_dialog_);
    return;
  }
  // A selection within one line is what to find.
  DWORD start = 0;
  DWORD end = 0;
  SendMessageW(txtMain, EM_GETSEL, reinterpret_cast<WPARAM>(&start),
               reinterpret_cast<LPARAM>(&end));
  if (start != end && end - start < find_text_.size() &&
      SendMessageW(txtMain, EM_LINEFROMCHAR, start, 0) ==
          SendMessageW(txtMain, EM_LINEFROMCHAR, end, 0)) {
    const std::u16string text = Text();
    const std::u16string_view selected = std::u16string_view(text).substr(start, end - start);
    std::copy(selected.begin(), selected.end(), find_text_.begin());
    find_text_[selected.size()] = L'\0';
  }
  if (find_.lStructSize == 0) {
    // Down, and match case off, at first; then as the user last left them.
    find_.lStructSize = sizeof find_;
    find_.Flags = FR_DOWN | FR_HIDEWHOLEWORD;
  }
  find_.hwndOwner = hwnd_;
  find_.hInstance = instance_;
  find_.lpstrFindWhat = find_text_.data();
  find_.wFindWhatLen = static_cast<WORD>(find_text_.size());
  find_.Flags &= ~static_cast<DWORD>(FR_FINDNEXT | FR_DIALOGTERM);
  find_dialog_ = FindTextW(&find_);
}

void frmMain::OnFind(const FINDREPLACEW& find) {
  if ((find.Flags & FR_DIALOGTERM) != 0) {
    find_dialog_ = nullptr;
    return;
  }
  if ((find.Flags & FR_FINDNEXT) == 0 || closed_ || !loaded_) return;
  const std::u16string needle(AsUtf16(find.lpstrFindWhat));
  if (needle.empty()) return;
  const bool match_case = (find.Flags & FR_MATCHCASE) != 0;
  const std::u16string text = Text();
  const std::u16string pattern = match_case ? needle : Folded(needle);
  const std::u16string folded = match_case ? std::u16string() : Folded(text);
  const std::u16string_view searched = match_case ? text : folded;
  DWORD start = 0;
  DWORD end = 0;
  SendMessageW(txtMain, EM_GETSEL, reinterpret_cast<WPARAM>(&start),
               reinterpret_cast<LPARAM>(&end));
  size_t at = std::u16string_view::npos;
  // Round the end to the other side.
  if ((find.Flags & FR_DOWN) != 0) {
    at = searched.find(pattern, end);
    if (at == std::u16string_view::npos) at = searched.find(pattern);
  } else {
    if (start > 0) at = searched.rfind(pattern, start - 1);
    if (at == std::u16string_view::npos) at = searched.rfind(pattern);
  }
  if (at == std::u16string_view::npos) {
    MessageBeep(MB_OK);
  } else {
    SendMessageW(txtMain, EM_SETSEL, at, at + needle.size());
    SendMessageW(txtMain, EM_SCROLLCARET, 0, 0);
  }
  // The dialog's title says how many lines hold the text and what their entries add up to.
  const std::u16string summary = DescribeFound(
      text, needle,
      [&](std::u16string_view line) {
        return (match_case ? line.find(pattern) : Folded(line).find(pattern)) !=
               std::u16string_view::npos;
      },
      separator_);
  SetWindowTextW(find_dialog_, reinterpret_cast<LPCWSTR>(summary.c_str()));
}

void frmMain::AskLineToGoTo() {
  if (closed_ || !loaded_ || go_to_dialog_ != nullptr) return;
  Busy busy(this, Phase::kWorking);
  const INT_PTR line = DialogBoxParamW(instance_, MAKEINTRESOURCEW(TALLIVAN_GO_TO_DIALOG), hwnd_,
                                       GoToProc, reinterpret_cast<LPARAM>(this));
  if (line > 0 && !closed_) GoToLine(line - 1);
}

INT_PTR CALLBACK frmMain::GoToProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* self = reinterpret_cast<frmMain*>(GetWindowLongPtrW(dialog, DWLP_USER));
  switch (message) {
    case WM_INITDIALOG: {
      self = reinterpret_cast<frmMain*>(lparam);
      SetWindowLongPtrW(dialog, DWLP_USER, lparam);
      self->go_to_dialog_ = dialog;
      // The caret's line to begin with.
      DWORD start = 0;
      SendMessageW(self->txtMain, EM_GETSEL, reinterpret_cast<WPARAM>(&start), 0);
      const int64_t line = BookLineAt(self->Text(), start);
      SetDlgItemInt(dialog, TALLIVAN_GO_TO_LINE, static_cast<UINT>(line + 1), FALSE);
      SendDlgItemMessageW(dialog, TALLIVAN_GO_TO_LINE, EM_SETSEL, 0, -1);
      return TRUE;
    }
    case WM_COMMAND:
      if (LOWORD(wparam) == IDOK) {
        BOOL read = FALSE;
        const UINT line = GetDlgItemInt(dialog, TALLIVAN_GO_TO_LINE, &read, FALSE);
        if (!read || line == 0) {
          MessageBeep(MB_OK);
          return TRUE;
        }
        // A number past the end goes to the last line.
        const std::u16string text = self->Text();
        EndDialog(dialog, std::min<INT_PTR>(line, BookLineAt(text, text.size()) + 1));
        return TRUE;
      }
      if (LOWORD(wparam) == IDCANCEL) {
        EndDialog(dialog, 0);
        return TRUE;
      }
      break;
    case WM_DESTROY:
      if (self != nullptr) self->go_to_dialog_ = nullptr;
      break;
  }
  return FALSE;
}

void frmMain::GoToLine(int64_t line) {
  SetCaret(static_cast<int64_t>(BookLineStart(Text(), line)));
  SetFocus(txtMain);
}

}  // namespace tallivan
