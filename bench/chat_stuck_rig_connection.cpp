// How soon the operator hears of rig calls stuck in the connection to a rig daemon that stopped
// with its connection queue full, and how soon push-to-talk goes off once it runs again. A
// two-frame message is sent through rigctld; 0.5 s after push-to-talk goes on the daemon is
// stopped (SIGSTOP) and its queue filled, and it is let run again (SIGCONT) 30 s after the stop,
// deep in the kernel's back-off of a connection that would still be waiting. Then, with nothing
// under way, the same stop meets a frequency pick. Reports when the release went out (the end of
// the message) and was said, counted from the stop, when push-to-talk went off, counted from the
// daemon's resumption, and when the pick was said.
//
// Starts its own PulseAudio server with the tests' launcher and its own rigctld, and stops both.
#include <benchmark/benchmark.h>
#include <signal.h>

#include <QtTest/QTest>
#include <chrono>

#include "BenchStation.h"
#include "PulseServer.h"
#include "RigctldServer.h"
#include "chat/AppSettings.h"
#include "chat/ChatViewModel.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kStopAfterKeying = std::chrono::milliseconds(500);
constexpr auto kStopped = std::chrono::seconds(30);

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void BM_StuckRigConnection(benchmark::State& state) {
  BenchStation station;
  rigtest::Rigctld daemon(rigtest::unusedPort());
  if (!station.pulse.started() || !daemon.running()) {
    state.SkipWithError("could not start the PulseAudio server or rigctld");
    return;
  }
  AppSettings settings;
  BenchStation::useTestDevices(settings, daemon.address());
  ChatViewModel model(settings);
  auto rigAnswers = [&] { return model.rigStatus().value_or("").contains(" MHz  "); };
  if (!QTest::qWaitFor([&] { return model.isCapturing() && rigAnswers(); }, 20000)) {
    state.SkipWithError("capture or the rig did not start");
    return;
  }
  for (auto _ : state) {
    model.setInputText(QStringLiteral("CQ CQ DE PX1"));
    model.send();
    if (!QTest::qWaitFor([&] { return rigtest::askRigctld(daemon.port(), "t") == "1"; }, 10000)) {
      state.SkipWithError("push-to-talk did not go on");
      break;
    }
    QTest::qWait(int(kStopAfterKeying.count()));
    kill(daemon.pid(), SIGSTOP);
    Clock::time_point stopped = Clock::now();
    auto queue = std::make_unique<rigtest::FullConnectionQueue>(daemon.port());
    const bool releaseOut = QTest::qWaitFor([&] { return !model.isSending(); }, 60000);
    state.counters["release_out_after_stop_s"] = releaseOut ? secondsSince(stopped) : -1;
    const bool toldOfRelease =
        QTest::qWaitFor([&] { return model.alertMessage().has_value(); }, 60000);
    state.counters["release_alert_after_stop_s"] = toldOfRelease ? secondsSince(stopped) : -1;
    while (Clock::now() - stopped < kStopped) QTest::qWait(50);
    kill(daemon.pid(), SIGCONT);
    const Clock::time_point resumed = Clock::now();
    queue.reset();
    const bool released = QTest::qWaitFor(
        [&] {
          return !model.pushToTalkMayBeOn() && rigtest::askRigctld(daemon.port(), "t") == "0";
        },
        120000);
    state.counters["ptt_off_after_cont_s"] = released ? secondsSince(resumed) : -1;

    model.setAlertMessage(std::nullopt);
    if (!QTest::qWaitFor(rigAnswers, 20000)) {
      state.SkipWithError("the rig did not answer again");
      break;
    }
    kill(daemon.pid(), SIGSTOP);
    queue = std::make_unique<rigtest::FullConnectionQueue>(daemon.port());
    const Clock::time_point picked = Clock::now();
    model.tune(14.074);
    const bool toldOfTune =
        QTest::qWaitFor([&] { return model.alertMessage().has_value(); }, 60000);
    state.counters["tune_alert_after_pick_s"] = toldOfTune ? secondsSince(picked) : -1;
    kill(daemon.pid(), SIGCONT);
    queue.reset();
  }
}
BENCHMARK(BM_StuckRigConnection)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
