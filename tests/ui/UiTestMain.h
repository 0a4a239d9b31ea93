// The window tests' entry point: an offscreen QApplication named like the program, with its
// settings store in a temporary folder.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QTemporaryDir>
#include <clocale>
#include <cstdlib>

inline int runUiTests(int argc, char** argv) {
  QTemporaryDir configHome;
  setenv("XDG_CONFIG_HOME", configHome.path().toLocal8Bit().constData(), 1);
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication application(argc, argv);
  // Hamlib trips over a numeric locale other than "C" unless the bridge guards against it.
  setlocale(LC_ALL, "C.UTF-8");
  QApplication::setOrganizationName("Palavrix");
  QApplication::setApplicationName("Palavrix");
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
