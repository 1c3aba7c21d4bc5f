#ifndef TALLIVAN_TESTS_SESSION_SESSION_TEST_SUPPORT_H_
#define TALLIVAN_TESTS_SESSION_SESSION_TEST_SUPPORT_H_

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "session/clock.h"
#include "session/messenger.h"

namespace tallivan {

// Records every message, question and log line, and answers without blocking.
class FakeMessenger : public Messenger {
 public:
  struct Shown {
    std::string title, body;
    std::optional<Answer> default_answer;  // nullopt: a message, not a question
    bool offers_keep_apart = false;
  };

  void Inform(const std::string& title, const std::string& body) override {
    shown.push_back({title, body, std::nullopt});
  }
  Answer Ask(const Question& question) override {
    shown.push_back(
        {question.title, question.body, question.default_answer, question.offers_keep_apart});
    const auto answer = answers.find(question.title);
    return answer != answers.end() ? answer->second : question.default_answer;
  }
  void Dismiss() override {}
  void Log(const std::string& line) override { log.push_back(line); }

  std::vector<Shown> shown;
  std::vector<std::string> log;
  std::map<std::string, Answer> answers;  // by title; a question not listed gets its default
};

// A clock that stands still until moved.
class FakeClock : public Clock {
 public:
  TimePoint Now() const override { return now; }

  TimePoint now = std::chrono::system_clock::now();
};

// Whether this system lets a test make the flushing of folders fail; and makes it fail, or not.
// The book_session_*_test.cpp files give them.
bool CanFailFolderFlushes();
void FailFolderFlushes(bool fail);

}  // namespace tallivan

#endif  // TALLIVAN_TESTS_SESSION_SESSION_TEST_SUPPORT_H_
