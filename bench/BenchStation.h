// The station the controller's benchmarks run on: a PulseAudio server of their own (what is
// played on "test_out" is heard on "test_in"), a settings folder of their own, and settings that
// send and hear on those devices, keying the dummy rig of a rigctld where one is given.
#pragma once

#include <QTemporaryDir>
#include <string>

#include "PulseServer.h"
#include "chat/AppSettings.h"

class BenchStation {
 public:
  BenchStation() {
    qputenv("PULSE_SERVER", pulse.address());
    qputenv("XDG_CONFIG_HOME", home_.path().toUtf8());
  }

  // Settings on the server's test devices, through the network rig at rigAddress unless empty.
  // Saved, as a program started now would read them.
  static void useTestDevices(AppSettings& settings, const std::string& rigAddress = {}) {
    settings.setAudioInputDeviceUID(QStringLiteral("test_in"));
    settings.setAudioOutputDeviceUID(QStringLiteral("test_out"));
    if (!rigAddress.empty()) {
      settings.setRigModel(2);
      settings.setRigPort(QString::fromStdString(rigAddress));
    }
    settings.save();
  }

  pulsetest::PrivateServer pulse;

 private:
  QTemporaryDir home_;
};
