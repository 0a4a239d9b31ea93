// The waterfall strip across the top of the main window: the waterfall image stretched to the
// strip, with a faint vertical marker at the default transmit tone. Reads WaterfallBitmap::image
// and repaints whenever a new row arrives. Main thread.
#pragma once

#include <QPointer>
#include <QWidget>
#include <optional>

class WaterfallBitmap;

class SpectrumView final : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kHeight = 90;

  SpectrumView(WaterfallBitmap& bitmap, int lowHz, int highHz, int defaultToneHz,
               QWidget* parent = nullptr);

  QSize sizeHint() const override;

  // Where the marker stands in a strip of that width, or none when the tone lies outside
  // lowHz … highHz (or the range has no width to place it in).
  static std::optional<qreal> markerX(qreal width, int lowHz, int highHz, int toneHz);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QPointer<WaterfallBitmap> bitmap_;
  int lowHz_;
  int highHz_;
  int defaultToneHz_;
};
