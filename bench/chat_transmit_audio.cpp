// How the transmit audio reaches the sink: the time from Send to the first sample at the sink,
// and the longest gap in the signal there, on an idle machine and on one busy with twice as many
// spinning processes as cores. Without a rig, so that no push-to-talk lead is counted.
//
// Starts its own PulseAudio server with the tests' launcher and stops it. The sink's monitor is
// read in 5 ms blocks; a sample's time at the sink is its block's arrival less what follows it
// in the block, so the figures hold to a few milliseconds.
#include <benchmark/benchmark.h>

#include <QtTest/QTest>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "BenchStation.h"
#include "BusyProcesses.h"
#include "PulseServer.h"
#include "audio/pulse/PulseConnection.h"
#include "audio/pulse/PulseRecordStream.h"
#include "chat/AppSettings.h"
#include "chat/ChatViewModel.h"
#include "modem/KvolDecoder.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kRate = 48000;
constexpr uint32_t kBlockFrames = 240;

// Channel 0 of the sink's monitor, with the arrival time of every block.
class SinkRecorder {
 public:
  bool start(const char* monitor) {
    if (connection_.connect() != 0) return false;
    pulse::RecordStream::Callbacks callbacks;
    callbacks.onBlock = [this](const float* samples, uint32_t frames) {
      const Clock::time_point now = Clock::now();
      std::lock_guard lock(mutex_);
      samples_.insert(samples_.end(), samples, samples + frames);
      arrivals_.push_back(now);
    };
    stream_ = std::make_unique<pulse::RecordStream>(connection_, std::move(callbacks));
    return stream_->connect(monitor, kRate, 2, kBlockFrames, true) == 0;
  }
  ~SinkRecorder() { stream_.reset(); }

  size_t size() {
    std::lock_guard lock(mutex_);
    return samples_.size();
  }
  std::vector<float> samples(size_t from) {
    std::lock_guard lock(mutex_);
    return {samples_.begin() + std::ptrdiff_t(std::min(from, samples_.size())), samples_.end()};
  }
  // When the sample was at the sink.
  Clock::time_point timeOf(size_t index) {
    std::lock_guard lock(mutex_);
    const size_t block = index / kBlockFrames;
    const size_t after = (block + 1) * kBlockFrames - index;
    return arrivals_.at(block) - std::chrono::microseconds(after * 1'000'000 / kRate);
  }

 private:
  pulse::Connection connection_{"Palavrix benchmark"};
  std::unique_ptr<pulse::RecordStream> stream_;
  std::mutex mutex_;
  std::vector<float> samples_;
  std::vector<Clock::time_point> arrivals_;
};

struct Heard {
  size_t first = 0;  // of the signal, in the samples given
  size_t last = 0;
  size_t longestGap = 0;
};

// The signal in the samples: its first and last samples above a tenth of the peak, and the
// longest run at or below that level between them.
template <typename Sample>
std::optional<Heard> measure(std::span<const Sample> samples, double fullScale) {
  double peak = 0.0;
  for (Sample sample : samples) peak = std::max(peak, std::abs(double(sample)));
  if (peak < 0.01 * fullScale) return std::nullopt;
  const double threshold = peak / 10.0;
  Heard heard;
  bool started = false;
  size_t run = 0;
  for (size_t i = 0; i < samples.size(); ++i) {
    if (std::abs(double(samples[i])) > threshold) {
      if (!started) heard.first = i;
      started = true;
      heard.last = i;
      heard.longestGap = std::max(heard.longestGap, run);
      run = 0;
    } else if (started) {
      ++run;
    }
  }
  return heard;
}

// Sends the text and waits until it has ended and a quarter of a second of silence has followed
// it at the sink. What was heard, and when Send was pressed.
std::optional<std::pair<Heard, Clock::time_point>> transmit(ChatViewModel& model,
                                                            SinkRecorder& recorder,
                                                            const QString& text, size_t from) {
  model.setInputText(text);
  const Clock::time_point sent = Clock::now();
  model.send();
  std::optional<Heard> heard;
  const bool ended = QTest::qWaitFor(
      [&] {
        const std::vector<float> samples = recorder.samples(from);
        heard = measure(std::span<const float>(samples), 1.0);
        return !model.isSending() && heard && heard->last + kRate / 4 < samples.size();
      },
      30000);
  if (!ended) return std::nullopt;
  return std::pair(*heard, sent);
}

double milliseconds(size_t samples) { return double(samples) * 1000.0 / kRate; }

void BM_SendToSink(benchmark::State& state) {
  BenchStation station;
  if (!station.pulse.started()) {
    state.SkipWithError("could not start the PulseAudio server");
    return;
  }
  SinkRecorder recorder;
  if (!recorder.start("test_out.monitor")) {
    state.SkipWithError("could not record the sink's monitor");
    return;
  }
  AppSettings settings;
  BenchStation::useTestDevices(settings);
  ChatViewModel model(settings);
  const QString text = QStringLiteral("CQ K1ABC");
  // A fresh server's null sink plays its first stream up to two seconds late: not ours to count.
  if (!QTest::qWaitFor([&] { return model.isCapturing(); }, 10000) ||
      !transmit(model, recorder, text, recorder.size())) {
    state.SkipWithError("capture did not start or the first transmission was not heard");
    return;
  }
  // The signal's own quiet stretches (between its frames), for comparison with the gaps.
  KvolDecoder encoder;
  const std::vector<int16_t> samples = encoder.encode(text.toStdString(), 1500.0f).samples;
  const std::optional<Heard> own = measure(std::span<const int16_t>(samples), 32768.0);

  std::optional<loadtest::BusyProcesses> load;
  if (state.range(0) > 0) load.emplace(int(state.range(0)));
  double worstStartMs = 0.0;
  double sumStartMs = 0.0;
  size_t longestGap = 0;
  int transmissions = 0;
  for (auto _ : state) {
    const size_t from = recorder.size();
    const auto heard = transmit(model, recorder, text, from);
    if (!heard) {
      state.SkipWithError("a transmission was not heard at the sink");
      break;
    }
    const double startMs = std::chrono::duration<double, std::milli>(
                               recorder.timeOf(from + heard->first.first) - heard->second)
                               .count();
    state.SetIterationTime(startMs / 1000.0);
    sumStartMs += startMs;
    worstStartMs = std::max(worstStartMs, startMs);
    longestGap = std::max(longestGap, heard->first.longestGap);
    ++transmissions;
  }
  state.counters["busy_processes"] = load ? load->count() : 0;
  state.counters["send_to_sink_mean_ms"] = transmissions ? sumStartMs / transmissions : 0.0;
  state.counters["send_to_sink_worst_ms"] = worstStartMs;
  state.counters["longest_gap_ms"] = milliseconds(longestGap);
  state.counters["own_longest_quiet_ms"] = own ? milliseconds(own->longestGap) : 0.0;
}
// Argument: busy processes per core.
BENCHMARK(BM_SendToSink)
    ->Arg(0)
    ->Arg(2)
    ->Iterations(10)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
