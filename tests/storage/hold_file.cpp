// Holds a file open as another program does, for the storage tests on Windows:
//   hold_file PATH SHARE MILLISECONDS
// opens PATH for reading, letting others share it as SHARE (FILE_SHARE_* bits) says, writes
// "held" on standard output and lets go after MILLISECONDS, or once standard input ends for -1.
#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) return 2;
  const HANDLE file = CreateFileW(argv[1], GENERIC_READ, std::wcstoul(argv[2], nullptr, 10),
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  DWORD done = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "held\n", 5, &done, nullptr);
  if (const long milliseconds = std::wcstol(argv[3], nullptr, 10); milliseconds >= 0) {
    Sleep(static_cast<DWORD>(milliseconds));
  } else {
    char byte = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &done, nullptr) && done > 0) {
    }
  }
  CloseHandle(file);
  return 0;
}
