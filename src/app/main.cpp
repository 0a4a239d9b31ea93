// Palavrix: keyboard-to-keyboard chat over an SSB voice channel in the KVOL mode.
#include <QApplication>

#include "app/MyApp.h"
#include "ui/MainWindow.h"

int main(int argc, char** argv) {
  // First of all: QApplication sets the process locale, and Hamlib must load after that.
  QApplication application(argc, argv);
  QApplication::setOrganizationName(QStringLiteral("Palavrix"));
  QApplication::setApplicationName(QStringLiteral("Palavrix"));
  MyApp app;
  app.mainWindow().show();
  return QApplication::exec();
}
