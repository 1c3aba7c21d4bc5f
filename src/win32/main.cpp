// <windows.h> comes before the headers that build on it.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include "win32/frm_main.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show_command) {
  const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  tallivan::frmMain window(instance, {});
  if (window.hwnd() == nullptr) {
    MessageBoxW(nullptr, L"The window could not be created.\r\n无法创建窗口。", L"Error - 发生错误",
                MB_OK);
    return 1;
  }
  window.Show(show_command);
  MSG message{};
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return static_cast<int>(message.wParam);
}
