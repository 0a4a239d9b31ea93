// Test entry point for the rig tests: a QCoreApplication named like the program, and settings
// kept in a temporary folder.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <clocale>
#include <cstdlib>

int main(int argc, char **argv) {
  QTemporaryDir configHome;
  setenv("XDG_CONFIG_HOME", configHome.path().toLocal8Bit().constData(), 1);
  QCoreApplication application(argc, argv);
  // A desktop session's locale rather than whatever the test runner has: Hamlib trips over a
  // numeric locale other than "C" unless the bridge guards against it.
  setlocale(LC_ALL, "C.UTF-8");
  QCoreApplication::setOrganizationName("Palavrix");
  QCoreApplication::setApplicationName("Palavrix");
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
