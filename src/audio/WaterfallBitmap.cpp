#include "audio/WaterfallBitmap.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace {

struct ColorStop {
  float position;
  float red, green, blue;
};

// Dark blue for the noise floor through cyan and yellow to red for strong signals.
constexpr std::array<ColorStop, 5> kColorStops = {{
    {0.0f, 8, 10, 30},
    {0.35f, 20, 40, 170},
    {0.55f, 30, 180, 170},
    {0.75f, 230, 210, 40},
    {1.0f, 235, 40, 30},
}};

constexpr float kBottomDb = -90.0f;
constexpr float kRangeDb = 70.0f;
constexpr int kBytesPerPixel = 4;

std::array<uint8_t, 3> colorForDb(float db) {
  float t = (db - kBottomDb) / kRangeDb;
  t = std::isnan(t) ? 0.0f : std::clamp(t, 0.0f, 1.0f);
  std::size_t segment = 0;
  while (segment + 2 < kColorStops.size() && t > kColorStops[segment + 1].position) ++segment;
  const ColorStop& start = kColorStops[segment];
  const ColorStop& end = kColorStops[segment + 1];
  const float length = end.position - start.position;
  const float f = length > 0.0f ? (t - start.position) / length : 0.0f;
  const auto channel = [f](float from, float to) {
    return static_cast<uint8_t>(std::clamp(from + f * (to - from), 0.0f, 255.0f));
  };
  return {channel(start.red, end.red), channel(start.green, end.green),
          channel(start.blue, end.blue)};
}

}  // namespace

WaterfallBitmap::WaterfallBitmap(QObject* parent) : QObject(parent) {}

void WaterfallBitmap::push(std::span<const float> row) {
  if (row.empty()) return;
  const std::size_t rowBytes = row.size() * kBytesPerPixel;
  if (row.size() != static_cast<std::size_t>(width_)) {
    width_ = static_cast<int>(row.size());
    const auto dark = colorForDb(kBottomDb);
    pixels_.resize(rowBytes * kRows);
    for (std::size_t i = 0; i < pixels_.size(); i += kBytesPerPixel) {
      pixels_[i] = dark[0];
      pixels_[i + 1] = dark[1];
      pixels_[i + 2] = dark[2];
      pixels_[i + 3] = 255;
    }
  }
  std::memmove(pixels_.data() + rowBytes, pixels_.data(), rowBytes * (kRows - 1));
  for (std::size_t i = 0; i < row.size(); ++i) {
    const auto color = colorForDb(row[i]);
    uint8_t* pixel = pixels_.data() + i * kBytesPerPixel;
    pixel[0] = color[0];
    pixel[1] = color[1];
    pixel[2] = color[2];
    pixel[3] = 255;
  }
  // The published image owns its own copy, so later rows never change what observers hold.
  image_ = QImage(pixels_.data(), width_, kRows, static_cast<qsizetype>(rowBytes),
                  QImage::Format_RGBX8888)
               .copy();
  emit imageChanged();
}
