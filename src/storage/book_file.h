#ifndef TALLIVAN_STORAGE_BOOK_FILE_H_
#define TALLIVAN_STORAGE_BOOK_FILE_H_

#include <filesystem>
#include <string>
#include <string_view>

#include "runtime/error.h"
#include "storage/atomic_writer.h"

namespace tallivan {

// The error for a book that cannot be read: 53 when it does not exist, 75 otherwise; the
// description names `name` and the reason.
Error ReadError(const std::string& name, int error_number);

// Reads the whole book at `path` (in the file system's own encoding) as raw UTF-16LE code units.
// Error 53 when it does not exist, 54 when its length is odd, 75 when it cannot be read; the
// description names the path and the reason.
Result<std::u16string> LoadBookFile(const std::filesystem::path& path);

// Reads a book from the open file `fd` to its end, as LoadBookFile does; `name` stands for the
// file in descriptions. `fd` stays open.
Result<std::u16string> ReadBook(int fd, const std::string& name);

// Replaces the book at `path` with `text` as raw UTF-16LE, atomically: either the whole new text
// is on disk or the old book is left as it was. A symbolic link is written through to its
// target. Error 75, whose description names the path and the reason.
Result<SaveReport> SaveBookFile(const std::filesystem::path& path, std::u16string_view text,
                                const SaveOptions& options = {});

}  // namespace tallivan

#endif  // TALLIVAN_STORAGE_BOOK_FILE_H_
