#include <QApplication>

#include "ui/frm_main.h"
#include "ui/termination_signals.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tallivan"));
  QApplication::setApplicationVersion(QStringLiteral("1.0.0.1"));
  tallivan::TerminationSignals termination;
  tallivan::frmMain window;
  QObject::connect(&termination, &tallivan::TerminationSignals::Received, &window,
                   [&window] { window.RequestClose(tallivan::Attendance::kUnattended); });
  window.show();
  window.activateWindow();
  return app.exec();
}
