// The entry point of the controller's benchmarks: they need a Qt application for its event loop
// and queued calls, and the audio layer's log lines would drown the tables.
#include <benchmark/benchmark.h>

#include <QCoreApplication>

int main(int argc, char** argv) {
  qputenv("QT_LOGGING_RULES", "palavrix.audio=false");
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
