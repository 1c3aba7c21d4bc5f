#ifndef TALLIVAN_TESTS_SESSION_SESSION_TEST_SUPPORT_H_
#define TALLIVAN_TESTS_SESSION_SESSION_TEST_SUPPORT_H_

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "session/book_session.h"
#include "session/clock.h"
#include "session/messenger.h"
#include "session/session_files.h"
#include "tests/storage/test_files.h"
#include "tests/storage/test_platform.h"

namespace tallivan {

// Records every message, question and log line, and answers without blocking.
class FakeMessenger : public Messenger {
 public:
  struct Shown {
    std::string title, body;
    std::optional<Answer> safe;  // nullopt: a message, not a question
    std::vector<Choice> choices;

    // The label of the button that gives `answer`; empty when none does.
    std::string Label(Answer answer) const {
      for (const Choice& choice : choices) {
        if (choice.answer == answer) return choice.label;
      }
      return "";
    }
  };

  Delivery Inform(const std::string& title, const std::string& body) override {
    if (messages_lost) ++lost;
    if (away || messages_lost) return Delivery::kNotSeen;
    shown.push_back({title, body, std::nullopt, {}});
    return Delivery::kSeen;
  }
  Answer Ask(const Question& question) override {
    if (away) return question.safe;
    shown.push_back({question.title, question.body, question.safe, question.choices});
    const auto answer = answers.find(question.title);
    return answer != answers.end() ? answer->second : question.safe;
  }
  void Dismiss() override { away = true; }
  void Log(const std::string& line) override { log.push_back(line); }

  // How many of the messages and questions shown hold every one of `phrases`.
  size_t Showing(std::initializer_list<std::string> phrases) const {
    return std::count_if(shown.begin(), shown.end(), [&](const Shown& one) {
      return std::all_of(phrases.begin(), phrases.end(), [&](const std::string& phrase) {
        return one.body.find(phrase) != std::string::npos;
      });
    });
  }

  std::vector<Shown> shown;
  std::vector<std::string> log;
  std::map<std::string, Answer> answers;  // by title; a question not listed gets its safe answer
  bool away = false;                      // dismissed: nothing more reaches the user
  bool messages_lost = false;  // messages never reach the user (the window is killed meanwhile)
  size_t lost = 0;
};

// A clock that stands still until moved.
class FakeClock : public Clock {
 public:
  TimePoint Now() const override { return now; }

  TimePoint now = std::chrono::system_clock::now();
};

using ::testing::HasSubstr;

inline constexpr char kWarningTitle[] = "Warning - 警告";
inline constexpr char kErrorTitle[] = "Error - 发生错误";
inline const std::u16string kSample = u"sample [1]\r\n#\r\n";
// The answer when nobody is there: closing is unattended.
inline constexpr std::optional<Answer> kAway;

// Sessions of a book in a fresh folder, with a home folder and a state folder of their own beside
// it.
class BookSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(Home());
    for (const char* name : {kHomeVariable, kStateVariable, kRuntimeVariable}) {
      own_variables_.emplace_back(name, Variable(name));
    }
    SetVariable(kHomeVariable, PathUtf8(Home()));
    SetVariable(kStateVariable, PathUtf8(dir_.path() / "state"));
    SetVariable(kRuntimeVariable, std::nullopt);
  }
  void TearDown() override {
    for (const auto& [name, value] : own_variables_) SetVariable(name, value);
  }

  // The folder of the user's session files of `book`.
  std::filesystem::path StateOf(const std::filesystem::path& book) const {
    return StateFolderPath().value() / BookKey(book);
  }

  std::filesystem::path Book() const { return dir_.path() / "book"; }
  std::filesystem::path Home() const { return dir_.path() / "home"; }
  std::unique_ptr<BookSession> Session(FakeMessenger& messenger,
                                       const std::filesystem::path& book = {}) const {
    return std::make_unique<BookSession>(book.empty() ? Book() : book, kSample, messenger, clock_);
  }
  // The files kept apart in `folder`.
  std::vector<std::filesystem::path> Kept(const std::filesystem::path& folder) const {
    std::vector<std::filesystem::path> kept;
    for (const std::string& name : Entries(folder)) {
      if (name.find(".unsaved-") != std::string::npos && name[0] != '.') {
        kept.push_back(folder / name);
      }
    }
    return kept;
  }

  TempDir dir_;
  FakeClock clock_;
  std::vector<std::pair<std::string, std::optional<std::string>>> own_variables_;
};

}  // namespace tallivan

#endif  // TALLIVAN_TESTS_SESSION_SESSION_TEST_SUPPORT_H_
