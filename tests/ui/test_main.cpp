// Runs the GoogleTest cases of the window inside one QApplication, off screen by default.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTemporaryDir>
#include <cstdio>

namespace {

// Qt's font engine warns about every script it cannot shape; the tests show many of them.
void QuietFontWarnings(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (message.contains(QStringLiteral("OpenType support missing"))) return;
  const QString line = qFormatLogMessage(type, context, message);
  if (!line.isEmpty()) std::fprintf(stderr, "%s\n", qPrintable(line));
}

}  // namespace

int main(int argc, char* argv[]) {
  qInstallMessageHandler(QuietFontWarnings);
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  // Recovery files may fall back to the home folder: keep them out of the real one.
  QTemporaryDir home;
  qputenv("HOME", home.path().toLocal8Bit());
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
