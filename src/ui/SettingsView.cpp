#include "ui/SettingsView.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QShowEvent>
#include <QTabWidget>
#include <QVBoxLayout>

#include "chat/AppSettings.h"
#include "chat/ChatViewModel.h"
#include "ui/SettingsAudioPage.h"
#include "ui/SettingsGeneralPage.h"
#include "ui/SettingsTransceiverPage.h"
#include "ui/SymbolIcon.h"
#include "ui/UiLook.h"

namespace {

const char* const kWindowTitle = QT_TRANSLATE_NOOP("SettingsView", "Settings");
constexpr int kWindowWidth = 460;
constexpr int kWindowPadding = 20;
constexpr int kWindowSpacing = 16;

struct TabItem {
  const char* title;
  const char* themeIcon;
  SymbolIcon::Symbol symbol;
};
const std::array<TabItem, 3> kTabs = {{
    {QT_TRANSLATE_NOOP("SettingsView", "General"), "avatar-default", SymbolIcon::Symbol::person},
    {QT_TRANSLATE_NOOP("SettingsView", "Audio"), "audio-volume-high", SymbolIcon::Symbol::speaker},
    {QT_TRANSLATE_NOOP("SettingsView", "Transceiver"), "network-wireless",
     SymbolIcon::Symbol::antenna},
}};

const char* const kCancel = QT_TRANSLATE_NOOP("SettingsView", "Cancel");
const char* const kOK = QT_TRANSLATE_NOOP("SettingsView", "OK");

// The keys that go to the next or the previous tab.
struct TabKey {
  QKeySequence keys;
  int step;
};
const std::array<TabKey, 5> kTabKeys = {{
    {QKeySequence(Qt::CTRL | Qt::Key_Tab), 1},
    {QKeySequence(Qt::CTRL | Qt::Key_PageDown), 1},
    {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Backtab), -1},  // as X11 reports Shift+Tab
    {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Tab), -1},
    {QKeySequence(Qt::CTRL | Qt::Key_PageUp), -1},
}};

// A tab's page, as tall as its content and scrolled only where the screen has less room than
// that. Its wrapped texts set its height at any width, as they would without it.
class PageScroller final : public QScrollArea {
 public:
  PageScroller(QWidget* page, QWidget* parent) : QScrollArea(parent) {
    setWidget(page);
    setWidgetResizable(true);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFocusPolicy(Qt::NoFocus);  // the page's fields take the keys, not the frame around them
    viewport()->setAutoFillBackground(false);
    page->setAutoFillBackground(false);
  }

  QSize sizeHint() const override { return widget()->sizeHint(); }
  // As narrow as the page with its scroll bar, and short: it scrolls.
  QSize minimumSizeHint() const override {
    return {widget()->minimumSizeHint().width() + verticalScrollBar()->sizeHint().width(),
            QScrollArea::minimumSizeHint().height()};
  }
  bool hasHeightForWidth() const override { return widget()->hasHeightForWidth(); }
  int heightForWidth(int width) const override { return widget()->heightForWidth(width); }
};

// The operator's first keys go to the page's first field, in the order Tab visits them.
void focusFirstField(QWidget* page) {
  for (QWidget* widget = page->nextInFocusChain(); widget != page;
       widget = widget->nextInFocusChain()) {
    if (page->isAncestorOf(widget) && (widget->focusPolicy() & Qt::TabFocus) &&
        widget->isVisibleTo(page) && widget->isEnabled()) {
      widget->setFocus(Qt::TabFocusReason);
      return;
    }
  }
}

}  // namespace

SettingsView::SettingsView(AppSettings& settings, ChatViewModel& model, QWidget* parent)
    : QDialog(parent), settings_(settings), model_(model) {
  setWindowTitle(tr(kWindowTitle));

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(kWindowPadding, kWindowPadding, kWindowPadding, kWindowPadding);
  layout->setSpacing(kWindowSpacing);

  tabs_ = new QTabWidget(this);
  pages_ = {new SettingsGeneralPage(settings_, model_), new SettingsAudioPage(settings_, model_),
            new SettingsTransceiverPage(settings_)};
  for (std::size_t i = 0; i < pages_.size(); ++i) {
    auto* scroller = new PageScroller(pages_[i], tabs_);
    tabs_->addTab(scroller,
                  SymbolIcon::icon(kTabs[i].symbol, QLatin1String(kTabs[i].themeIcon),
                                   palette().color(QPalette::WindowText)),
                  tr(kTabs[i].title));
    // The page's own layout ends at its scroller: its new height reaches the window's this way.
    connect(pages_[i], &SettingsPage::heightChanged, this, [this] {
      tabs_->updateGeometry();
      fitSize();
    });
  }
  layout->addWidget(tabs_);
  // From wherever the focus is: a drop-down or a slider would otherwise take these keys itself.
  for (const TabKey& key : kTabKeys) {
    connect(new QShortcut(key.keys, this), &QShortcut::activated, this, [this, step = key.step] {
      tabs_->setCurrentIndex((tabs_->currentIndex() + step + tabs_->count()) % tabs_->count());
    });
  }

  // The settings store's trouble, across the window above the buttons.
  errorLabel_ = UiLook::makeErrorLabel(this);
  errorLabel_->setObjectName(QStringLiteral("error"));
  layout->addWidget(errorLabel_);
  auto* buttons = new QHBoxLayout();
  buttons->addStretch();
  auto* cancelButton = new QPushButton(tr(kCancel), this);
  cancelButton->setAutoDefault(false);
  auto* okButton = new QPushButton(tr(kOK), this);
  okButton->setDefault(true);
  buttons->addWidget(cancelButton);
  buttons->addWidget(okButton);
  layout->addLayout(buttons);

  connect(cancelButton, &QPushButton::clicked, this, &SettingsView::cancel);
  connect(okButton, &QPushButton::clicked, this, &SettingsView::applyAndClose);
  fitSize();
}

void SettingsView::fitSize() { UiLook::fitToContent(this, kWindowWidth); }

void SettingsView::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (event->spontaneous()) return;
  // A store that was not read whole is said at once, before the operator edits anything.
  showError(settings_.loadError());
  for (SettingsPage* page : pages_) page->load();
  focusFirstField(pages_[tabs_->currentIndex()]);
}

void SettingsView::hideEvent(QHideEvent* event) {
  QDialog::hideEvent(event);
  if (event->spontaneous()) return;  // minimised, not closed
  for (SettingsPage* page : pages_) page->end();
}

void SettingsView::applyAndClose() {
  for (SettingsPage* page : pages_) page->apply();
  QString saveError;
  const bool saved = settings_.save(&saveError);

  model_.applyAudioSettings();
  model_.setNeedsRigModeSet(true);
  // The refresh answers later, on its own; the window does not wait for it.
  QMetaObject::invokeMethod(
      &model_, [model = &model_] { model->refreshRigStatusNow(); }, Qt::QueuedConnection);

  // The edits are in effect but not on disk: keep the window, and say so.
  if (!saved) {
    showError(saveError);
    return;
  }
  accept();
}

void SettingsView::cancel() { reject(); }

void SettingsView::showError(const QString& text) {
  errorLabel_->setText(text);
  errorLabel_->setVisible(!text.isEmpty());
  fitSize();
}
