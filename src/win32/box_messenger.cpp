#include "win32/box_messenger.h"

#include <commctrl.h>

#include <array>
#include <string>
#include <vector>

#include "storage/wide_text.h"

namespace tallivan {
namespace {

// The first button's id; the others follow in order.
constexpr int kFirstButton = 100;

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

Delivery BoxMessenger::Inform(const std::string& title, const std::string& body) {
  if (dismissed_) return Delivery::kNotSeen;
  MessageBoxW(owner_, WideFromUtf8(body).c_str(), WideFromUtf8(title).c_str(), MB_OK);
  return dismissed_ ? Delivery::kNotSeen : Delivery::kSeen;
}

Answer BoxMessenger::Ask(const Question& question) {
  if (dismissed_) return question.safe;
  const std::wstring title = WideFromUtf8(question.title);
  const std::wstring body = WideFromUtf8(question.body);
  std::vector<std::wstring> labels;
  for (const Choice& choice : question.choices) labels.push_back(WideFromUtf8(choice.label));
  std::vector<TASKDIALOG_BUTTON> buttons;
  int safe_button = IDCANCEL;
  for (size_t i = 0; i < question.choices.size(); ++i) {
    const int id = kFirstButton + static_cast<int>(i);
    buttons.push_back({id, labels[i].c_str()});
    if (question.choices[i].answer == question.safe) safe_button = id;
  }
  TASKDIALOGCONFIG config{};
  config.cbSize = sizeof config;
  config.hwndParent = owner_;
  // Escape gives the safe answer, as closing the dialog does.
  config.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION | TDF_POSITION_RELATIVE_TO_WINDOW;
  config.pszWindowTitle = title.c_str();
  config.pszContent = body.c_str();
  config.cButtons = static_cast<UINT>(buttons.size());
  config.pButtons = buttons.data();
  config.nDefaultButton = safe_button;
  int pressed = IDCANCEL;
  if (FAILED(TaskDialogIndirect(&config, &pressed, nullptr, nullptr))) {
    Log("a question could not be shown: " + question.title);
    return question.safe;
  }
  if (dismissed_) return question.safe;
  const int index = pressed - kFirstButton;
  if (index < 0 || index >= static_cast<int>(question.choices.size())) return question.safe;
  return question.choices[static_cast<size_t>(index)].answer;
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
