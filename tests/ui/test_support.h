#ifndef TALLIVAN_TESTS_UI_TEST_SUPPORT_H_
#define TALLIVAN_TESTS_UI_TEST_SUPPORT_H_

#include <sys/stat.h>

#include <QFile>
#include <optional>
#include <string>
#include <vector>

#include "tests/session/session_test_support.h"

namespace tallivan {

// The raw UTF-16LE bytes of `text`.
inline QByteArray Bytes(std::u16string_view text) {
  return QByteArray(reinterpret_cast<const char*>(text.data()), text.size() * 2);
}

// Writes `bytes` to `path`, or removes `path` for nullopt.
inline void PutFile(const QString& path, const std::optional<QByteArray>& bytes) {
  QFile file(path);
  if (bytes && file.open(QIODevice::WriteOnly)) file.write(*bytes);
  if (!bytes) file.remove();
}

// The bytes of `path`, or nullopt when it cannot be read.
inline std::optional<QByteArray> ReadBytes(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
  return file.readAll();
}

// The inode of `path`, 0 when there is none; a save through a new file changes it.
inline ino_t InodeOf(const QString& path) {
  struct stat st {};
  return stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

}  // namespace tallivan

#endif  // TALLIVAN_TESTS_UI_TEST_SUPPORT_H_
