#ifndef TALLIVAN_WIN32_ONE_WINDOW_H_
#define TALLIVAN_WIN32_ONE_WINDOW_H_

#include <windows.h>

#include <filesystem>

namespace tallivan {

// One window per book for each user. The first window on a book names itself in a small shared
// memory object of the user's session (Local\, named after the book, see WindowName); a later
// start on the same book lets that window take the foreground, sends it RaiseMessage() and ends.
// The object goes with the last process that holds it, so a window that was killed leaves nothing.
class OneWindow {
 public:
  // How long a later start waits for the first window to name itself and to answer.
  static constexpr DWORD kAnswerMs = 1000;

  // Asks the user's window on `book`, if there is one, to come to the front; when none answers,
  // claims the name for this start.
  explicit OneWindow(const std::filesystem::path& book);
  ~OneWindow();

  OneWindow(const OneWindow&) = delete;
  OneWindow& operator=(const OneWindow&) = delete;

  // Whether a window already open on the book came to the front, so that this start is done.
  bool raised_other() const { return raised_other_; }

  // Names `window` as the one later starts on the book bring to the front.
  void Serve(HWND window);

 private:
  struct Shared;
  void Release();

  HANDLE mapping_ = nullptr;
  Shared* shared_ = nullptr;
  bool raised_other_ = false;
};

// The message a later start sends the window on its book; the window answers kRaisedAnswer once
// it brought itself to the front (see BringToFront).
UINT RaiseMessage();
inline constexpr LRESULT kRaisedAnswer = 0x5241;

// Brings `window` to the front: restored if it was minimized, and in the foreground.
void BringToFront(HWND window);

}  // namespace tallivan

#endif  // TALLIVAN_WIN32_ONE_WINDOW_H_
