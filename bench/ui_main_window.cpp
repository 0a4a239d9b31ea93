// The main window's cost on the main thread as the transcript grows: one live bubble's text
// update (the list's row change, that row's relayout, the scroll to the end and the repaint), one
// new message, and one waterfall row's repaint. Offscreen, at the window's first size.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QScrollBar>
#include <memory>
#include <vector>

#include "audio/WaterfallBitmap.h"
#include "chat/ChatMessageList.h"
#include "ui/SpectrumView.h"
#include "ui/TranscriptView.h"

namespace {

const QString kText = QStringLiteral(
    "CQ CQ DE DL1ABC DL1ABC PSE K UR RST 579 NAME HANS QTH MUNICH RIG 50W DIPOLE 73 ES GL");

ChatMessage message(int i, ChatMessage::DecodeState state) {
  return {QUuid::createUuid(),
          kText.left(20 + i % 60),
          i % 3 == 0,
          state,
          QDateTime::currentDateTime(),
          i % 3 == 0 ? std::nullopt : std::optional<int>(i % 20)};
}

// A transcript of `count` finished messages and one still arriving at its end, shown and
// scrolled to the end.
struct Transcript {
  explicit Transcript(int count) : view(messages) {
    for (int i = 0; i < count; ++i) messages.append(message(i, ChatMessage::DecodeState::complete));
    messages.append(message(0, ChatMessage::DecodeState::inProgress));
    view.resize(420, 420);
    view.show();
    QApplication::processEvents();
  }

  // Lets the scroll animation reach the end, as it does between two decoder updates.
  void settle() {
    QScrollBar* bar = view.verticalScrollBar();
    bar->setValue(bar->maximum());
    view.viewport()->repaint();
  }

  ChatMessageList messages;
  TranscriptView view;
};

void BM_LiveBubbleUpdate(benchmark::State& state) {
  Transcript transcript(static_cast<int>(state.range(0)));
  const qsizetype row = transcript.messages.size() - 1;
  ChatMessage live = transcript.messages.at(row);
  int length = 0;
  for (auto _ : state) {
    live.text = kText.left(++length % kText.size());
    transcript.messages.replace(row, live);
    transcript.settle();
  }
}
BENCHMARK(BM_LiveBubbleUpdate)->Arg(100)->Arg(1000)->Arg(5000)->Unit(benchmark::kMicrosecond);

void BM_AppendMessage(benchmark::State& state) {
  Transcript transcript(static_cast<int>(state.range(0)));
  int i = 0;
  for (auto _ : state) {
    transcript.messages.append(message(++i, ChatMessage::DecodeState::complete));
    transcript.settle();
    state.PauseTiming();
    transcript.messages.removeAt(transcript.messages.size() - 1);
    state.ResumeTiming();
  }
}
BENCHMARK(BM_AppendMessage)->Arg(100)->Arg(1000)->Arg(5000)->Unit(benchmark::kMicrosecond);

// For comparison: a change of width lays every message out again.
void BM_ResizeTranscript(benchmark::State& state) {
  Transcript transcript(static_cast<int>(state.range(0)));
  int width = 420;
  for (auto _ : state) {
    width = width == 420 ? 421 : 420;
    transcript.view.resize(width, 420);
    transcript.view.viewport()->repaint();
  }
}
BENCHMARK(BM_ResizeTranscript)->Arg(100)->Arg(1000)->Arg(5000)->Unit(benchmark::kMillisecond);

void BM_WaterfallRow(benchmark::State& state) {
  WaterfallBitmap bitmap;
  SpectrumView view(bitmap, 1400, 1700, 1500);
  view.resize(420, SpectrumView::kHeight);
  view.show();
  std::vector<float> row(412);
  int n = 0;
  for (auto _ : state) {
    for (float& level : row) level = -90.0f + static_cast<float>((n++ * 7919) % 70);
    bitmap.push(row);
    view.repaint();
  }
}
BENCHMARK(BM_WaterfallRow)->Unit(benchmark::kMicrosecond);

}  // namespace
