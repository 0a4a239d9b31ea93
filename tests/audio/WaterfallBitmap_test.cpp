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

constexpr Rgb kDark = {8, 10, 30};

// Every pixel of the given image row has the colour.
bool rowIs(const QImage& image, int y, Rgb color) {
  for (int x = 0; x < image.width(); ++x) {
    if (!(pixelAt(image, x, y) == color)) return false;
  }
  return true;
}

TEST(WaterfallBitmap, ColoursLevelsAlongItsScale) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const struct {
    float db;
    Rgb color;
  } cases[] = {
      {-inf, kDark},
      {-200.0f, kDark},
      {-90.0f, kDark},
      {nan, kDark},
      {-62.0f, {22, 75, 170}},
      {-48.0f, {80, 187, 137}},
      {-34.0f, {231, 176, 38}},
      {-20.0f, {235, 40, 30}},
      {0.0f, {235, 40, 30}},
      {inf, {235, 40, 30}},
  };
  std::vector<float> row;
  for (const auto& c : cases) row.push_back(c.db);
  WaterfallBitmap waterfall;
  waterfall.push(row);
  const QImage image = waterfall.image();
  ASSERT_EQ(image.width(), static_cast<int>(row.size()));
  for (int x = 0; x < image.width(); ++x) {
    SCOPED_TRACE(row[x]);
    EXPECT_EQ(pixelAt(image, x, 0), cases[x].color);
  }
  // Single-precision truncation: just below a whole number stays below it.
  const std::vector<float> edge = {-55.5f};
  waterfall.push(edge);
  EXPECT_EQ(pixelAt(waterfall.image(), 0, 0).green, 139);
}

TEST(WaterfallBitmap, ScrollsDownOneRowPerPushAndDropsTheOldest) {
  WaterfallBitmap waterfall;
  QSignalSpy spy(&waterfall, &WaterfallBitmap::imageChanged);
  const std::vector<float> loud(8, -20.0f);
  const std::vector<float> quiet(8, -90.0f);
  const std::vector<float> middle(8, -62.0f);
  waterfall.push(loud);
  waterfall.push(middle);
  QImage image = waterfall.image();
  ASSERT_EQ(image.size(), QSize(8, 90));
  EXPECT_TRUE(rowIs(image, 0, {22, 75, 170}));
  EXPECT_TRUE(rowIs(image, 1, {235, 40, 30}));
  EXPECT_TRUE(rowIs(image, 2, kDark));

  for (int i = 0; i < 88; ++i) waterfall.push(quiet);
  image = waterfall.image();
  EXPECT_TRUE(rowIs(image, 89, {235, 40, 30}));
  EXPECT_TRUE(rowIs(image, 88, {22, 75, 170}));
  waterfall.push(quiet);
  image = waterfall.image();
  EXPECT_TRUE(rowIs(image, 89, {22, 75, 170}));
  waterfall.push(quiet);
  image = waterfall.image();
  for (int y = 0; y < 90; ++y) ASSERT_TRUE(rowIs(image, y, kDark)) << "row " << y;
  EXPECT_EQ(spy.count(), 92);
}

TEST(WaterfallBitmap, PublishedImagesStayAndANewWidthStartsAfresh) {
  WaterfallBitmap waterfall;
  QSignalSpy spy(&waterfall, &WaterfallBitmap::imageChanged);
  waterfall.push({});
  EXPECT_TRUE(waterfall.image().isNull());
  // A view may still be drawing an earlier image when the next row arrives.
  waterfall.push(std::vector<float>(4, -20.0f));
  const QImage first = waterfall.image();
  waterfall.push(std::vector<float>(4, -62.0f));
  waterfall.push({});
  EXPECT_EQ(spy.count(), 2);
  EXPECT_TRUE(rowIs(first, 0, {235, 40, 30}));
  EXPECT_TRUE(rowIs(first, 1, kDark));
  EXPECT_TRUE(rowIs(waterfall.image(), 0, {22, 75, 170}));

  waterfall.push(std::vector<float>(10, -48.0f));
  const QImage image = waterfall.image();
  ASSERT_EQ(image.size(), QSize(10, 90));
  EXPECT_TRUE(rowIs(image, 0, {80, 187, 137}));
  for (int y = 1; y < 90; ++y) ASSERT_TRUE(rowIs(image, y, kDark)) << "row " << y;
}

}  // namespace
