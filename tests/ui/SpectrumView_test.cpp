#include "ui/SpectrumView.h"

#include <vector>

#include "UiTestSupport.h"
#include "audio/WaterfallBitmap.h"

namespace {

TEST(SpectrumView, MarkerStandsAtTheToneWithinTheRangeOnly) {
  EXPECT_EQ(SpectrumView::markerX(600, 1400, 1700, 1500), 200);
  EXPECT_EQ(SpectrumView::markerX(600, 1400, 1700, 1400), 0);
  EXPECT_EQ(SpectrumView::markerX(600, 1400, 1700, 1700), 600);
  EXPECT_EQ(SpectrumView::markerX(600, 1400, 1700, 1399), std::nullopt);
  EXPECT_EQ(SpectrumView::markerX(600, 1400, 1700, 1701), std::nullopt);
  EXPECT_EQ(SpectrumView::markerX(600, 1500, 1500, 1500), std::nullopt);
}

TEST(SpectrumView, DrawsTheStripAndRedrawsForEveryRow) {
  WaterfallBitmap bitmap;
  SpectrumView view(bitmap, 1400, 1700, 1500);
  view.resize(600, 200);
  EXPECT_EQ(view.height(), SpectrumView::kHeight);

  // Before the first row: the dark background and the marker.
  QImage image = view.grab().toImage();
  const QColor dark(8, 10, 30);
  EXPECT_EQ(image.pixelColor(100, 45), dark);
  EXPECT_GT(image.pixelColor(200, 45).red(), dark.red() + 40);

  // A loud row stretched over the whole width, on top.
  bitmap.push(std::vector<float>(412, -10.0f));
  ASSERT_TRUE(waitFor([&] { return view.grab().toImage().pixelColor(100, 0) != dark; }));
  image = view.grab().toImage();
  EXPECT_EQ(image.pixelColor(100, 0), QColor(235, 40, 30));
  EXPECT_EQ(image.pixelColor(599, 0), QColor(235, 40, 30));
  EXPECT_EQ(image.pixelColor(100, 89), dark);
}

}  // namespace
