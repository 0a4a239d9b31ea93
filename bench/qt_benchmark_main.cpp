// The entry point of the benchmarks that need Qt: an application for its event loop and queued
// calls (with widgets, offscreen unless the environment names a platform), and the audio layer's
// log lines silenced, as they would drown the tables.
#include <benchmark/benchmark.h>

#ifdef PALAVRIX_BENCHMARK_WIDGETS
#include <QApplication>
using Application = QApplication;
#else
#include <QCoreApplication>
using Application = QCoreApplication;
#endif

int main(int argc, char** argv) {
  qputenv("QT_LOGGING_RULES", "palavrix.audio=false");
#ifdef PALAVRIX_BENCHMARK_WIDGETS
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
  Application app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
