// A level meter for the settings window: a bar filling with the level (green, then yellow and
// red towards full scale) and a readout, for the input or output reading of AudioLevels plus the
// window's unsaved gain. Redraws whenever that reading changes. Main thread.
#pragma once

#include <QString>
#include <QWidget>

class AudioLevels;

class LevelMeter final : public QWidget {
  Q_OBJECT

 public:
  enum class Reading { input, output };

  // What the meter shows for a measured level and a gain.
  struct Display {
    bool clipping = false;
    double fill = 0;  // 0 to 1 of the bar
    QString readout;
    QString accessibleValue;
  };
  static Display display(float levelDb, double gainDb);

  LevelMeter(AudioLevels& levels, Reading reading, QWidget* parent = nullptr);

  void setGainDb(double gainDb);
  Display display() const;

  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void levelChanged();

  AudioLevels& levels_;
  Reading reading_;
  double gainDb_ = 0;
};
