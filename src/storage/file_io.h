// Reading and writing open files, and the system's error numbers, the same way on every system.
#ifndef TALLIVAN_STORAGE_FILE_IO_H_
#define TALLIVAN_STORAGE_FILE_IO_H_

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tallivan {

// Error numbers below are the system's own: errno values on POSIX systems, GetLastError() values
// on Windows.

// The system's text for the error number `code`, in UTF-8, without a closing full stop.
std::string SystemErrorText(int code);

// Whether `code` says that a file, or a folder on its path, does not exist.
bool IsNotFound(int code);

// Writes all of `bytes` to `fd` (a file descriptor; on Windows, one of the C runtime), going on
// after short writes and interrupted calls, with no translation of line ends; 0 or the error
// number that stopped it (the disk-full one when nothing more goes in).
int WriteFully(int fd, std::span<const char> bytes);

// Reads what `fd` has to give up to `bytes.size()` bytes, with no translation of line ends;
// `got` is the count read, 0 at the end. 0 or the error number that stopped it.
int ReadSome(int fd, std::span<char> bytes, size_t& got);

// The bytes left to read in `fd` when it is a regular file; nullopt for anything else.
std::optional<uint64_t> BytesLeft(int fd);

// `text` as UTF-16LE bytes, whatever the machine's own byte order.
inline std::vector<char> LittleEndianBytes(std::u16string_view text) {
  std::vector<char> bytes(text.size() * 2);
  for (size_t i = 0; i < text.size(); ++i) {
    bytes[2 * i] = static_cast<char>(text[i] & 0xFF);
    bytes[2 * i + 1] = static_cast<char>(text[i] >> 8);
  }
  return bytes;
}

// The path named by `text` (UTF-8), whatever encoding the system gives paths.
inline std::filesystem::path Utf8Path(std::string_view text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

// `path` in UTF-8, whatever encoding the system gives paths.
inline std::string PathUtf8(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace tallivan

#endif  // TALLIVAN_STORAGE_FILE_IO_H_
