// The small views: the level meter's reading, bar and readout, the hold button's press and
// release, and the focus rings of the hold button and Send.
#include "ui/LevelMeter.h"

#include "UiTestSupport.h"
#include "audio/AudioLevels.h"
#include "ui/HoldButton.h"
#include "ui/SendButton.h"

namespace {

TEST(LevelMeter, ShowsClipSilenceAndWholeDecibels) {
  struct Case {
    float levelDb;
    double gainDb;
    bool clipping;
    double fill;
    QString readout;
    QString accessibleValue;
  };
  const QString enDash = QString(QChar(0x2013));
  const Case cases[] = {
      {-3.0f, 6, true, 1.0, "Clip", "Clipping"},
      {-0.05f, 0, true, (60 - 0.05) / 60, "Clip", "Clipping"},
      {-0.2f, 0, false, (60 - 0.2) / 60, "0 dB", "0 decibels"},
      {-30.0f, 0, false, 0.5, "-30 dB", "-30 decibels"},
      {-60.0f, 0, false, 0.0, enDash, "Silent"},
      {-60.0f, -10, false, 0.0, enDash, "Silent"},
  };
  for (const Case& c : cases) {
    const LevelMeter::Display shown = LevelMeter::display(c.levelDb, c.gainDb);
    SCOPED_TRACE(testing::Message() << c.levelDb << " dB with gain " << c.gainDb);
    EXPECT_EQ(shown.clipping, c.clipping);
    EXPECT_NEAR(shown.fill, c.fill, 1e-5);
    EXPECT_EQ(shown.readout, c.readout);
    EXPECT_EQ(shown.accessibleValue, c.accessibleValue);
  }
}

TEST(LevelMeter, FillsFromTheLeftWithGreenUntilLoudAndFollowsItsReading) {
  AudioLevels levels;
  LevelMeter meter(levels, LevelMeter::Reading::output);
  meter.resize(260, 20);
  const int barWidth = 260 - 8 - 52;
  auto pixel = [&](double fraction) {
    return meter.grab().toImage().pixelColor(int(barWidth * fraction), 10);
  };
  auto isGreen = [](QColor c) { return c.green() > 150 && c.red() < 100; };
  levels.setInputDb(-30);  // the other reading
  EXPECT_FALSE(isGreen(pixel(0.25)));
  levels.setOutputDb(-30);
  EXPECT_TRUE(isGreen(pixel(0.25)));
  EXPECT_FALSE(isGreen(pixel(0.75))) << "half the bar only";
  EXPECT_EQ(meter.accessibleDescription(), "-30 decibels");
  meter.setGainDb(30);
  const QColor loudEnd = pixel(0.98);
  EXPECT_GT(loudEnd.red(), 200);
  EXPECT_LT(loudEnd.green(), 100) << "red towards full scale";
  EXPECT_EQ(meter.accessibleDescription(), "Clipping");
}

TEST(HoldButton, ReportsPressAndReleaseIncludingDraggingOffAndBeingDisabled) {
  QList<bool> changes;
  HoldButton button("Test");
  QObject::connect(&button, &HoldButton::pressed, [&] { changes.append(true); });
  QObject::connect(&button, &HoldButton::released, [&] { changes.append(false); });
  button.show();
  QTest::mousePress(&button, Qt::LeftButton);
  QTest::mouseRelease(&button, Qt::LeftButton);
  EXPECT_EQ(changes, (QList<bool>{true, false}));

  changes.clear();
  QTest::mousePress(&button, Qt::LeftButton);
  QMouseEvent dragOff(QEvent::MouseMove, QPointF(-50, -50), button.mapToGlobal(QPointF(-50, -50)),
                      Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&button, &dragOff);
  EXPECT_EQ(changes, (QList<bool>{true, false}));
  QTest::mouseRelease(&button, Qt::LeftButton, {}, QPoint(-50, -50));

  changes.clear();
  QTest::mousePress(&button, Qt::LeftButton);
  button.setEnabled(false);
  EXPECT_EQ(changes, (QList<bool>{true, false}));
}

TEST(FocusRing, StandsOutOnTheHoldButtonAndOnSend) {
  HoldButton hold("Test");
  SendButton send;
  for (QAbstractButton* button :
       {static_cast<QAbstractButton*>(&hold), static_cast<QAbstractButton*>(&send)}) {
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
    for (int y = 0; y < plain.height(); ++y) {
      for (int x = 0; x < plain.width(); ++x) {
        const QColor a = plain.pixelColor(x, y), b = focused.pixelColor(x, y);
        largest = std::max(largest, std::abs(a.red() - b.red()) + std::abs(a.green() - b.green()) +
                                        std::abs(a.blue() - b.blue()));
      }
    }
    EXPECT_GT(largest, 200) << "the ring's colour against what it is drawn over";
    button->hide();
  }
}

}  // namespace
