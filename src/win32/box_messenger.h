#ifndef TALLIVAN_WIN32_BOX_MESSENGER_H_
#define TALLIVAN_WIN32_BOX_MESSENGER_H_

#include <windows.h>

#include <string>

#include "session/messenger.h"

namespace tallivan {

// Modal message boxes without an icon, owned by one window: MessageBoxW for messages, a task
// dialog with Yes, No and, where offered, Keep apart for questions. The log goes to standard error
// (or the console the program was started from) and to the debugger.
class BoxMessenger : public Messenger {
 public:
  // Messages and questions are modal to `owner` (null: to no window).
  void set_owner(HWND owner) { owner_ = owner; }

  Delivery Inform(const std::string& title, const std::string& body) override;
  Answer Ask(const Question& question) override;
  void Dismiss() override;
  void Log(const std::string& line) override;

 private:
  HWND owner_ = nullptr;
  bool dismissed_ = false;
};

}  // namespace tallivan

#endif  // TALLIVAN_WIN32_BOX_MESSENGER_H_
