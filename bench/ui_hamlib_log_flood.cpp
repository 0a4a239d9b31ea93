// The Hamlib log window under a flood: 100 000 entries arriving in bursts while the window shows
// the newest, follows it and holds a long entry's whole text under the list. Per burst of 1000
// appends with their repaint, offscreen, at the window's first size.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QListView>

#include "rig/HamlibLog.h"
#include "ui/HamlibLogView.h"

namespace {

constexpr int kBurst = 1000;
constexpr int kFlood = 100000;

void BM_FloodInBursts(benchmark::State& state) {
  HamlibLog log;
  HamlibLogView view(log);
  view.show();
  const QString longText = QStringLiteral("read_string_generic(): RX 64 characters, direct=1, ") +
                           QStringLiteral("0x30 ").repeated(200);
  log.append(QDateTime::currentDateTime(), HamlibLogLevel::trace, false, longText);
  view.findChild<QListView*>(QStringLiteral("entries"))->setCurrentIndex(log.index(0));
  QApplication::processEvents();
  const QString text = QStringLiteral("rig_get_freq: cache hit age=12ms");
  for (auto _ : state) {
    for (int i = 0; i < kBurst; ++i) {
      log.append(QDateTime::currentDateTime(), HamlibLogLevel::cache, false, text);
    }
    QApplication::processEvents();
  }
  state.SetItemsProcessed(state.iterations() * kBurst);
}
BENCHMARK(BM_FloodInBursts)->Iterations(kFlood / kBurst)->Unit(benchmark::kMillisecond);

}  // namespace
