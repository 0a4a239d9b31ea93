// For the tests on the real PulseAudio server the CTest fixture starts (sink "test_out", its
// loopback input "test_in"): pactl, captured audio and tones. Servers a test may kill come from
// tests/support (PulseServer.h).
#pragma once

#include <gtest/gtest.h>

#include <QProcess>
#include <cmath>
#include <mutex>
#include <span>
#include <vector>

#include "PulseServer.h"
#include "QtTestSupport.h"
#include "audio/AudioDevices.h"
#include "audio/CaptureEngine.h"

namespace pulsetest {

// Runs pactl against the current PULSE_SERVER; returns its output, fails the test on error.
inline QString pactl(const QStringList& arguments) {
  QProcess process;
  process.start(QStringLiteral("pactl"), arguments);
  EXPECT_TRUE(process.waitForFinished(5000) && process.exitCode() == 0)
      << "pactl " << arguments.join(' ').toStdString() << ": "
      << process.readAllStandardError().toStdString();
  return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

// The server's index of our stream of that media name ("sink-inputs" or "source-outputs"), whose
// entries start with a heading like "Sink Input #12"; "" if none.
inline QString ourStream(const QString& kind, const QString& mediaName) {
  QString index;
  for (const QString& line : pactl({"list", kind}).split('\n')) {
    if (!line.startsWith('\t') && line.contains('#')) index = line.section('#', 1).trimmed();
    if (line.contains(QStringLiteral("media.name = \"%1\"").arg(mediaName))) return index;
  }
  return {};
}

// A module loaded for one test and unloaded at its end.
class LoadedModule {
 public:
  explicit LoadedModule(const QStringList& arguments)
      : index_(pactl(QStringList{"load-module"} + arguments)) {}
  ~LoadedModule() { unload(); }
  void unload() {
    if (!index_.isEmpty()) pactl({"unload-module", index_});
    index_.clear();
  }

 private:
  QString index_;
};

// A null sink that says it is the computer's built-in speakers.
inline const QStringList kBuiltInSpeakers = {
    "module-null-sink", "sink_name=builtin_speakers",
    "sink_properties=\"device.description='Speakers' device.form_factor=internal\""};

// Points the client library at another server (or none) for one scope.
class ServerOverride {
 public:
  explicit ServerOverride(const QByteArray& server) : saved_(qgetenv("PULSE_SERVER")) {
    qputenv("PULSE_SERVER", server);
  }
  ~ServerOverride() { qputenv("PULSE_SERVER", saved_); }

 private:
  QByteArray saved_;
};
inline const QByteArray kNoServer = "unix:/nonexistent/palavrix/native";

inline AudioDeviceInfo deviceNamed(const char* uid) {
  auto device = AudioDevices::device(QString::fromLatin1(uid), std::nullopt);
  EXPECT_TRUE(device.has_value()) << uid;
  return device.value_or(AudioDeviceInfo{0, uid, uid});
}
// A monitor source, which the device lists leave out.
inline AudioDeviceInfo monitorOf(const char* sink) {
  return {0, QString::fromLatin1(sink) + ".monitor", "Monitor"};
}

inline int peak(std::span<const int16_t> samples) {
  int result = 0;
  for (int16_t sample : samples) result = std::max(result, std::abs(int(sample)));
  return result;
}

// Collects what a capture hears from a source (test_in hears everything played into test_out),
// started at once unless there is none, and counts its restart requests.
class Listener {
 public:
  explicit Listener(const std::optional<AudioDeviceInfo>& source = deviceNamed("test_in")) {
    capture.onSamples = [this](std::span<const int16_t> block) { add(block); };
    QObject::connect(&capture, &CaptureEngine::needsRestart, [this] { ++restarts; });
    if (source) {
      EXPECT_EQ(capture.start(*source), std::nullopt);
    }
  }
  ~Listener() { capture.stop(); }  // before the samples go
  void add(std::span<const int16_t> block) {
    std::lock_guard lock(mutex_);
    samples_.insert(samples_.end(), block.begin(), block.end());
  }
  std::vector<int16_t> samples() const {
    std::lock_guard lock(mutex_);
    return samples_;
  }
  size_t size() const { return samples().size(); }
  int loudest() const { return peak(samples()); }
  // The next `count` samples from now on, empty when they do not come.
  std::vector<int16_t> next(size_t count) {
    const size_t from = size();
    EXPECT_TRUE(waitFor([&] { return size() >= from + count; }));
    const auto all = samples();
    if (all.size() < from + count) return {};
    return {all.begin() + from, all.begin() + from + count};
  }

  CaptureEngine capture;
  int restarts = 0;

 private:
  mutable std::mutex mutex_;
  std::vector<int16_t> samples_;
};

// The frequency of a steady 12 000 Hz tone, from its zero crossings.
inline double toneFrequency(std::span<const int16_t> samples) {
  int crossings = 0;
  for (size_t i = 1; i < samples.size(); ++i) crossings += (samples[i - 1] < 0) != (samples[i] < 0);
  return crossings * 12000.0 / 2.0 / double(samples.size());
}

// The amplitude of a steady tone, from its RMS: unlike the peak it does not depend on where the
// samples fall on the wave.
inline double toneAmplitude(std::span<const int16_t> samples) {
  double sum = 0.0;
  for (int16_t sample : samples) sum += double(sample) * sample;
  return samples.empty() ? 0.0 : std::sqrt(2.0 * sum / double(samples.size()));
}

}  // namespace pulsetest
