// How much of a message still reaches the sink once push-to-talk is released under it: the audio
// server is frozen (SIGSTOP) 1.5 s into a 26-character message and thawed 17 s later, after the
// safety clock has released push-to-talk through rigctld. Reports the signal heard at the sink
// after the thaw and when the release came.
//
// Starts its own PulseAudio server with the tests' launcher and its own rigctld, and stops both.
#include <benchmark/benchmark.h>
#include <signal.h>

#include <QtTest/QTest>
#include <atomic>
#include <chrono>
#include <cmath>

#include "BenchStation.h"
#include "PulseServer.h"
#include "RigctldServer.h"
#include "audio/pulse/PulseConnection.h"
#include "audio/pulse/PulseRecordStream.h"
#include "chat/AppSettings.h"
#include "chat/ChatViewModel.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kRate = 48000;
constexpr auto kFreezeAfterSignal = std::chrono::milliseconds(1500);
constexpr auto kFreeze = std::chrono::seconds(17);

// Samples of signal on channel 0 of the sink's monitor (the blocks carry it alone), counted as
// they arrive.
class SignalCounter {
 public:
  bool start(const char* monitor) {
    if (connection_.connect() != 0) return false;
    pulse::RecordStream::Callbacks callbacks;
    callbacks.onBlock = [this](const float* samples, uint32_t frames) {
      for (uint32_t i = 0; i < frames; ++i) {
        if (std::abs(samples[i]) < 0.03f) continue;
        if (loud.fetch_add(1) == 0) first = Clock::now();
      }
    };
    stream_ = std::make_unique<pulse::RecordStream>(connection_, std::move(callbacks));
    return stream_->connect(monitor, kRate, 2, 240, true) == 0;
  }
  ~SignalCounter() { stream_.reset(); }

  std::atomic<int64_t> loud{0};
  std::atomic<Clock::time_point> first{};

 private:
  pulse::Connection connection_{"Palavrix benchmark"};
  std::unique_ptr<pulse::RecordStream> stream_;
};

double milliseconds(int64_t samples) { return double(samples) * 1000.0 / kRate; }

void BM_SignalAfterCutOff(benchmark::State& state) {
  BenchStation station;
  rigtest::Rigctld daemon(rigtest::unusedPort());
  if (!station.pulse.started() || !daemon.running()) {
    state.SkipWithError("could not start the PulseAudio server or rigctld");
    return;
  }
  SignalCounter sink;
  if (!sink.start("test_out.monitor")) {
    state.SkipWithError("could not record the sink's monitor");
    return;
  }
  AppSettings settings;
  BenchStation::useTestDevices(settings, daemon.address());
  ChatViewModel model(settings);
  if (!QTest::qWaitFor([&] { return model.isCapturing() && model.rigStatus().has_value(); },
                       20000)) {
    state.SkipWithError("capture or the rig did not start");
    return;
  }
  for (auto _ : state) {
    model.setInputText(QStringLiteral("CQ CQ DE K1ABC K1ABC FN42 K"));
    model.send();
    if (!QTest::qWaitFor(
            [&] { return sink.loud > 0 && Clock::now() - sink.first.load() > kFreezeAfterSignal; },
            20000)) {
      state.SkipWithError("the message was not heard");
      break;
    }
    kill(station.pulse.pid(), SIGSTOP);
    const Clock::time_point frozen = Clock::now();
    const int64_t heardBefore = sink.loud;
    const bool released = QTest::qWaitFor(
        [&] { return !model.isSending() && rigtest::askRigctld(daemon.port(), "t") == "0"; },
        int(std::chrono::milliseconds(kFreeze).count()));
    const double releaseMs =
        std::chrono::duration<double, std::milli>(Clock::now() - frozen).count();
    while (Clock::now() - frozen < kFreeze) QTest::qWait(50);
    kill(station.pulse.pid(), SIGCONT);
    QTest::qWait(5000);  // what the server held would play within its two seconds
    state.counters["released"] = released;
    state.counters["release_after_freeze_ms"] = releaseMs;
    state.counters["heard_before_freeze_ms"] = milliseconds(heardBefore);
    state.counters["heard_after_thaw_ms"] = milliseconds(sink.loud - heardBefore);
    state.counters["marked_incomplete"] =
        model.messages()->at(0).decodeState == ChatMessage::DecodeState::incomplete;
  }
}
BENCHMARK(BM_SignalAfterCutOff)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
