// tallivan-calc on Windows: arguments arrive as UTF-16 and go on as UTF-8; the standard streams
// carry bytes as they are, without newline translation.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <string>
#include <vector>

#include "cli/cli.h"
#include "storage/wide_text.h"

int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(tallivan::Utf8FromWide(argv[i]));
  for (int fd : {0, 1, 2}) _setmode(fd, _O_BINARY);
  // Messages are UTF-8; a console shows them as such while the program runs.
  const UINT console_code_page = GetConsoleOutputCP();
  if (console_code_page != 0) SetConsoleOutputCP(CP_UTF8);
  const int status =
      tallivan::RunCalc(args, tallivan::CalcStreams{}, tallivan::LocaleDecimalSeparator());
  if (console_code_page != 0) SetConsoleOutputCP(console_code_page);
  return status;
}
