// Test entry point for the rig tests: a QCoreApplication named like the program, and settings
// kept in a temporary folder.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <cstdlib>

int main(int argc, char **argv) {
  QTemporaryDir configHome;
  setenv("XDG_CONFIG_HOME", configHome.path().toLocal8Bit().constData(), 1);
  QCoreApplication application(argc, argv);
  QCoreApplication::setOrganizationName("Palavrix");
  QCoreApplication::setApplicationName("Palavrix");
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
