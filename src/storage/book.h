#ifndef TALLIVAN_STORAGE_BOOK_H_
#define TALLIVAN_STORAGE_BOOK_H_

#include <QString>
#include <string_view>

#include "runtime/error.h"
#include "storage/book_file.h"

namespace tallivan {

// The book's file name.
inline constexpr char kBookFileName[] = "book";

// `folder` joined with "book" by the platform separator; nothing else is done to `folder`.
QString BookPathIn(const QString& folder);

// The book beside the running executable (needs a QCoreApplication).
QString BookPath();

// Reads the whole book as raw UTF-16LE code units, as LoadBookFile does.
Result<std::u16string> LoadBook(const QString& path);

// Replaces the book with `text` atomically, as SaveBookFile does.
Result<SaveReport> SaveBook(const QString& path, std::u16string_view text,
                            const SaveOptions& options = {});

}  // namespace tallivan

#endif  // TALLIVAN_STORAGE_BOOK_H_
