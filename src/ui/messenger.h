#ifndef TALLIVAN_UI_MESSENGER_H_
#define TALLIVAN_UI_MESSENGER_H_

#include <QPointer>
#include <QString>

class QMessageBox;
class QWidget;

namespace tallivan {

// The answer to a yes/no question.
enum class Answer { kNo, kYes };

// How the window tells the user something or asks a question. Bodies break lines with CR LF.
class Messenger {
 public:
  virtual ~Messenger() = default;

  // Shows a message with a single OK button and waits until it is closed.
  virtual void Inform(const QString& title, const QString& body) = 0;

  // Asks a yes/no question and waits for the answer; a dismissed question gets `default_answer`.
  virtual Answer Ask(const QString& title, const QString& body, Answer default_answer) = 0;

  // Closes the message or question being shown, if any, as though nobody answered it.
  virtual void Dismiss() = 0;
};

// Modal message boxes without an icon.
class BoxMessenger : public Messenger {
 public:
  explicit BoxMessenger(QWidget* parent);

  void Inform(const QString& title, const QString& body) override;
  Answer Ask(const QString& title, const QString& body, Answer default_answer) override;
  void Dismiss() override;

 private:
  QWidget* parent_;
  QPointer<QMessageBox> shown_;
  bool dismissed_ = false;
};

}  // namespace tallivan

#endif  // TALLIVAN_UI_MESSENGER_H_
