// Looks into the Tallivan window from another process, for the window's test under Wine:
//   window_probe dpi DPI      sends WM_DPICHANGED as Windows does when the window moves to a
//                             monitor of DPI dots per inch (Wine never does), with the frame
//                             Windows would suggest; exits 0 when the box's lines grew in
//                             proportion
//   window_probe totals       prints the totals line ("FIGURES @ REASON"), or "hidden"
//   window_probe agree        exits 0 when the totals line says what DescribeTotals says for the
//                             box's text, caret and selection, else prints both and exits 1
//   window_probe caret        prints the selection's start (and end, when there is one) as
//                             LINE:COLUMN of the box's lines, counted from 1
//   window_probe reason-point prints the middle of the totals line's reason on the screen, "X Y"
// Positions go in 16 bits between processes: the test's books are small.
#include <windows.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "ledger/line_totals.h"
#include "window/totals_text.h"

namespace {

HWND window = nullptr;
HWND box = nullptr;

// The height of the first line of the edit control `box`, in pixels.
int LineHeight() {
  const auto second = static_cast<WPARAM>(SendMessageW(box, EM_LINEINDEX, 1, 0));
  return HIWORD(SendMessageW(box, EM_POSFROMCHAR, second, 0)) -
         HIWORD(SendMessageW(box, EM_POSFROMCHAR, 0, 0));
}

int ChangeDpi(int dpi) {
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
  const int before = LineHeight();
  SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(there));
  const int after = LineHeight();
  VirtualFreeEx(process, there, 0, MEM_RELEASE);
  CloseHandle(process);
  std::printf("line height %d -> %d\n", before, after);
  return std::abs(after - MulDiv(before, dpi, 96)) <= 1 ? 0 : 1;
}

// GetWindowTextW would not ask a control of another process for its text.
std::u16string TextOf(HWND control) {
  std::u16string text(static_cast<size_t>(SendMessageW(control, WM_GETTEXTLENGTH, 0, 0)) + 1,
                      u'\0');
  text.resize(static_cast<size_t>(
      SendMessageW(control, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()))));
  return text;
}

void Print(const std::u16string& text) {
  const auto* wide = reinterpret_cast<const wchar_t*>(text.c_str());
  std::string bytes(static_cast<size_t>(text.size()) * 3 + 1, '\0');
  bytes.resize(static_cast<size_t>(
      WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(text.size()), bytes.data(),
                          static_cast<int>(bytes.size()), nullptr, nullptr)));
  bytes += '\n';
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()),
            &written, nullptr);
}

// The totals line's figures and reason as the test writes them: "FIGURES @ REASON", either
// alone when the other is empty.
std::u16string Joined(const std::u16string& figures, const std::u16string& reason) {
  if (figures.empty() || reason.empty()) return figures + reason;
  return figures + u" @ " + reason;
}

// What the totals line shows; nullopt while it is hidden.
std::optional<std::u16string> Totals() {
  const HWND figures = GetDlgItem(window, 2);
  const HWND reason = GetDlgItem(window, 3);
  if (figures == nullptr || reason == nullptr || !IsWindowVisible(figures)) return std::nullopt;
  return Joined(TextOf(figures), TextOf(reason));
}

std::u16string DecimalSeparator() {
  std::array<wchar_t, 8> buffer{};
  const int length = GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SDECIMAL, buffer.data(),
                                     static_cast<int>(buffer.size()));
  if (length <= 1) return u".";
  return std::u16string(reinterpret_cast<const char16_t*>(buffer.data()),
                        static_cast<size_t>(length - 1));
}

std::pair<int64_t, int64_t> Selection() {
  const auto packed = static_cast<DWORD>(SendMessageW(box, EM_GETSEL, 0, 0));
  return {LOWORD(packed), HIWORD(packed)};
}

int64_t LineOf(int64_t position) {
  return SendMessageW(box, EM_LINEFROMCHAR, static_cast<WPARAM>(position), 0);
}

// The line of the book `text` (lines end at CR LF) that holds the code unit at `offset`; the box
// breaks lines at lone LFs too.
int64_t BookLineAt(std::u16string_view text, int64_t offset) {
  int64_t line = 0;
  for (int64_t at = 0; at + 1 < offset && at + 1 < std::ssize(text); ++at) {
    if (text[at] == u'\r' && text[at + 1] == u'\n') ++line;
  }
  return line;
}

int Agree() {
  const std::optional<std::u16string> shown = Totals();
  if (!shown) return 1;
  const std::u16string separator = DecimalSeparator();
  const std::u16string text = TextOf(box);
  tallivan::LineTotals fresh(text, separator);
  if (fresh.line_count() == 0) fresh.ReplaceLines(0, 0, u"");
  const auto [start, end] = Selection();
  std::optional<std::pair<int64_t, int64_t>> selection;
  if (start != end) {
    const bool at_start = end >= 2 && text.compare(static_cast<size_t>(end - 2), 2, u"\r\n") == 0;
    selection.emplace(BookLineAt(text, start), BookLineAt(text, end) - (at_start ? 1 : 0));
  }
  const int64_t caret = SendMessageW(box, EM_LINEINDEX, static_cast<WPARAM>(LineOf(-1)), 0);
  const tallivan::TotalsText expected =
      tallivan::DescribeTotals(fresh, BookLineAt(text, caret), selection, separator);
  const std::u16string described = Joined(expected.figures, expected.reason);
  if (described == *shown) return 0;
  Print(u"shown:    " + *shown);
  Print(u"expected: " + described);
  return 1;
}

std::u16string Place(int64_t position) {
  const int64_t line = LineOf(position);
  const int64_t column = position - SendMessageW(box, EM_LINEINDEX, static_cast<WPARAM>(line), 0);
  const std::string place = std::to_string(line + 1) + ":" + std::to_string(column + 1);
  return std::u16string(place.begin(), place.end());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  window = FindWindowW(L"Tallivan.frmMain", nullptr);
  box = window != nullptr ? FindWindowExW(window, nullptr, L"Edit", nullptr) : nullptr;
  if (argc < 2 || box == nullptr) return 2;
  const std::wstring command = argv[1];
  if (command == L"dpi" && argc == 3) {
    return ChangeDpi(static_cast<int>(std::wcstol(argv[2], nullptr, 10)));
  }
  if (command == L"totals") {
    Print(Totals().value_or(u"hidden"));
    return 0;
  }
  if (command == L"agree") return Agree();
  if (command == L"caret") {
    const auto [start, end] = Selection();
    Print(start == end ? Place(start) : Place(start) + u"-" + Place(end));
    return 0;
  }
  if (command == L"reason-point") {
    RECT reason{};
    GetWindowRect(GetDlgItem(window, 3), &reason);
    std::printf("%ld %ld\n", (reason.left + reason.right) / 2, (reason.top + reason.bottom) / 2);
    return 0;
  }
  return 2;
}
