#ifndef TALLIVAN_TESTS_UI_TEST_FILES_H_
#define TALLIVAN_TESTS_UI_TEST_FILES_H_

#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QString>
#include <optional>
#include <string>
#include <string_view>

namespace tallivan {

// Writes `text` to `path` as raw UTF-16LE, without going through the book storage.
inline void WriteUnits(const QString& path, std::u16string_view text) {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return;
  file.write(reinterpret_cast<const char*>(text.data()),
             static_cast<qint64>(text.size() * sizeof(char16_t)));
}

// The raw bytes of `path`, or nullopt when it cannot be read as a file.
inline std::optional<QByteArray> ReadBytes(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
  return file.readAll();
}

// The UTF-16LE units of `path`, or nullopt when it cannot be read as a file.
inline std::optional<std::u16string> ReadUnits(const QString& path) {
  const std::optional<QByteArray> bytes = ReadBytes(path);
  if (!bytes) return std::nullopt;
  return std::u16string(reinterpret_cast<const char16_t*>(bytes->constData()),
                        static_cast<size_t>(bytes->size()) / 2);
}

// The inode of `path`, 0 when there is none; a save through a new file changes it.
inline ino_t InodeOf(const QString& path) {
  struct stat st {};
  return stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

// The files in `folder` whose names start with `prefix`.
inline QStringList FilesStartingWith(const QString& folder, const QString& prefix) {
  return QDir(folder).entryList({prefix + QLatin1Char('*')}, QDir::Files | QDir::Hidden);
}

}  // namespace tallivan

#endif  // TALLIVAN_TESTS_UI_TEST_FILES_H_
