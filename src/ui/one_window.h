#ifndef TALLIVAN_UI_ONE_WINDOW_H_
#define TALLIVAN_UI_ONE_WINDOW_H_

#include <QLocalServer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <filesystem>

namespace tallivan {

// One window per book for each user. The first window on a book listens on a local socket in the
// user's runtime folder ($XDG_RUNTIME_DIR/tallivan, else the state folder), named after the book
// (WindowName); a later start on the same book asks it to come to the front and ends. Windows of
// other users never meet here: each has folders of its own.
class OneWindow : public QObject {
  Q_OBJECT

 public:
  // How long a later start waits for the window's answer before it opens a window of its own.
  static constexpr int kAnswerMs = 1000;

  // Asks the user's window on `book`, if there is one, to come to the front; when none answers,
  // claims the name for this start (a socket left by a window that was killed is taken over).
  explicit OneWindow(const std::filesystem::path& book, QObject* parent = nullptr);

  // Whether a window already open on the book came to the front, so that this start is done.
  bool raised_other() const { return raised_other_; }

  // The socket's path; empty when there is no folder for it.
  const QString& socket_path() const { return path_; }

  // Brings `window` (or the message it shows) to the front whenever a later start asks.
  void Serve(QWidget* window);

 private:
  enum class Asked { kRaised, kNobody, kNoAnswer };
  Asked AskToRaise() const;
  void Listen();
  void OnConnection();

  QString path_;
  QLocalServer server_;
  QPointer<QWidget> window_;
  bool raised_other_ = false;
};

// Brings `window` to the front: out of the task bar, above the others, and active.
void BringToFront(QWidget* window);

}  // namespace tallivan

#endif  // TALLIVAN_UI_ONE_WINDOW_H_
