#include "storage/book_file.h"

#include <bit>
#include <cerrno>
#include <span>
#include <system_error>

#include "storage/atomic_writer.h"

namespace tallivan {

Error ReadError(const std::string& name, int error_number) {
  return Error{error_number == ENOENT ? kErrFileNotFound : kErrFileAccess,
               "Cannot read \"" + name + "\": " + std::system_category().message(error_number)};
}

Error ChangedError(const std::string& name) {
  return Error{kErrFileAccess,
               "Cannot read \"" + name + "\": another program changed it while it was being read"};
}

Result<SaveReport> SaveBookFile(const std::filesystem::path& path, std::u16string_view text,
                                const SaveOptions& options) {
  Result<AtomicWriter> writer = AtomicWriter::Open(path, options);
  if (!writer) return writer.error();
  std::u16string swapped;
  if constexpr (std::endian::native == std::endian::big) {
    swapped = text;
    for (char16_t& unit : swapped) unit = static_cast<char16_t>((unit >> 8) | (unit << 8));
    text = swapped;
  }
  Status written = writer.value().Write(
      {reinterpret_cast<const char*>(text.data()), text.size() * sizeof(char16_t)});
  if (!written) return written.error();
  return writer.value().Commit();
}

}  // namespace tallivan
