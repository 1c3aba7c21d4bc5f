// Tells the Tallivan window that it moved to a monitor of another resolution, as Windows does,
// for the window's test under Wine (which never does):
//   dpi_change DPI
// sends WM_DPICHANGED with the frame Windows would suggest (the inner area scaled from 96 dots
// per inch to DPI), and exits 0 when the box's lines have grown in proportion.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

namespace {

// The height of the first line of the edit control `box`, in pixels.
int LineHeight(HWND box) {
  const auto second = static_cast<WPARAM>(SendMessageW(box, EM_LINEINDEX, 1, 0));
  return HIWORD(SendMessageW(box, EM_POSFROMCHAR, second, 0)) -
         HIWORD(SendMessageW(box, EM_POSFROMCHAR, 0, 0));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const HWND window = FindWindowW(L"Tallivan.frmMain", nullptr);
  const HWND box = window != nullptr ? FindWindowExW(window, nullptr, L"Edit", nullptr) : nullptr;
  if (argc != 2 || box == nullptr) return 2;
  const int dpi = static_cast<int>(std::wcstol(argv[1], nullptr, 10));
  RECT inner{}, frame{};
  GetClientRect(window, &inner);
  GetWindowRect(window, &frame);
  RECT suggested{0, 0, MulDiv(inner.right, dpi, 96), MulDiv(inner.bottom, dpi, 96)};
  AdjustWindowRectEx(&suggested, static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE)), FALSE, 0);
  OffsetRect(&suggested, frame.left - suggested.left, frame.top - suggested.top);
  // The frame goes with the message as a pointer into the window's own process.
  DWORD process_id = 0;
  GetWindowThreadProcessId(window, &process_id);
  const HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, process_id);
  void* there = VirtualAllocEx(process, nullptr, sizeof suggested, MEM_COMMIT, PAGE_READWRITE);
  if (there == nullptr ||
      !WriteProcessMemory(process, there, &suggested, sizeof suggested, nullptr)) {
    return 2;
  }
  const int before = LineHeight(box);
  SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(there));
  const int after = LineHeight(box);
  VirtualFreeEx(process, there, 0, MEM_RELEASE);
  CloseHandle(process);
  std::printf("line height %d -> %d\n", before, after);
  return std::abs(after - MulDiv(before, dpi, 96)) <= 1 ? 0 : 1;
}
