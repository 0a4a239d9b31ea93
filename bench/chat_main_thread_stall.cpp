// The main thread's longest stall while the whole chat loop runs: a 10 ms heartbeat timer's
// worst lateness while the controller captures, sends messages with push-to-talk through rigctld
// (polled every second here, five times as often as in the program), hears them back through a
// private PulseAudio server's loopback, and tunes the rig. The controller's construction, which
// starts capture and the device monitor on the main thread, is reported on its own.
//
// Starts its own PulseAudio server and rigctld with the tests' launchers and stops them.
#include <benchmark/benchmark.h>

#include <QElapsedTimer>
#include <QTimer>
#include <QtTest/QTest>
#include <algorithm>
#include <cstdio>

#include "BenchStation.h"
#include "MainThreadHeartbeat.h"
#include "PulseServer.h"
#include "RigctldServer.h"
#include "audio/WaterfallBitmap.h"
#include "chat/AppSettings.h"
#include "chat/ChatViewModel.h"

namespace {

void BM_MainThreadStallDuringChatLoop(benchmark::State& state) {
  BenchStation station;
  rigtest::Rigctld rigctld;
  if (!station.pulse.started() || !rigctld.running()) {
    state.SkipWithError("could not start the PulseAudio server or rigctld");
    return;
  }
  AppSettings settings;
  BenchStation::useTestDevices(settings, rigctld.address());
  ChatViewModel::Timing timing;
  timing.rigPollInterval = std::chrono::milliseconds(1000);

  for (auto _ : state) {
    QElapsedTimer construction;
    construction.start();
    ChatViewModel model(settings, timing);
    const double constructionMs = double(construction.nsecsElapsed()) / 1e6;
    int rows = 0;
    QObject::connect(&model.waterfall(), &WaterfallBitmap::imageChanged, [&] { ++rows; });
    if (!QTest::qWaitFor([&] { return rows >= 25 && model.rigStatus().has_value(); }, 10000)) {
      state.SkipWithError("capture or the rig did not start");
      break;
    }

    MainThreadHeartbeat heartbeat(20);
    heartbeat.start();
    const char* texts[] = {"CQ DE PALAVRIX TEST", "TNX FER CALL 73"};
    double longestSendMs = 0.0;
    for (const char* text : texts) {
      const qsizetype before = model.messages()->size();
      model.setInputText(QString::fromLatin1(text));
      QElapsedTimer sending;
      sending.start();
      model.send();  // encodes on the main thread
      longestSendMs = std::max(longestSendMs, double(sending.nsecsElapsed()) / 1e6);
      model.tune(7.074);
      const bool heard = QTest::qWaitFor(
          [&] {
            const auto& all = model.messages()->all();
            return !model.isSending() &&
                   std::any_of(all.begin() + before, all.end(), [](const ChatMessage& m) {
                     return !m.isSent && m.decodeState == ChatMessage::DecodeState::complete;
                   });
          },
          30000);
      if (!heard) state.SkipWithError("a message was not heard back");
    }
    state.counters["worst_stall_ms"] = heartbeat.worstMs();
    state.counters["heartbeats"] = double(heartbeat.ticks());
    state.counters["late_over_20ms"] = double(heartbeat.lateTicks());
    state.counters["send_call_ms"] = longestSendMs;
    state.counters["construction_ms"] = constructionMs;
    state.counters["received"] =
        double(std::count_if(model.messages()->all().begin(), model.messages()->all().end(),
                             [](const ChatMessage& m) { return !m.isSent; }));
  }
}
BENCHMARK(BM_MainThreadStallDuringChatLoop)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
