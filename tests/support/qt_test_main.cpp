// The entry point of every test program that needs Qt: its application, for timers and queued
// calls (with widgets, offscreen unless the environment names a platform), named like the
// program and with its settings in a folder of the test's own.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <clocale>
#ifdef PALAVRIX_TEST_WIDGETS
#include <QApplication>
using Application = QApplication;
#else
#include <QCoreApplication>
using Application = QCoreApplication;
#endif

int main(int argc, char** argv) {
  // Nothing a test runs may touch the real ~/.config, not even before the first test.
  QTemporaryDir configHome;
  qputenv("XDG_CONFIG_HOME", configHome.path().toUtf8());
#ifdef PALAVRIX_TEST_WIDGETS
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
  Application application(argc, argv);
  // A desktop session's locale rather than whatever the test runner has: Hamlib trips over a
  // numeric locale other than "C" unless the bridge guards against it.
  setlocale(LC_ALL, "C.UTF-8");
  QCoreApplication::setOrganizationName("Palavrix");
  QCoreApplication::setApplicationName("Palavrix");
  testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  // What tests left to deleteLater goes before the application, not to the leak checker.
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  return result;
}
