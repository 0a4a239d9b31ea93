#include "audio/WaterfallBitmap.h"

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <limits>
#include <vector>

namespace {

struct Rgb {
  int red, green, blue;
  bool operator==(const Rgb&) const = default;
};

void PrintTo(const Rgb& c, std::ostream* os) {
  *os << "(" << c.red << ", " << c.green << ", " << c.blue << ")";
}

Rgb pixelAt(const QImage& image, int x, int y) {
  const QRgb p = image.pixel(x, y);
  return {qRed(p), qGreen(p), qBlue(p)};
}

constexpr Rgb kDark = {8, 10, 30};    // -90 dB and below
constexpr Rgb kBlue = {22, 75, 170};  // -62 dB
constexpr Rgb kGreen = {80, 187, 137};
constexpr Rgb kRed = {235, 40, 30};  // -20 dB and above

bool rowIs(const QImage& image, int y, Rgb color) {
  for (int x = 0; x < image.width(); ++x) {
    if (!(pixelAt(image, x, y) == color)) return false;
  }
  return true;
}

TEST(WaterfallBitmap, ColoursLevelsAlongItsScale) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const std::pair<float, Rgb> cases[] = {
      {-inf, kDark},    {-200.0f, kDark},         {-90.0f, kDark}, {nan, kDark}, {-62.0f, kBlue},
      {-48.0f, kGreen}, {-34.0f, {231, 176, 38}}, {-20.0f, kRed},  {0.0f, kRed}, {inf, kRed},
  };
  std::vector<float> row;
  for (const auto& c : cases) row.push_back(c.first);
  WaterfallBitmap waterfall;
  waterfall.push(row);
  const QImage image = waterfall.image();
  ASSERT_EQ(image.width(), int(row.size()));
  for (int x = 0; x < image.width(); ++x)
    EXPECT_EQ(pixelAt(image, x, 0), cases[x].second) << row[x];
  // Single-precision truncation: just below a whole number stays below it.
  waterfall.push(std::vector<float>{-55.5f});
  EXPECT_EQ(pixelAt(waterfall.image(), 0, 0).green, 139);
}

// A view may still be drawing an earlier image when the next row arrives: it must not change.
TEST(WaterfallBitmap, ScrollsDownOneRowPerPushKeepsPublishedImagesAndStartsAfreshOnANewWidth) {
  WaterfallBitmap waterfall;
  QSignalSpy spy(&waterfall, &WaterfallBitmap::imageChanged);
  waterfall.push({});
  EXPECT_TRUE(waterfall.image().isNull());
  waterfall.push(std::vector<float>(8, -20.0f));
  const QImage first = waterfall.image();
  waterfall.push(std::vector<float>(8, -62.0f));
  QImage image = waterfall.image();
  ASSERT_EQ(image.size(), QSize(8, 90));
  EXPECT_TRUE(rowIs(image, 0, kBlue) && rowIs(image, 1, kRed) && rowIs(image, 2, kDark));
  EXPECT_TRUE(rowIs(first, 0, kRed) && rowIs(first, 1, kDark));

  const std::vector<float> quiet(8, -90.0f);
  for (int i = 0; i < 88; ++i) waterfall.push(quiet);
  EXPECT_TRUE(rowIs(waterfall.image(), 89, kRed) && rowIs(waterfall.image(), 88, kBlue));
  waterfall.push(quiet);
  EXPECT_TRUE(rowIs(waterfall.image(), 89, kBlue));
  waterfall.push(quiet);
  for (int y = 0; y < 90; ++y) ASSERT_TRUE(rowIs(waterfall.image(), y, kDark)) << "row " << y;
  EXPECT_EQ(spy.count(), 92);

  waterfall.push(std::vector<float>(10, -48.0f));
  image = waterfall.image();
  ASSERT_EQ(image.size(), QSize(10, 90));
  EXPECT_TRUE(rowIs(image, 0, kGreen));
  for (int y = 1; y < 90; ++y) ASSERT_TRUE(rowIs(image, y, kDark)) << "row " << y;
}

}  // namespace
