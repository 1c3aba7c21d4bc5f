#include "win32/frm_main.h"

#include <commctrl.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <optional>
#include <utility>
#include <variant>

#include "ledger/ledger.h"
#include "storage/book_location.h"
#include "storage/file_io.h"
#include "storage/wide_text.h"
#include "win32/one_window.h"
#include "win32/placement.h"
#include "win32/temporary_folder.h"
#include "window/changed_span.h"
#include "window/function_keys.h"
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
constexpr UINT_PTR kRecoveryTimer = 1;
// Posted at the first activation: the book loads once activation is over, so that its messages
// do not come in the middle of it.
constexpr UINT kLoadMessage = WM_APP + 1;
// Posted when the last handler ends after the session closed, or after a close was put off.
constexpr UINT kCloseLaterMessage = WM_APP + 2;
// Posted by the thread that writes recovery copies when one could not be written where it belongs.
constexpr UINT kRecoveryTroubleMessage = WM_APP + 3;

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

frmMain::frmMain(HINSTANCE instance, fs::path book) : instance_(instance) {
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
  if (IsKeyMessage(message) &&
      reinterpret_cast<frmMain*>(self)->OnTextBoxKey(message, wparam, lparam)) {
    return 0;
  }
  if (message == WM_CHAR && wparam == 0x13) return 0;  // Ctrl+S, which saved
  if (message == WM_NCDESTROY) RemoveWindowSubclass(box, TextBoxProc, id);
  return DefSubclassProc(box, message, wparam, lparam);
}

LRESULT frmMain::OnMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  // A later start on the book asks this window to come to the front (see OneWindow).
  if (message == RaiseMessage()) {
    BringToFront(hwnd_);
    return kRaisedAnswer;
  }
  switch (message) {
    case WM_CREATE: {
      txtMain = CreateWindowExW(
          WS_EX_CLIENTEDGE, L"EDIT", nullptr,
          WS_CHILD | WS_HSCROLL | WS_VSCROLL | ES_MULTILINE | ES_AUTOHSCROLL | ES_AUTOVSCROLL, 0, 0,
          Scaled(kBoxWidth), Scaled(kBoxHeight), hwnd_, reinterpret_cast<HMENU>(kTxtMainId),
          instance_, nullptr);
      if (txtMain == nullptr) return -1;
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
  if (key == 'S' && !alt && GetKeyState(VK_CONTROL) < 0) {
    if (down) SaveNow();
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
  if (txtMain != nullptr) MoveWindow(txtMain, 0, 0, width, height, TRUE);
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
  SendMessageW(txtMain, WM_SETFONT, reinterpret_cast<WPARAM>(font_), TRUE);
  if (old != nullptr) DeleteObject(old);
}

void frmMain::OnDpiChanged(int dpi, const RECT& frame) {
  dpi_ = dpi;
  UpdateFont();
  // The frame Windows suggests keeps the inner area's size in the new resolution's pixels.
  SetWindowPos(hwnd_, nullptr, frame.left, frame.top, frame.right - frame.left,
               frame.bottom - frame.top, SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace tallivan
