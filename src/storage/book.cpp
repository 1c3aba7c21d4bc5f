#include "storage/book.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <filesystem>

namespace tallivan {
namespace {

std::filesystem::path NativePath(const QString& path) {
  return std::filesystem::path(QFile::encodeName(path).toStdString());
}

}  // namespace

QString BookPathIn(const QString& folder) {
  return folder + QDir::separator() + QLatin1String(kBookFileName);
}

QString BookPath() {
  const Result<std::filesystem::path> book =
      DefaultBookPath(NativePath(QCoreApplication::applicationFilePath()), CurrentUserFolders());
  if (!book) return BookPathIn(QCoreApplication::applicationDirPath());
  // A folder that cannot be made shows up at the first save, with its reason.
  [[maybe_unused]] const Status made = MakePrivateFolders(book.value().parent_path());
  return QFile::decodeName(QByteArray::fromStdString(book.value().native()));
}

Result<std::u16string> LoadBook(const QString& path) { return LoadBookFile(NativePath(path)); }

Result<SaveReport> SaveBook(const QString& path, std::u16string_view text,
                            const SaveOptions& options) {
  return SaveBookFile(NativePath(path), text, options);
}

}  // namespace tallivan
