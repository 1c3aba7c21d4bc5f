#ifndef TALLIVAN_STORAGE_BOOK_H_
#define TALLIVAN_STORAGE_BOOK_H_

#include <QString>
#include <string>
#include <string_view>

#include "runtime/error.h"

namespace tallivan {

// The book's file name.
inline constexpr char kBookFileName[] = "book";

// `folder` joined with "book" by the platform separator; nothing else is done to `folder`.
QString BookPathIn(const QString& folder);

// The book beside the running executable (needs a QCoreApplication).
QString BookPath();

// Reads the whole book as raw UTF-16LE code units. Error 53 when it does not exist, 54 when its
// length is odd, another number when it cannot be read; the description names the path.
Result<std::u16string> LoadBook(const QString& path);

// Replaces the book with `text` as raw UTF-16LE, atomically: either the whole new text is on disk
// or the old book is left as it was. The description of a failure names the path and the reason.
Status SaveBook(const QString& path, std::u16string_view text);

}  // namespace tallivan

#endif  // TALLIVAN_STORAGE_BOOK_H_
