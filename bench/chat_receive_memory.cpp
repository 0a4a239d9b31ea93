// Memory of the receive path over an hour of a busy band, fed to the controller's captured-samples
// handler faster than real time: resident memory after the first minute, the half hour and the
// hour, and the growth over the second half hour. The band is a minute of ten stations sending over
// noise, played again and again; what the transcript gains meanwhile is reported with it, as that
// growth is wanted.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include "chat/AppSettings.h"
#include "chat/ChatViewModel.h"
#include "kvol_channel.h"

namespace {

constexpr std::size_t kBlock = 512;  // 2048 frames captured at 48 000 Hz
constexpr double kBlockSeconds = double(kBlock) / kvol_channel::kRate;
constexpr double kBandSeconds = 60.0;
constexpr double kHourSeconds = 3600.0;
constexpr double kSigma = 1000.0;

double residentMegabytes() {
  QFile statm("/proc/self/statm");
  if (!statm.open(QIODevice::ReadOnly)) return 0;
  const QList<QByteArray> fields = statm.readAll().split(' ');
  return fields.size() > 1 ? fields[1].toDouble() * double(sysconf(_SC_PAGESIZE)) / 1e6 : 0;
}

void BM_ReceiveHourOfBusyBand(benchmark::State& state) {
  // No audio server: the controller's own capture stays off and the benchmark feeds it.
  qputenv("PULSE_SERVER", "unix:/nonexistent/palavrix-bench/native");
  QTemporaryDir home;
  qputenv("XDG_CONFIG_HOME", home.path().toUtf8());
  AppSettings settings;
  ChatViewModel::Timing timing;
  timing.captureRetryInterval = std::chrono::hours(1);
  ChatViewModel model(settings, timing);
  const std::vector<int16_t> band = kvol_channel::busy_band(10, kBandSeconds, kSigma);
  const std::size_t bandBlocks = band.size() / kBlock;
  const auto hourBlocks = std::size_t(kHourSeconds / kBlockSeconds);
  const auto minuteBlocks = std::size_t(60.0 / kBlockSeconds);

  for (auto _ : state) {
    double afterMinute = 0, afterHalfHour = 0;
    qsizetype messagesAfterHalfHour = 0;
    for (std::size_t n = 0; n < hourBlocks; ++n) {
      model.handleCapturedSamples(
          std::span<const int16_t>(band.data() + (n % bandBlocks) * kBlock, kBlock));
      // What the handler posted is taken on the main thread, as in the program.
      if (n % 64 == 0) QCoreApplication::processEvents();
      if (n + 1 == minuteBlocks) {
        QCoreApplication::processEvents();
        afterMinute = residentMegabytes();
      }
      if (n + 1 == hourBlocks / 2) {
        QCoreApplication::processEvents();
        afterHalfHour = residentMegabytes();
        messagesAfterHalfHour = model.messages()->size();
      }
    }
    QCoreApplication::processEvents();
    const double afterHour = residentMegabytes();
    state.counters["rss_1min_MB"] = afterMinute;
    state.counters["rss_30min_MB"] = afterHalfHour;
    state.counters["rss_60min_MB"] = afterHour;
    // The receive buffer fills during the first ten minutes; after that only the transcript
    // should grow.
    state.counters["growth_2nd_half_MB"] = afterHour - afterHalfHour;
    state.counters["messages_2nd_half"] = double(model.messages()->size() - messagesAfterHalfHour);
  }
  state.counters["x_realtime"] =
      benchmark::Counter(double(state.iterations()) * kHourSeconds, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReceiveHourOfBusyBand)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

}  // namespace
