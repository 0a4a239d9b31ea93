// A button that acts while it is held: pressed and released report every change of its pressed
// state (QAbstractButton also releases on dragging off and on being disabled while held, so the
// action never outlives the press), and it has no click action of its own. Drawn as a small
// rounded button that takes the accent colour while held. Main thread.
#pragma once

#include <QAbstractButton>

class HoldButton final : public QAbstractButton {
  Q_OBJECT

 public:
  explicit HoldButton(const QString& text, QWidget* parent = nullptr);

  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
};
