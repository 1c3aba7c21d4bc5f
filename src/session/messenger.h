#ifndef TALLIVAN_SESSION_MESSENGER_H_
#define TALLIVAN_SESSION_MESSENGER_H_

#include <string>

namespace tallivan {

// An answer to a question.
enum class Answer {
  kYes,
  kNo,
  kKeepApart,  // keep the window's text in a separate file and close
};

// A question for the user. Texts are UTF-8; the body breaks lines with CR LF.
struct Question {
  std::string title;
  std::string body;
  Answer default_answer = Answer::kNo;  // the answer of the Enter key
  Answer unanswered = Answer::kNo;      // the answer when the question is dismissed
  bool offers_keep_apart = false;       // a third button besides Yes and No, labelled
                                        // kKeepApartLabel
};

// The label of the button that answers kKeepApart.
inline constexpr char kKeepApartLabel[] = "Keep apart - 另存";

// How the session tells the user something or asks a question. Texts are UTF-8; bodies break
// lines with CR LF.
class Messenger {
 public:
  virtual ~Messenger() = default;

  // Shows a message with a single OK button and waits until it is closed.
  virtual void Inform(const std::string& title, const std::string& body) = 0;

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
