// The waterfall picture: the last 90 spectrum rows as an RGB image, newest row on top, published
// anew after every row. Main thread only.
#pragma once

#include <QImage>
#include <QObject>
#include <cstdint>
#include <span>
#include <vector>

class WaterfallBitmap final : public QObject {
  Q_OBJECT
  Q_PROPERTY(QImage image READ image NOTIFY imageChanged)

 public:
  static constexpr int kRows = 90;

  explicit WaterfallBitmap(QObject* parent = nullptr);

  // Null until the first row arrives.
  QImage image() const { return image_; }

  // Shifts the picture down one line and colours the row (levels in dB) into its top line. A row
  // of another length than the last starts a dark picture at the new width; an empty row is
  // ignored.
  void push(std::span<const float> row);

 signals:
  void imageChanged();

 private:
  QImage image_;
  int width_ = 0;
  std::vector<uint8_t> pixels_;  // width_ × kRows pixels of R, G, B, 255, row 0 on top
};
