#ifndef TALLIVAN_UI_MESSENGER_H_
#define TALLIVAN_UI_MESSENGER_H_

#include <QPointer>

#include "session/messenger.h"

class QMessageBox;
class QWidget;

namespace tallivan {

// Modal message boxes without an icon; the log goes to standard error.
class BoxMessenger : public Messenger {
 public:
  explicit BoxMessenger(QWidget* parent);

  Delivery Inform(const std::string& title, const std::string& body) override;
  Answer Ask(const Question& question) override;
  void Dismiss() override;
  void Log(const std::string& line) override;

 private:
  QWidget* parent_;
  QPointer<QMessageBox> shown_;
  bool dismissed_ = false;
};

}  // namespace tallivan

#endif  // TALLIVAN_UI_MESSENGER_H_
