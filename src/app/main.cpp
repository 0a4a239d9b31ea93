// Palavrix: keyboard-to-keyboard chat over an SSB voice channel in the KVOL mode.
#include <QApplication>
#include <chrono>

#include "app/ExitDeadline.h"
#include "app/MyApp.h"
#include "ui/MainWindow.h"

int main(int argc, char** argv) {
  // First of all: QApplication sets the process locale, and Hamlib must load after that.
  QApplication application(argc, argv);
  QApplication::setOrganizationName(QStringLiteral("Palavrix"));
  QApplication::setApplicationName(QStringLiteral("Palavrix"));
  MyApp app;
  app.mainWindow().show();
  const int exitCode = QApplication::exec();
  // Push-to-talk has been seen to (within three seconds); taking the rest down must not stretch
  // the way out past five, whatever a rig, the audio server or a background task is stuck in.
  endProcessWithin(std::chrono::seconds(2), exitCode);
  return exitCode;
}
