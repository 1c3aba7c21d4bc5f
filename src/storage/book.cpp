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
  const std::filesystem::path book =
      PrepareDefaultBook(NativePath(QCoreApplication::applicationFilePath())).path;
  return QFile::decodeName(QByteArray::fromStdString(book.native()));
}

Result<std::u16string> LoadBook(const QString& path) { return LoadBookFile(NativePath(path)); }

Result<SaveReport> SaveBook(const QString& path, std::u16string_view text,
                            const SaveOptions& options) {
  return SaveBookFile(NativePath(path), text, options);
}

}  // namespace tallivan
