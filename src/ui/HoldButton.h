// A button that acts while it is held: it reports every change of its pressed state (press, and
// release or dragging off) and has no click action of its own. Drawn as a small rounded button
// that takes the accent colour while held. Main thread.
#pragma once

#include <QAbstractButton>
#include <functional>

class HoldButton final : public QAbstractButton {
  Q_OBJECT

 public:
  HoldButton(const QString& text, std::function<void(bool pressed)> onPressChanged,
             QWidget* parent = nullptr);

  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
};
