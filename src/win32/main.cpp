// <windows.h> comes before the headers that build on it.
// clang-format off
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
// clang-format on

#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "storage/book_location.h"
#include "storage/file_io.h"
#include "storage/wide_text.h"
#include "win32/frm_main.h"
#include "win32/one_window.h"
#include "window/options.h"

namespace {

std::vector<std::string> Arguments() {
  int count = 0;
  LPWSTR* words = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> args;
  for (int i = 1; i < count; ++i) args.push_back(tallivan::Utf8FromWide(words[i]));
  LocalFree(words);
  return args;
}

// Shows `text` where a program without a console can: on standard output or error when they lead
// somewhere (a pipe, a file, or Wine's terminal), else in a message box.
void Tell(const std::string& text, DWORD stream) {
  const HANDLE handle = GetStdHandle(stream);
  DWORD written = 0;
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE &&
      WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
    return;
  }
  MessageBoxW(nullptr, tallivan::WideFromUtf8(text).c_str(), L"Tallivan", MB_OK);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show_command) {
  const auto parsed = tallivan::ParseWindowArgs(Arguments(), tallivan::QtArguments::kRefuse);
  if (const std::optional<tallivan::Reply> reply =
          tallivan::ReplyTo(parsed, tallivan::HelpFor::kWindows)) {
    Tell(reply->text,
         reply->stream == tallivan::Reply::Stream::kErr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    return reply->exit_status;
  }
  const tallivan::WindowOptions& options = std::get<tallivan::WindowOptions>(parsed);
  std::filesystem::path book;
  if (options.book) {
    std::error_code error;
    book = std::filesystem::absolute(tallivan::Utf8Path(*options.book), error);
    if (error) book = tallivan::Utf8Path(*options.book);
  }
  if (book.empty()) book = tallivan::PrepareDefaultBook(tallivan::RunningExecutable()).path;
  // A window of this user's already open on the book comes to the front instead of a second one.
  tallivan::OneWindow one_window(book);
  if (one_window.raised_other()) return 0;
  const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  tallivan::frmMain window(instance, book);
  one_window.Serve(window.hwnd());
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
