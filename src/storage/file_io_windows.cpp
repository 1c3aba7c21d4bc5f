#include <io.h>

#include <algorithm>

#include "storage/file_io.h"
#include "storage/file_system_windows.h"
#include "storage/wide_text.h"

namespace tallivan {
namespace {

constexpr size_t kMaxChunk = size_t{1} << 30;

HANDLE HandleOf(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

}  // namespace

namespace windows {

DWORD WriteToHandle(HANDLE file, std::span<const char> bytes) {
  while (!bytes.empty()) {
    DWORD written = 0;
    if (!WriteFile(file, bytes.data(), static_cast<DWORD>(std::min(bytes.size(), kMaxChunk)),
                   &written, nullptr)) {
      return GetLastError();
    }
    if (written == 0) return ERROR_DISK_FULL;
    bytes = bytes.subspan(written);
  }
  return 0;
}

}  // namespace windows

std::string SystemErrorText(int code) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
      reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring_view message(text, length);
  while (!message.empty() && (message.back() == L'\r' || message.back() == L'\n' ||
                              message.back() == L' ' || message.back() == L'.')) {
    message.remove_suffix(1);
  }
  std::string utf8 = Utf8FromWide(message);
  if (text != nullptr) LocalFree(text);
  return utf8.empty() ? "system error " + std::to_string(static_cast<DWORD>(code)) : utf8;
}

bool IsNotFound(int code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; }

int WriteFully(int fd, std::span<const char> bytes) {
  const HANDLE file = HandleOf(fd);
  if (file == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
  return static_cast<int>(windows::WriteToHandle(file, bytes));
}

int ReadSome(int fd, std::span<char> bytes, size_t& got) {
  got = 0;
  const HANDLE file = HandleOf(fd);
  if (file == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
  DWORD read_now = 0;
  if (!ReadFile(file, bytes.data(), static_cast<DWORD>(std::min(bytes.size(), kMaxChunk)),
                &read_now, nullptr)) {
    const DWORD code = GetLastError();
    // A pipe whose writer has gone has ended.
    return code == ERROR_BROKEN_PIPE || code == ERROR_HANDLE_EOF ? 0 : static_cast<int>(code);
  }
  got = read_now;
  return 0;
}

std::optional<uint64_t> BytesLeft(int fd) {
  const HANDLE file = HandleOf(fd);
  windows::FileInfo info;
  if (file == INVALID_HANDLE_VALUE || GetFileType(file) != FILE_TYPE_DISK ||
      windows::InfoOf(file, info) != 0 || (info.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return std::nullopt;
  }
  LARGE_INTEGER zero{}, at{};
  if (!SetFilePointerEx(file, zero, &at, FILE_CURRENT)) return std::nullopt;
  const uint64_t position = static_cast<uint64_t>(std::max<LONGLONG>(at.QuadPart, 0));
  return info.size > position ? info.size - position : 0;
}

}  // namespace tallivan
