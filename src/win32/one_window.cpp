#include "win32/one_window.h"

#include <string>

#include "session/session_files.h"
#include "storage/wide_text.h"

namespace tallivan {

struct OneWindow::Shared {
  volatile LONG64 window;  // the window's handle; 0 until it is created
  volatile LONG process;   // its process, so that a handle used again by another is not taken
};

OneWindow::OneWindow(const std::filesystem::path& book) {
  const std::wstring name = L"Local\\Tallivan." + WideFromUtf8(WindowName(book));
  mapping_ = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(Shared),
                                name.c_str());
  if (mapping_ == nullptr) return;  // every start opens a window, as it always did
  const bool taken = GetLastError() == ERROR_ALREADY_EXISTS;
  shared_ =
      static_cast<Shared*>(MapViewOfFile(mapping_, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(Shared)));
  if (shared_ == nullptr) {
    Release();
    return;
  }
  if (!taken) return;  // the name is this start's
  // The first start may still be making its window.
  HWND window = nullptr;
  for (DWORD waited = 0; waited <= kAnswerMs; waited += 50) {
    window = reinterpret_cast<HWND>(InterlockedCompareExchange64(&shared_->window, 0, 0));
    if (window != nullptr) break;
    Sleep(50);
  }
  DWORD process = 0;
  if (window != nullptr && GetWindowThreadProcessId(window, &process) != 0 &&
      process == static_cast<DWORD>(shared_->process)) {
    AllowSetForegroundWindow(process);
    DWORD_PTR answer = 0;
    raised_other_ = SendMessageTimeoutW(window, RaiseMessage(), 0, 0, SMTO_ABORTIFHUNG | SMTO_BLOCK,
                                        kAnswerMs, &answer) != 0 &&
                    static_cast<LRESULT>(answer) == kRaisedAnswer;
  }
  // Either way the name stays the first window's.
  Release();
}

OneWindow::~OneWindow() { Release(); }

void OneWindow::Serve(HWND window) {
  if (shared_ == nullptr || window == nullptr) return;
  InterlockedExchange(&shared_->process, static_cast<LONG>(GetCurrentProcessId()));
  InterlockedExchange64(&shared_->window, reinterpret_cast<LONG64>(window));
}

void OneWindow::Release() {
  if (shared_ != nullptr) UnmapViewOfFile(shared_);
  if (mapping_ != nullptr) CloseHandle(mapping_);
  shared_ = nullptr;
  mapping_ = nullptr;
}

UINT RaiseMessage() {
  static const UINT message = RegisterWindowMessageW(L"Tallivan.Raise");
  return message;
}

void BringToFront(HWND window) {
  if (IsIconic(window)) ShowWindow(window, SW_RESTORE);
  // A message or question open over the window comes to the front instead.
  const HWND popup = GetLastActivePopup(window);
  SetForegroundWindow(popup != nullptr ? popup : window);
}

}  // namespace tallivan
