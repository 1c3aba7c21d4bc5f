#include "ui/one_window.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QApplication>
#include <QFile>
#include <QLocalSocket>
#include <QWindow>
#include <optional>

#include "session/session_files.h"
#include "storage/safe_folder.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;

constexpr char kRaise[] = "raise\n";
constexpr char kRaised[] = "raised\n";

// The user's private folder for the socket: the runtime folder, else the state folder.
std::optional<SafeFolder> SocketFolder() {
  for (const std::optional<fs::path>& path : {RuntimeFolderPath(), StateFolderPath()}) {
    if (!path) continue;
    if (Result<SafeFolder> folder = SafeFolder::OpenPrivate(*path, MakeFolder::kPrivate)) {
      return std::move(folder).value();
    }
  }
  return std::nullopt;
}

}  // namespace

OneWindow::OneWindow(const fs::path& book, QObject* parent) : QObject(parent) {
  const std::optional<SafeFolder> folder = SocketFolder();
  if (!folder) return;  // no folder of the user's: every start opens a window, as it always did
  const std::string name = WindowName(book);
  const std::string path = (folder->path() / name).string();
  if (path.size() >= sizeof(sockaddr_un::sun_path)) return;
  path_ = QFile::decodeName(QByteArray::fromStdString(path));
  switch (AskToRaise()) {
    case Asked::kRaised:
      raised_other_ = true;
      return;
    case Asked::kNoAnswer:
      return;  // a window that is busy or stuck keeps its name; this one opens beside it
    case Asked::kNobody:
      break;
  }
  // Nobody listens on a socket left by a window that was killed: it goes, if it is the user's.
  struct stat st {};
  if (fstatat(static_cast<int>(folder->native()), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISSOCK(st.st_mode) && st.st_uid == geteuid()) {
    unlinkat(static_cast<int>(folder->native()), name.c_str(), 0);
  }
  Listen();
}

OneWindow::Asked OneWindow::AskToRaise() const {
  QLocalSocket socket;
  socket.connectToServer(path_);
  if (!socket.waitForConnected(kAnswerMs)) {
    return socket.error() == QLocalSocket::SocketTimeoutError ? Asked::kNoAnswer : Asked::kNobody;
  }
  socket.write(kRaise);
  QByteArray answer;
  while (!answer.endsWith('\n') && socket.waitForReadyRead(kAnswerMs)) {
    answer += socket.readAll();
    if (answer.size() > 64) break;
  }
  return answer == kRaised ? Asked::kRaised : Asked::kNoAnswer;
}

void OneWindow::Listen() {
  if (!server_.listen(path_)) return;  // another start was quicker: both windows open
  connect(&server_, &QLocalServer::newConnection, this, &OneWindow::OnConnection);
}

void OneWindow::Serve(QWidget* window) { window_ = window; }

void OneWindow::OnConnection() {
  while (QLocalSocket* socket = server_.nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
      // A request is one short line; anything else ends the connection.
      if (socket->bytesAvailable() < static_cast<qint64>(sizeof kRaise - 1)) return;
      const QByteArray request = socket->read(sizeof kRaise - 1);
      if (request != kRaise || !window_) {
        socket->abort();
        return;
      }
      BringToFront(window_);
      socket->write(kRaised);
      socket->disconnectFromServer();
    });
  }
}

void BringToFront(QWidget* window) {
  window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
  window->show();
  window->raise();
  window->activateWindow();
  if (QWindow* handle = window->windowHandle()) handle->requestActivate();
  // A message or question open over the window comes to the front with it.
  if (QWidget* modal = QApplication::activeModalWidget(); modal && modal != window) {
    modal->raise();
    modal->activateWindow();
  }
}

}  // namespace tallivan
