#include <QApplication>
#include <QFile>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <variant>
#include <vector>

#include "runtime/version.h"
#include "storage/book.h"
#include "ui/frm_main.h"
#include "ui/one_window.h"
#include "ui/termination_signals.h"
#include "window/options.h"

namespace {

constexpr int kExitBadUse = 2;

// Answers --help, --version and bad use; nullopt when the window is to open.
std::optional<int> Answer(const std::variant<tallivan::WindowOptions, tallivan::BadUse>& parsed) {
  const std::optional<tallivan::Reply> reply = tallivan::ReplyTo(parsed);
  if (!reply) return std::nullopt;
  std::FILE* stream = reply->stream == tallivan::Reply::Stream::kErr ? stderr : stdout;
  const bool told = std::fputs(reply->text.c_str(), stream) >= 0 && std::fflush(stream) == 0;
  return told ? reply->exit_status : kExitBadUse;
}

// `path` made absolute against the working folder, but not otherwise changed.
std::string Absolute(const std::string& path) {
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(path, error);
  return error ? path : absolute.native();
}

std::vector<std::string> Arguments(int argc, char* argv[]) { return {argv + 1, argv + argc}; }

}  // namespace

int main(int argc, char* argv[]) {
  // --help and --version need no display, so they are answered before Qt starts.
  if (const auto code =
          Answer(ParseWindowArgs(Arguments(argc, argv), tallivan::QtArguments::kLeave))) {
    return *code;
  }
  QApplication app(argc, argv);  // takes its own options out of argv
  const auto parsed = ParseWindowArgs(Arguments(argc, argv), tallivan::QtArguments::kRefuse);
  if (const auto code = Answer(parsed)) return *code;
  // X11 takes the window's class (WM_CLASS) from the application name and Wayland its app id
  // from the desktop file name: both name the desktop entry, so the desktop finds the icon.
  QApplication::setApplicationName(QString::fromLatin1(tallivan::kAppId));
  QApplication::setApplicationVersion(QString::fromLatin1(tallivan::kVersion));
  QGuiApplication::setDesktopFileName(QString::fromLatin1(tallivan::kAppId));
  tallivan::TerminationSignals termination;
  // The book is found once the signals are caught, so that a signal from then on saves it.
  const std::optional<std::string>& named = std::get<tallivan::WindowOptions>(parsed).book;
  const QString book =
      named ? QFile::decodeName(QByteArray::fromStdString(Absolute(*named))) : tallivan::BookPath();
  // A window of this user's already open on the book comes to the front instead of a second one.
  tallivan::OneWindow one_window(std::filesystem::path(QFile::encodeName(book).toStdString()));
  if (one_window.raised_other()) return 0;
  tallivan::frmMain window(book);
  one_window.Serve(&window);
  QObject::connect(&termination, &tallivan::TerminationSignals::Received, &window,
                   [&window] { window.RequestClose(tallivan::Attendance::kUnattended); });
  window.show();
  window.activateWindow();
  return app.exec();
}
