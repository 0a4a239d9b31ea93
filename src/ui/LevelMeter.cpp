#include "ui/LevelMeter.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <cmath>

#include "audio/AudioLevels.h"

namespace {

constexpr float kClipDb = -0.1f;
constexpr int kBarHeight = 8;
constexpr qreal kBarCornerRadius = 3;
constexpr int kSpacing = 8;
constexpr int kReadoutWidth = 52;
constexpr int kTrackAlpha = 26;  // the quaternary fill: text at about 10 %
const QColor kGreen(52, 199, 89);
const QColor kYellow(255, 204, 0);
const QColor kRed(255, 59, 48);
constexpr qreal kGreenEnd = 0.7;
constexpr qreal kYellowStop = 0.8;
constexpr qreal kRedStop = 0.95;
const QString kClipText = QStringLiteral("Clip");
const QString kSilentReadout = QString(QChar(0x2013));  // en dash

}  // namespace

LevelMeter::Display LevelMeter::display(float levelDb, double gainDb) {
  const float level = levelDb + static_cast<float>(gainDb);
  Display shown;
  shown.clipping = level >= kClipDb;
  shown.fill =
      level <= kLevelFloorDb ? 0.0 : (std::min(level, 0.0f) - kLevelFloorDb) / -kLevelFloorDb;
  const long rounded = std::lround(level);
  if (shown.clipping) {
    shown.readout = kClipText;
    shown.accessibleValue = tr("Clipping");
  } else if (level > kLevelFloorDb) {
    shown.readout = tr("%1 dB").arg(rounded);
    shown.accessibleValue = tr("%1 decibels").arg(rounded);
  } else {
    shown.readout = kSilentReadout;
    shown.accessibleValue = tr("Silent");
  }
  return shown;
}

LevelMeter::LevelMeter(AudioLevels& levels, Reading reading, QWidget* parent)
    : QWidget(parent), levels_(levels), reading_(reading) {
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  if (reading == Reading::input) {
    connect(&levels, &AudioLevels::inputDbChanged, this, &LevelMeter::levelChanged);
  } else {
    connect(&levels, &AudioLevels::outputDbChanged, this, &LevelMeter::levelChanged);
  }
  levelChanged();
}

void LevelMeter::setGainDb(double gainDb) {
  if (gainDb == gainDb_) return;
  gainDb_ = gainDb;
  levelChanged();
}

LevelMeter::Display LevelMeter::display() const {
  return display(reading_ == Reading::input ? levels_.inputDb() : levels_.outputDb(), gainDb_);
}

void LevelMeter::levelChanged() {
  setAccessibleDescription(display().accessibleValue);
  update();
}

QSize LevelMeter::sizeHint() const { return {160, std::max(kBarHeight, fontMetrics().height())}; }

void LevelMeter::paintEvent(QPaintEvent*) {
  const Display shown = display();
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);

  const QRectF bar(0, (height() - kBarHeight) / 2.0, width() - kSpacing - kReadoutWidth,
                   kBarHeight);
  QPainterPath track;
  track.addRoundedRect(bar, kBarCornerRadius, kBarCornerRadius);
  painter.setClipPath(track);
  QColor trackColour = palette().color(QPalette::Text);
  trackColour.setAlpha(kTrackAlpha);
  painter.fillRect(bar, trackColour);
  // The gradient spans the whole bar; the level only uncovers it from the left.
  QLinearGradient gradient(bar.topLeft(), bar.topRight());
  gradient.setColorAt(0, kGreen);
  gradient.setColorAt(kGreenEnd, kGreen);
  gradient.setColorAt(kYellowStop, kYellow);
  gradient.setColorAt(kRedStop, kRed);
  painter.fillRect(QRectF(bar.left(), bar.top(), bar.width() * shown.fill, bar.height()), gradient);
  painter.setClipping(false);

  painter.setPen(shown.clipping ? kRed : palette().color(QPalette::PlaceholderText));
  const QRect readout(width() - kReadoutWidth, 0, kReadoutWidth, height());
  painter.drawText(readout, Qt::AlignRight | Qt::AlignVCenter, shown.readout);
}
