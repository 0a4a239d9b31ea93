// The warning over the macro bar that the message being typed has reached the length limit:
// a warning sign and "Messages are limited to 80 characters". ContentView shows it while the
// controller's input text is at the limit. Main thread.
#pragma once

#include <QWidget>

class LengthWarning final : public QWidget {
  Q_OBJECT

 public:
  explicit LengthWarning(int limit, QWidget* parent = nullptr);

  QString text() const { return text_; }

 private:
  QString text_;
};
