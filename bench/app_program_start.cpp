// The program as the operator starts it: time from starting the process to a painted main
// window, resident memory then, and the CPU share while it listens to noise and nothing else.
// Each run is a fresh process (this program again, in its "program" role, doing what main() does),
// on an X server and a PulseAudio server of the benchmark's own; the noise plays into the test
// server's output, whose input the program hears.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>

#include "PulseServer.h"
#include "app/MyApp.h"
#include "ui/MainWindow.h"

namespace {

constexpr int kIdleWarmUpMs = 5000;
constexpr int kIdleMeasureMs = 30000;

double monotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

double residentMegabytes() {
  QFile statm("/proc/self/statm");
  if (!statm.open(QIODevice::ReadOnly)) return 0;
  const QList<QByteArray> fields = statm.readAll().split(' ');
  return fields.size() > 1 ? fields[1].toDouble() * double(sysconf(_SC_PAGESIZE)) / 1e6 : 0;
}

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Tells when the main window has painted for the first time.
class FirstPaint : public QObject {
 public:
  std::function<void()> onPainted;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint && onPainted) {
      // Once this paint has been handled.
      QTimer::singleShot(0, this, std::exchange(onPainted, nullptr));
    }
    return false;
  }
};

// The program's role: start as main() does, report "painted MS RSS", and with "idle" measure the
// CPU share over a stretch of listening and report "idle SHARE".
int runProgram(int argc, char** argv, bool idle) {
  QApplication application(argc, argv);
  QApplication::setOrganizationName(QStringLiteral("Palavrix"));
  QApplication::setApplicationName(QStringLiteral("Palavrix"));
  MyApp app;
  FirstPaint firstPaint;
  app.mainWindow().installEventFilter(&firstPaint);
  firstPaint.onPainted = [idle] {
    std::printf("painted %.3f %.1f\n", monotonicMs(), residentMegabytes());
    std::fflush(stdout);
    if (!idle) {
      QCoreApplication::exit(0);
      return;
    }
    QTimer::singleShot(kIdleWarmUpMs, [] {
      const double cpu = cpuSeconds(), wall = monotonicMs();
      QTimer::singleShot(kIdleMeasureMs, [cpu, wall] {
        std::printf("idle %.4f %.1f\n", (cpuSeconds() - cpu) * 1e3 / (monotonicMs() - wall),
                    residentMegabytes());
        std::fflush(stdout);
        QCoreApplication::exit(0);
      });
    });
  };
  app.mainWindow().show();
  return QApplication::exec();
}

// The X server and audio server the program runs on, and where its settings live.
struct Surroundings {
  Surroundings() {
    xServer.start("Xvfb", {"-displayfd", "1", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"});
    if (xServer.waitForStarted()) {
      QDeadlineTimer deadline(10000);
      while (!xServer.canReadLine() && !deadline.hasExpired()) xServer.waitForReadyRead(100);
      display = ":" + QString::fromUtf8(xServer.readLine()).trimmed();
    }
    environment = QProcessEnvironment::systemEnvironment();
    if (display != ":") {
      environment.insert("DISPLAY", display);
      environment.remove("QT_QPA_PLATFORM");
    } else {
      environment.insert("QT_QPA_PLATFORM", "offscreen");
    }
    environment.insert("XDG_CONFIG_HOME", config.path());
    environment.insert("PULSE_SERVER", QString::fromUtf8(pulse.address()));
    environment.insert("QT_LOGGING_RULES", "palavrix.*=false");
  }
  ~Surroundings() {
    xServer.terminate();
    xServer.waitForFinished();
  }

  // Runs the program's role and gives the numbers of its report line that starts with `tag`.
  std::optional<QList<double>> run(const char* role, const QString& tag, int timeoutMs) {
    QProcess program;
    program.setProcessEnvironment(environment);
    program.start(QCoreApplication::applicationFilePath(), {role});
    program.waitForFinished(timeoutMs);
    for (const QByteArray& line : program.readAllStandardOutput().split('\n')) {
      QList<QByteArray> fields = line.split(' ');
      if (fields.first() != tag.toUtf8()) continue;
      QList<double> numbers;
      for (qsizetype i = 1; i < fields.size(); ++i) numbers.append(fields[i].toDouble());
      return numbers;
    }
    return std::nullopt;
  }

  QProcess xServer;
  QString display;
  pulsetest::PrivateServer pulse;
  QTemporaryDir config;
  QProcessEnvironment environment;
};

void BM_StartToPaintedMainWindow(benchmark::State& state) {
  Surroundings surroundings;
  double totalMs = 0, rss = 0;
  for (auto _ : state) {
    const double started = monotonicMs();
    const auto report = surroundings.run("--program", "painted", 30000);
    if (!report || report->size() < 2) {
      state.SkipWithError("the program reported no painted window");
      return;
    }
    totalMs += report->at(0) - started;
    rss = report->at(1);
  }
  state.counters["start_ms"] = totalMs / double(state.iterations());
  state.counters["rss_MB"] = rss;
  state.counters["x11"] = surroundings.display != ":";
}
BENCHMARK(BM_StartToPaintedMainWindow)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_IdleOnNoise(benchmark::State& state) {
  Surroundings surroundings;
  // White noise at about -20 dBFS into the server's output, which its input hears.
  QProcess noise;
  noise.setProcessEnvironment(surroundings.environment);
  noise.start("pacat", {"--playback", "--raw", "--format=s16le", "--rate=12000", "--channels=1",
                        "-d", "test_out"});
  noise.waitForStarted();
  const int seconds = (kIdleWarmUpMs + kIdleMeasureMs) / 1000 + 20;
  QByteArray samples(seconds * 12000 * 2, Qt::Uninitialized);
  auto* out = reinterpret_cast<int16_t*>(samples.data());
  QRandomGenerator random(3);
  for (int i = 0; i < seconds * 12000; ++i) {
    out[i] = int16_t(std::lround((random.generateDouble() * 2 - 1) * 5600));
  }
  noise.write(samples);
  noise.closeWriteChannel();
  for (auto _ : state) {
    const auto report = surroundings.run("--idle", "idle", kIdleWarmUpMs + kIdleMeasureMs + 60000);
    if (!report || report->size() < 2) {
      state.SkipWithError("the program reported no idle share");
      break;
    }
    state.counters["cpu_share_%"] = report->at(0) * 100;
    state.counters["rss_after_35s_MB"] = report->at(1);
  }
  noise.kill();
  noise.waitForFinished();
}
BENCHMARK(BM_IdleOnNoise)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--program") == 0) return runProgram(argc, argv, false);
  if (argc > 1 && std::strcmp(argv[1], "--idle") == 0) return runProgram(argc, argv, true);
  QCoreApplication application(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
