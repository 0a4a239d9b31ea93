#include "ui/StatusLine.h"

#include <QHBoxLayout>
#include <QLabel>

#include "chat/ChatViewModel.h"
#include "ui/ElidedLabel.h"
#include "ui/UiLook.h"

namespace {
constexpr int kSpacing = 16;
constexpr int kPaddingX = 8;
constexpr int kPaddingY = 3;
constexpr qreal kFontPoints = 11;
constexpr qreal kBackgroundWhite = 0.95;
}  // namespace

StatusLine::StatusLine(ChatViewModel& model, QWidget* parent)
    : QWidget(parent),
      model_(model),
      snr_(new QLabel(this)),
      errors_(new QLabel(this)),
      noSignal_(new QLabel(tr("No signal decoded"), this)),
      rigStatus_(new ElidedLabel(this)) {
  QPalette palette = UiLook::lightPalette();
  palette.setColor(QPalette::Window, UiLook::whiteLevel(kBackgroundWhite));
  palette.setColor(QPalette::WindowText, palette.color(QPalette::PlaceholderText));
  setPalette(palette);
  setAutoFillBackground(true);
  setFont(UiLook::systemFont(kFontPoints));

  auto* layout = new QHBoxLayout(this);
  layout->setSpacing(kSpacing);
  layout->setContentsMargins(kPaddingX, kPaddingY, kPaddingX, kPaddingY);
  layout->addWidget(snr_);
  layout->addWidget(errors_);
  layout->addWidget(noSignal_);
  layout->addStretch();
  layout->addWidget(rigStatus_);

  connect(&model_, &ChatViewModel::receiveQualityChanged, this, &StatusLine::showQuality);
  connect(&model_, &ChatViewModel::rigStatusChanged, this, &StatusLine::showRigStatus);
  showQuality();
  showRigStatus();
}

void StatusLine::showQuality() {
  const auto quality = model_.receiveQuality();
  if (quality) {
    snr_->setText(tr("SNR %1 dB").arg(quality->snrDb));
    errors_->setText(
        tr("Errors %1/%2 symbols").arg(quality->symbolErrors).arg(quality->symbolsChecked));
  }
  snr_->setVisible(quality.has_value());
  errors_->setVisible(quality.has_value());
  noSignal_->setVisible(!quality.has_value());
}

void StatusLine::showRigStatus() {
  const auto status = model_.rigStatus();
  // The rig's own words, of any length: on a narrow line they end in "…" rather than mid-word.
  rigStatus_->setFullText(status.value_or(QString()));
  rigStatus_->setVisible(status.has_value());
}

QStringList StatusLine::texts() const {
  QStringList texts;
  for (const QLabel* label : {snr_, errors_, noSignal_, static_cast<QLabel*>(rigStatus_)}) {
    if (!label->isHidden()) texts.append(label->text());
  }
  return texts;
}
