// tallivan-calc on Windows: arguments arrive as UTF-16 and go on as UTF-8; the standard streams
// carry bytes as they are, without newline translation.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <string>
#include <vector>

#include "cli/cli.h"

namespace {

std::string Utf8(const wchar_t* text) {
  const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(length > 0 ? length : 1), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), length, nullptr, nullptr);
  utf8.resize(utf8.size() - 1);
  return utf8;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(Utf8(argv[i]));
  for (int fd : {0, 1, 2}) _setmode(fd, _O_BINARY);
  // Messages are UTF-8; a console shows them as such while the program runs.
  const UINT console_code_page = GetConsoleOutputCP();
  if (console_code_page != 0) SetConsoleOutputCP(CP_UTF8);
  const int status =
      tallivan::RunCalc(args, tallivan::CalcStreams{}, tallivan::LocaleDecimalSeparator());
  if (console_code_page != 0) SetConsoleOutputCP(console_code_page);
  return status;
}
