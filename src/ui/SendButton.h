// The composer's "Send" button: white semibold text on a blue capsule, pale blue while it cannot
// be pressed. Main thread.
#pragma once

#include <QPushButton>

class SendButton final : public QPushButton {
  Q_OBJECT

 public:
  static const QColor enabledColor;
  static const QColor disabledColor;

  explicit SendButton(QWidget* parent = nullptr);

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override { return sizeHint(); }

 protected:
  void paintEvent(QPaintEvent* event) override;
};
