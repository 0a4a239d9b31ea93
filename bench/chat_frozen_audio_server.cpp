// The main thread's longest stall while the audio server is frozen (SIGSTOP) for 30 s and the
// operator goes on as usual: sends a message, holds the test tone for a second, and a received
// message completes (with the new-message sound on). A 10 ms heartbeat timer's worst lateness
// is the stall; capture's restarts and the device monitor's reconnects run all the while.
//
// Starts its own PulseAudio server with the tests' launcher, thaws and stops it.
#include <benchmark/benchmark.h>
#include <signal.h>

#include <QElapsedTimer>
#include <QTimer>
#include <QtTest/QTest>
#include <algorithm>

#include "BenchStation.h"
#include "MainThreadHeartbeat.h"
#include "PulseServer.h"
#include "audio/PlaybackEngine.h"
#include "chat/AppSettings.h"
#include "chat/ChatViewModel.h"

namespace {

constexpr int kFreezeMs = 30000;

// How long a call took on the main thread.
template <typename Call>
double millisecondsOf(Call call) {
  QElapsedTimer clock;
  clock.start();
  call();
  return double(clock.nsecsElapsed()) / 1e6;
}

void BM_MainThreadStallWhileTheAudioServerIsFrozen(benchmark::State& state) {
  BenchStation station;
  pulsetest::PrivateServer& pulse = station.pulse;
  if (!pulse.started() || pulse.pid() <= 0) {
    state.SkipWithError("could not start the PulseAudio server");
    return;
  }
  AppSettings settings;
  settings.setPlayNewMessageSound(true);
  BenchStation::useTestDevices(settings);

  for (auto _ : state) {
    ChatViewModel model(settings);
    if (!QTest::qWaitFor([&] { return model.isCapturing(); }, 10000)) {
      state.SkipWithError("capture did not start");
      break;
    }
    MainThreadHeartbeat heartbeat(100);
    heartbeat.start();
    QElapsedTimer frozen;
    ::kill(pulse.pid(), SIGSTOP);
    frozen.start();

    QTest::qWait(1000);
    model.setInputText(QStringLiteral("CQ DE PALAVRIX"));
    const double sendMs = millisecondsOf([&] { model.send(); });
    const bool ended = QTest::qWaitFor([&] { return !model.isSending(); }, 20000);
    const double toneMs = millisecondsOf([&] { model.playTestTone(); });
    QTest::qWait(1000);
    model.playbackEngine().stopPlayer();
    model.stopOutputMeter();
    const double receiveMs = millisecondsOf([&] {
      model.handleDecoderUpdate({1, "CQ DE DL1ABC", 1500.0f, true, -8, 2, 46});
    });
    QTest::qWait(std::max<qint64>(0, kFreezeMs - frozen.elapsed()));

    ::kill(pulse.pid(), SIGCONT);
    state.counters["worst_stall_ms"] = heartbeat.worstMs();
    state.counters["stalls_over_100ms"] = double(heartbeat.lateTicks());
    state.counters["send_call_ms"] = sendMs;
    state.counters["tone_call_ms"] = toneMs;
    state.counters["receive_call_ms"] = receiveMs;
    state.counters["frozen_s"] = double(frozen.elapsed()) / 1000.0;
    if (!ended) state.SkipWithError("the transmission never ended");
  }
  ::kill(pulse.pid(), SIGCONT);
}
BENCHMARK(BM_MainThreadStallWhileTheAudioServerIsFrozen)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace
