#ifndef TALLIVAN_STORAGE_BOOK_H_
#define TALLIVAN_STORAGE_BOOK_H_

#include <QString>
#include <string_view>

#include "runtime/error.h"
#include "storage/book_file.h"
#include "storage/book_location.h"

namespace tallivan {

// `folder` joined with "book" by the platform separator; nothing else is done to `folder`.
QString BookPathIn(const QString& folder);

// Where the running program keeps its book, as DefaultBookPath decides; for the user's data
// folder, that folder is made when missing. Beside the executable when no home folder is known
// (needs a QCoreApplication).
QString BookPath();

// Reads the whole book as raw UTF-16LE code units, as LoadBookFile does.
Result<std::u16string> LoadBook(const QString& path);

// Replaces the book with `text` atomically, as SaveBookFile does.
Result<SaveReport> SaveBook(const QString& path, std::u16string_view text,
                            const SaveOptions& options = {});

}  // namespace tallivan

#endif  // TALLIVAN_STORAGE_BOOK_H_
