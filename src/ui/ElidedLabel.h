// A one-line text that shortens itself with a trailing "…" to the width it is given, rather than
// being cut off; it asks for the width of its whole text and makes do with the width of "…".
// Its whole text stays its accessible name. Main thread.
#pragma once

#include <QLabel>

class ElidedLabel final : public QLabel {
  Q_OBJECT

 public:
  explicit ElidedLabel(QWidget* parent = nullptr);

  void setFullText(const QString& text);

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void elide();
  // The width the label needs around a text of the given width.
  QSize sizeFor(qreal textWidth) const;

  QString fullText_;
};
