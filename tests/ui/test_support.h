#ifndef TALLIVAN_TESTS_UI_TEST_SUPPORT_H_
#define TALLIVAN_TESTS_UI_TEST_SUPPORT_H_

#include <sys/stat.h>

#include <QFile>
#include <QMap>
#include <optional>
#include <string>
#include <vector>

#include "session/messenger.h"

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

// Records every message, question and log line, and answers without blocking.
class FakeMessenger : public Messenger {
 public:
  struct Shown {
    QString title, body;
    std::optional<Answer> default_answer;  // nullopt: a message, not a question
  };

  void Inform(const std::string& title, const std::string& body) override {
    shown.push_back({QString::fromStdString(title), QString::fromStdString(body), std::nullopt});
  }
  Answer Ask(const Question& question) override {
    const QString title = QString::fromStdString(question.title);
    shown.push_back({title, QString::fromStdString(question.body), question.default_answer});
    return answers.value(title, question.default_answer);
  }
  void Dismiss() override {}
  void Log(const std::string& line) override { log.push_back(QString::fromStdString(line)); }

  std::vector<Shown> shown;
  std::vector<QString> log;
  QMap<QString, Answer> answers;  // by title; a question not listed gets its default
};

}  // namespace tallivan

#endif  // TALLIVAN_TESTS_UI_TEST_SUPPORT_H_
