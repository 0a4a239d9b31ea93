// The composer's message field: a single-line field in a white capsule with a grey outline,
// prompting "Text Message". An up-arrow press is offered to upArrowHandler first, and goes to
// the field's own handling only when that declines it. Main thread.
#pragma once

#include <QLineEdit>
#include <functional>

class MessageField final : public QLineEdit {
  Q_OBJECT

 public:
  explicit MessageField(QWidget* parent = nullptr);

  // Returns true when it handled the key.
  void setUpArrowHandler(std::function<bool()> handler) { upArrowHandler_ = std::move(handler); }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  std::function<bool()> upArrowHandler_;
};
