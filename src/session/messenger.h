#ifndef TALLIVAN_SESSION_MESSENGER_H_
#define TALLIVAN_SESSION_MESSENGER_H_

#include <string>
#include <vector>

namespace tallivan {

// An answer to a question; each question names the ones it offers, with labels of its own.
enum class Answer {
  kYes,        // go ahead as the question proposes (overwrite, create, restore...)
  kNo,         // do not: the window stays open, or a recovery copy is kept apart
  kKeepApart,  // keep the window's text in a separate file and close
};

// One button of a question: its answer, and its label in both languages ("&Overwrite - 覆盖");
// an ampersand marks the letter that answers with it from the keyboard.
struct Choice {
  Answer answer;
  std::string label;
};

// A question for the user. Texts are UTF-8; the body breaks lines with CR LF.
struct Question {
  std::string title;
  std::string body;
  std::vector<Choice> choices;  // in the order shown
  // The answer that loses nothing: that of Enter and Escape, and of a question nobody answered.
  Answer safe = Answer::kNo;
};

// Whether a message reached the user.
enum class Delivery { kSeen, kNotSeen };

// How the session tells the user something or asks a question. Texts are UTF-8; bodies break
// lines with CR LF.
class Messenger {
 public:
  virtual ~Messenger() = default;

  // Shows a message with a single OK button and waits until it is closed; kNotSeen when it was
  // dismissed, or never shown because nobody is there.
  virtual Delivery Inform(const std::string& title, const std::string& body) = 0;

  // Asks a question and waits for the answer.
  virtual Answer Ask(const Question& question) = 0;

  // Closes the message or question being shown, if any, and every one after it, as though nobody
  // answered them: nobody is there any more.
  virtual void Dismiss() = 0;

  // Reports `line` where someone may read it later although nobody is there now (standard error).
  virtual void Log(const std::string& line) = 0;
};

}  // namespace tallivan

#endif  // TALLIVAN_SESSION_MESSENGER_H_
