// Holds a file open as another program does, for the storage tests on Windows:
//   hold_file PATH SHARE MILLISECONDS EVENT
// opens PATH for reading, letting others share it as SHARE (FILE_SHARE_* bits) says, sets the
// event named EVENT, and lets go after MILLISECONDS, or never for -1.
#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  if (argc != 5) return 2;
  const HANDLE file = CreateFileW(argv[1], GENERIC_READ, std::wcstoul(argv[2], nullptr, 10),
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  SetEvent(OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[4]));
  const long milliseconds = std::wcstol(argv[3], nullptr, 10);
  Sleep(milliseconds < 0 ? INFINITE : static_cast<DWORD>(milliseconds));
  CloseHandle(file);
  return 0;
}
