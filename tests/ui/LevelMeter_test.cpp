// The small views: the level meter's reading, bar and readout, the focus rings of the hold
// button and Send, and the waterfall strip with its marker.
#include "ui/LevelMeter.h"

#include "UiTestSupport.h"
#include "audio/AudioLevels.h"
#include "audio/WaterfallBitmap.h"
#include "ui/HoldButton.h"
#include "ui/SendButton.h"
#include "ui/SpectrumView.h"

namespace {

TEST(LevelMeter, ShowsClipSilenceAndWholeDecibels) {
  // Level and gain -> clipping, bar fill, readout and the value read out to the screen reader.
  const std::tuple<float, double, bool, double, QString, QString> cases[] = {
      {-3.0f, 6, true, 1.0, "Clip", "Clipping"},
      {-0.05f, 0, true, (60 - 0.05) / 60, "Clip", "Clipping"},
      {-0.2f, 0, false, (60 - 0.2) / 60, "0 dB", "0 decibels"},
      {-30.0f, 0, false, 0.5, "-30 dB", "-30 decibels"},
      {-60.0f, -10, false, 0.0, "\u2013", "Silent"},
  };
  for (const auto& [levelDb, gainDb, clipping, fill, readout, spoken] : cases) {
    const LevelMeter::Display shown = LevelMeter::display(levelDb, gainDb);
    EXPECT_EQ(std::tuple(shown.clipping, shown.readout, shown.accessibleValue),
              std::tuple(clipping, readout, spoken))
        << levelDb << " dB with gain " << gainDb;
    EXPECT_NEAR(shown.fill, fill, 1e-5) << levelDb << " dB with gain " << gainDb;
  }
}

TEST(LevelMeter, FillsFromTheLeftWithGreenUntilLoudAndFollowsItsReading) {
  AudioLevels levels;
  LevelMeter meter(levels, LevelMeter::Reading::output);
  meter.resize(260, 20);
  const auto pixel = [&](double fraction) {
    return meter.grab().toImage().pixelColor(int((260 - 8 - 52) * fraction), 10);
  };
  const auto isGreen = [](QColor c) { return c.green() > 150 && c.red() < 100; };
  levels.setInputDb(-30);  // the other reading
  EXPECT_FALSE(isGreen(pixel(0.25)));
  levels.setOutputDb(-30);
  EXPECT_TRUE(isGreen(pixel(0.25)));
  EXPECT_FALSE(isGreen(pixel(0.75))) << "half the bar only";
  EXPECT_EQ(meter.accessibleDescription(), "-30 decibels");
  meter.setGainDb(30);
  EXPECT_GT(pixel(0.98).red(), 200);
  EXPECT_LT(pixel(0.98).green(), 100) << "red towards full scale";
  EXPECT_EQ(meter.accessibleDescription(), "Clipping");
}

TEST(FocusRing, StandsOutOnTheHoldButtonAndOnSend) {
  HoldButton hold("Test");
  SendButton send;
  for (QAbstractButton* button : std::initializer_list<QAbstractButton*>{&hold, &send}) {
    SCOPED_TRACE(button->metaObject()->className());
    button->show();
    button->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(button));
    button->clearFocus();
    const QImage plain = button->grab().toImage();
    button->setFocus();
    ASSERT_TRUE(button->hasFocus());
    const QImage focused = button->grab().toImage();
    int largest = 0;
    for (int i = 0; i < plain.width() * plain.height(); ++i) {
      const QColor a = plain.pixelColor(i % plain.width(), i / plain.width());
      const QColor b = focused.pixelColor(i % plain.width(), i / plain.width());
      largest = std::max(largest, std::abs(a.red() - b.red()) + std::abs(a.green() - b.green()) +
                                      std::abs(a.blue() - b.blue()));
    }
    EXPECT_GT(largest, 200) << "the ring's colour against what it is drawn over";
  }
}

TEST(SpectrumView, DrawsTheStripWithItsMarkerAtTheToneAndRedrawsForEveryRow) {
  const std::pair<int, std::optional<qreal>> marks[] = {
      {1400, 0}, {1700, 600}, {1399, std::nullopt}, {1701, std::nullopt}};
  for (const auto& [toneHz, x] : marks)
    EXPECT_EQ(SpectrumView::markerX(600, 1400, 1700, toneHz), x);
  EXPECT_EQ(SpectrumView::markerX(600, 1500, 1500, 1500), std::nullopt);

  WaterfallBitmap bitmap;
  SpectrumView view(bitmap, 1400, 1700, 1500);
  view.resize(600, SpectrumView::kHeight);
  // Before the first row: the dark background and the marker at 1500 Hz.
  const QColor dark(8, 10, 30);
  EXPECT_EQ(view.grab().toImage().pixelColor(100, 45), dark);
  EXPECT_GT(view.grab().toImage().pixelColor(200, 45).red(), dark.red() + 40);

  // A loud row stretched over the whole width, on top.
  bitmap.push(std::vector<float>(412, -10.0f));
  ASSERT_TRUE(waitFor([&] { return view.grab().toImage().pixelColor(100, 0) != dark; }));
  const QImage image = view.grab().toImage();
  EXPECT_EQ(image.pixelColor(100, 0), QColor(235, 40, 30));
  EXPECT_EQ(image.pixelColor(599, 0), QColor(235, 40, 30));
  EXPECT_EQ(image.pixelColor(100, 89), dark);
}

}  // namespace
