// Runs the window's tests inside one QApplication, off screen by default.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTemporaryDir>
#include <cstdio>

int main(int argc, char* argv[]) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  // Qt's font engine warns about every script it cannot shape; the tests show many of them.
  qInstallMessageHandler(
      [](QtMsgType type, const QMessageLogContext& context, const QString& text) {
        if (text.contains(QStringLiteral("OpenType support missing"))) return;
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
      });
  // The windows' session files and settings go to the user's state folder: keep them out of the
  // real one.
  QTemporaryDir home;
  qputenv("HOME", home.path().toLocal8Bit());
  qunsetenv("XDG_STATE_HOME");
  qunsetenv("XDG_CONFIG_HOME");
  // The windows' sockets (see OneWindow) go to the user's runtime folder: a fresh one.
  QTemporaryDir runtime;
  qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
