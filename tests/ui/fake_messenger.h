#ifndef TALLIVAN_TESTS_UI_FAKE_MESSENGER_H_
#define TALLIVAN_TESTS_UI_FAKE_MESSENGER_H_

#include <QString>
#include <deque>
#include <functional>
#include <vector>

#include "ui/messenger.h"

namespace tallivan {

// Records every message and question and answers without blocking.
class FakeMessenger : public Messenger {
 public:
  struct Shown {
    QString title;
    QString body;
    bool question = false;
    Answer default_answer = Answer::kNo;
  };

  void Inform(const QString& title, const QString& body) override {
    shown.push_back(Shown{title, body, false, Answer::kNo});
    Showing();
  }

  Answer Ask(const QString& title, const QString& body, Answer default_answer) override {
    shown.push_back(Shown{title, body, true, default_answer});
    if (Showing() || answers.empty()) return default_answer;
    const Answer answer = answers.front();
    answers.pop_front();
    return answer;
  }

  void Dismiss() override {
    ++dismissals;
    dismissed_ = true;
  }

  std::vector<Shown> shown;
  std::deque<Answer> answers;         // given to the questions in turn; then their defaults
  std::function<void()> while_shown;  // runs while a message is open, as an event would
  int dismissals = 0;

 private:
  // Runs while_shown; true when the message was dismissed meanwhile.
  bool Showing() {
    dismissed_ = false;
    if (while_shown) while_shown();
    return dismissed_;
  }

  bool dismissed_ = false;
};

}  // namespace tallivan

#endif  // TALLIVAN_TESTS_UI_FAKE_MESSENGER_H_
