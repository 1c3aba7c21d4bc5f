#include "win32/box_messenger.h"

#include <commctrl.h>

#include <array>

#include "storage/wide_text.h"

namespace tallivan {
namespace {

constexpr int kKeepApartButton = 100;

int ButtonOf(Answer answer) {
  switch (answer) {
    case Answer::kYes:
      return IDYES;
    case Answer::kKeepApart:
      return kKeepApartButton;
    default:
      return IDNO;
  }
}

// Ends every dialog of this thread that `owner` owns, message boxes and task dialogs alike.
BOOL CALLBACK EndOwnedDialog(HWND window, LPARAM owner) {
  std::array<wchar_t, 8> name{};
  if (GetWindow(window, GW_OWNER) == reinterpret_cast<HWND>(owner) &&
      GetClassNameW(window, name.data(), static_cast<int>(name.size())) > 0 &&
      std::wstring_view(name.data()) == L"#32770") {
    EndDialog(window, IDCANCEL);
  }
  return TRUE;
}

}  // namespace

void BoxMessenger::Inform(const std::string& title, const std::string& body) {
  if (dismissed_) return;
  MessageBoxW(owner_, WideFromUtf8(body).c_str(), WideFromUtf8(title).c_str(), MB_OK);
}

Answer BoxMessenger::Ask(const Question& question) {
  if (dismissed_) return question.unanswered;
  const std::wstring title = WideFromUtf8(question.title);
  const std::wstring body = WideFromUtf8(question.body);
  // An ampersand marks the key that answers with this button (K).
  const std::wstring keep_apart_label = L"&" + WideFromUtf8(kKeepApartLabel);
  const TASKDIALOG_BUTTON keep_apart{kKeepApartButton, keep_apart_label.c_str()};
  TASKDIALOGCONFIG config{};
  config.cbSize = sizeof config;
  config.hwndParent = owner_;
  // Escape answers No, as closing the dialog does.
  config.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION | TDF_POSITION_RELATIVE_TO_WINDOW;
  config.dwCommonButtons = TDCBF_YES_BUTTON | TDCBF_NO_BUTTON;
  config.pszWindowTitle = title.c_str();
  config.pszContent = body.c_str();
  if (question.offers_keep_apart) {
    config.cButtons = 1;
    config.pButtons = &keep_apart;
  }
  config.nDefaultButton = ButtonOf(question.default_answer);
  int pressed = IDCANCEL;
  if (FAILED(TaskDialogIndirect(&config, &pressed, nullptr, nullptr))) {
    Log("a question could not be shown: " + question.title);
    return question.unanswered;
  }
  if (dismissed_) return question.unanswered;
  switch (pressed) {
    case IDYES:
      return Answer::kYes;
    case kKeepApartButton:
      return Answer::kKeepApart;
    default:
      return Answer::kNo;
  }
}

void BoxMessenger::Dismiss() {
  dismissed_ = true;
  EnumThreadWindows(GetCurrentThreadId(), EndOwnedDialog, reinterpret_cast<LPARAM>(owner_));
}

void BoxMessenger::Log(const std::string& line) {
  const std::string text = "tallivan: " + line + "\n";
  const std::wstring wide = WideFromUtf8(text);
  OutputDebugStringW(wide.c_str());
  const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  if (error == nullptr || error == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  DWORD mode = 0;
  if (GetConsoleMode(error, &mode)) {
    WriteConsoleW(error, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
  } else {
    WriteFile(error, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
}

}  // namespace tallivan
