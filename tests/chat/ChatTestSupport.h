// Helpers for the controller's tests: a settings store of each test's own, decoder updates to
// inject, and a rig reached through rigctld.
#pragma once

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "QtTestSupport.h"
#include "RigctldServer.h"
#include "chat/AppSettings.h"
#include "chat/ChatViewModel.h"

namespace chattest {

// A fresh XDG_CONFIG_HOME, so that the settings store is empty until the test writes it.
class ConfigHome {
 public:
  ConfigHome() { qputenv("XDG_CONFIG_HOME", dir_.path().toUtf8()); }
  QString path() const { return dir_.path(); }

 private:
  QTemporaryDir dir_;
};

inline KvolDecoder::Update update(int64_t id, const char* text, bool complete, int snrDb = -10) {
  return {id, text, 1500.0f, complete, snrDb, 3, 46};
}

// The settings of a rig reached through rigctld (Hamlib's network model 2), saved to the store.
inline void saveNetworkRig(AppSettings& settings, int port, const QString& mode) {
  settings.setRigModel(2);
  settings.setRigPort(QStringLiteral("127.0.0.1:%1").arg(port));
  settings.setRigMode(mode);
  ASSERT_TRUE(settings.save());
}

}  // namespace chattest
