// Helpers for the tests that run against a real PulseAudio server: the shared test server the
// CTest fixture starts (sink "test_out", its loopback input "test_in"), pactl, a thread-safe
// collector of captured audio, a listener on a source and tone measurement. Private servers a
// test may kill come from tests/support (PulseServer.h).
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

// The fixture's server must be there: without it these tests mean nothing.
inline void requireTestServer() {
  ASSERT_FALSE(qgetenv("PULSE_SERVER").isEmpty())
      << "run through CTest: the pulse_server fixture sets PULSE_SERVER";
}

// Runs pactl against the current PULSE_SERVER; returns its output, fails the test on error.
inline QString pactl(const QStringList& arguments) {
  QProcess process;
  process.start(QStringLiteral("pactl"), arguments);
  EXPECT_TRUE(process.waitForFinished(5000) && process.exitCode() == 0)
      << "pactl " << arguments.join(' ').toStdString() << ": "
      << process.readAllStandardError().toStdString();
  return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

// The server's index of our stream of that media name, from `pactl list <kind>` ("sink-inputs",
// "source-outputs"), whose entries start with a heading line like "Sink Input #12"; "" if none.
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
inline QStringList builtInSpeakers() {
  return {"module-null-sink", "sink_name=builtin_speakers",
          "sink_properties=\"device.description='Speakers' device.form_factor=internal\""};
}

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
  return device.value_or(AudioDeviceInfo{0, QString::fromLatin1(uid), QString::fromLatin1(uid)});
}
// A monitor source, which the device lists leave out.
inline AudioDeviceInfo monitorOf(const char* sink) {
  return {0, QString::fromLatin1(sink) + ".monitor", "Monitor"};
}

// Collects what onSamples delivers on the capture thread.
class Collector {
 public:
  void add(std::span<const int16_t> block) {
    std::lock_guard lock(mutex_);
    samples_.insert(samples_.end(), block.begin(), block.end());
  }
  std::vector<int16_t> samples() const {
    std::lock_guard lock(mutex_);
    return samples_;
  }
  size_t size() const {
    std::lock_guard lock(mutex_);
    return samples_.size();
  }
  // A handler for CaptureEngine::onSamples.
  auto handler() {
    return [this](std::span<const int16_t> block) { add(block); };
  }

 private:
  mutable std::mutex mutex_;
  std::vector<int16_t> samples_;
};

inline int peak(std::span<const int16_t> samples) {
  int result = 0;
  for (int16_t sample : samples) result = std::max(result, std::abs(int(sample)));
  return result;
}

// Captures from a source for as long as it lives; test_in hears everything played into test_out.
class Listener {
 public:
  explicit Listener(const AudioDeviceInfo& source = deviceNamed("test_in")) {
    capture_.onSamples = collector_.handler();
    started_ = !capture_.start(source);
  }
  bool started() const { return started_; }
  size_t heard() const { return collector_.size(); }
  int loudest() const { return peak(collector_.samples()); }
  // The next `count` samples heard from now on.
  std::vector<int16_t> next(size_t count) {
    const size_t from = collector_.size();
    EXPECT_TRUE(waitFor([&] { return collector_.size() >= from + count; }, 10000));
    const auto samples = collector_.samples();
    if (samples.size() < from + count) return {};
    return {samples.begin() + from, samples.begin() + from + count};
  }

 private:
  Collector collector_;  // outlives the capture thread
  CaptureEngine capture_;
  bool started_ = false;
};

// Power of one frequency in the samples (Goertzel), normalised to the samples' length.
inline double tonePower(std::span<const int16_t> samples, double frequency, double rate) {
  const double coefficient = 2.0 * std::cos(2.0 * M_PI * frequency / rate);
  double previous = 0.0;
  double beforePrevious = 0.0;
  for (int16_t sample : samples) {
    const double current = sample + coefficient * previous - beforePrevious;
    beforePrevious = previous;
    previous = current;
  }
  const double power = previous * previous + beforePrevious * beforePrevious -
                       coefficient * previous * beforePrevious;
  return power / (double(samples.size()) * double(samples.size()));
}

// The strongest frequency of the 12 000 Hz samples between 200 and 5800 Hz, in 10 Hz steps.
inline double strongestFrequency(std::span<const int16_t> samples) {
  double best = 0.0;
  double bestPower = -1.0;
  for (double frequency = 200.0; frequency <= 5800.0; frequency += 10.0) {
    const double power = tonePower(samples, frequency, 12000.0);
    if (power > bestPower) {
      bestPower = power;
      best = frequency;
    }
  }
  return best;
}

// The amplitude of a steady tone, from its RMS: unlike the peak it does not depend on where the
// samples fall on the wave.
inline double toneAmplitude(std::span<const int16_t> samples) {
  double sum = 0.0;
  for (int16_t sample : samples) sum += double(sample) * sample;
  return samples.empty() ? 0.0 : std::sqrt(2.0 * sum / double(samples.size()));
}

}  // namespace pulsetest
