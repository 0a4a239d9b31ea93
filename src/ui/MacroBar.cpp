#include "ui/MacroBar.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPushButton>
#include <QStyle>

#include "chat/AppSettings.h"
#include "ui/MacroEditorView.h"
#include "ui/UiLook.h"

namespace {
constexpr int kSpacing = 6;
constexpr int kPaddingTop = 8;
constexpr int kPaddingX = 8;
constexpr qreal kBackgroundWhite = 0.95;
// The small control size's label.
constexpr qreal kLabelPoints = 11;

// A slot button: its title truncated with an ellipsis to whatever width the bar gives it, so
// that the eight buttons share the bar's width equally whatever their titles.
class MacroButton final : public QPushButton {
 public:
  explicit MacroButton(QWidget* parent) : QPushButton(parent) {
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    // The field keeps its focus and selection when a macro is clicked.
    setFocusPolicy(Qt::TabFocus);
  }

  void setTitle(const QString& title) {
    title_ = title;
    setAccessibleName(title);
    elide();
  }

  QSize sizeHint() const override { return {1, QPushButton::sizeHint().height()}; }
  QSize minimumSizeHint() const override { return sizeHint(); }

 protected:
  void resizeEvent(QResizeEvent* event) override {
    QPushButton::resizeEvent(event);
    elide();
  }

 private:
  void elide() {
    const int margin = style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, this) + 2;
    setText(fontMetrics().elidedText(title_, Qt::ElideRight, std::max(0, width() - 2 * margin)));
  }

  QString title_;
};
}  // namespace

MacroBar::MacroBar(AppSettings& settings, QWidget* parent) : QWidget(parent), settings_(settings) {
  setPalette(UiLook::lightPalette());
  QPalette background = palette();
  background.setColor(QPalette::Window, UiLook::whiteLevel(kBackgroundWhite));
  setPalette(background);
  setAutoFillBackground(true);

  auto* layout = new QHBoxLayout(this);
  layout->setSpacing(kSpacing);
  layout->setContentsMargins(kPaddingX, kPaddingTop, kPaddingX, 0);
  for (int slot = 0; slot < AppSettings::kMacroCount; ++slot) {
    auto* button = new MacroButton(this);
    button->setFont(UiLook::systemFont(kLabelPoints));
    connect(button, &QPushButton::clicked, this, [this, slot] {
      // The message as it is at the moment of the click.
      emit insertRequested(settings_.macros().value(slot).message);
    });
    // Sees the right click before the button, which swallows every mouse event while disabled.
    button->installEventFilter(this);
    layout->addWidget(button, 1);
    buttons_.append(button);
  }
  connect(&settings_, &AppSettings::macrosChanged, this, &MacroBar::showMacros);
  showMacros();
}

void MacroBar::showMacros() {
  const QList<Macro> macros = settings_.macros();
  for (int slot = 0; slot < buttons_.size(); ++slot) {
    const Macro macro = macros.value(slot);
    static_cast<MacroButton*>(buttons_[slot])->setTitle(macro.title);
    buttons_[slot]->setToolTip(macro.message);
  }
}

void MacroBar::setButtonsDisabled(bool disabled) {
  for (QPushButton* button : buttons_) button->setDisabled(disabled);
}

bool MacroBar::eventFilter(QObject* watched, QEvent* event) {
  const int slot = buttons_.indexOf(watched);
  if (slot < 0) return QWidget::eventFilter(watched, event);
  bool editorAsked = false;
  switch (event->type()) {
    case QEvent::MouseButtonPress:
      editorAsked = static_cast<QMouseEvent*>(event)->button() == Qt::RightButton;
      break;
    case QEvent::ContextMenu:
      editorAsked = true;
      break;
    case QEvent::KeyPress: {
      // The keyboard's ways to the context menu, whether or not the platform makes a context
      // menu event of them.
      const auto* key = static_cast<QKeyEvent*>(event);
      editorAsked = key->key() == Qt::Key_Menu ||
                    (key->key() == Qt::Key_F10 && key->modifiers() == Qt::ShiftModifier);
      break;
    }
    default:
      break;
  }
  if (!editorAsked) return QWidget::eventFilter(watched, event);
  openEditor(slot);
  return true;
}

void MacroBar::openEditor(int slot) {
  if (editor_ || slot < 0 || slot >= buttons_.size()) return;
  const Macro macro = settings_.macros().value(slot);
  editingSlot_ = slot;
  editor_ = new MacroEditorView(macro.title, macro.message, this);
  connect(editor_, &MacroEditorView::saved, this,
          [this, slot](const QString& title, const QString& message) {
            editor_->showError(saveSlot(slot, title, message));
          });
  connect(editor_, &QDialog::finished, this, [this] { editingSlot_.reset(); });
  editor_->open();
}

QString MacroBar::saveSlot(int slot, const QString& title, const QString& message) {
  // In use at once, whether or not it reaches the store.
  settings_.setMacro(slot, Macro{title, message});
  QString error;
  settings_.saveMacros(&error);
  return error;
}
