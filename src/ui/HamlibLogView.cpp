#include "ui/HamlibLogView.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QFontDatabase>
#include <QHelpEvent>
#include <QLabel>
#include <QListView>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QShortcut>
#include <QSplitter>
#include <QStackedWidget>
#include <QStyledItemDelegate>
#include <QTextDocument>
#include <QToolBar>
#include <QToolButton>
#include <QToolTip>
#include <QVBoxLayout>

#include "rig/HamlibLog.h"
#include "settings/WholeFile.h"
#include "ui/BackgroundTask.h"
#include "ui/SymbolIcon.h"
#include "ui/UiLook.h"

namespace {

const char* const kWindowTitle = QT_TRANSLATE_NOOP("HamlibLogView", "Hamlib Log");
constexpr QSize kInitialSize(900, 500);
constexpr QSize kMinimumSize(600, 300);
// Closes the window, as it closes secondary windows elsewhere on a Linux desktop.
const QKeySequence kCloseShortcut(Qt::CTRL | Qt::Key_W);
const QString kExportFileName = QStringLiteral("Hamlib Log.txt");

constexpr int kListPadding = 8;
constexpr int kRowSpacing = 2;
constexpr int kColumnSpacing = 8;
constexpr int kLevelColumnWidth = 56;
constexpr int kAlertRowPadding = 4;
constexpr qreal kRowFontPoints = 12;  // callout
constexpr qreal kEmptyTitlePoints = 22;
constexpr int kEmptyIconSize = 48;

const QColor kRed(255, 59, 48);
const QColor kOrange(255, 149, 0);
constexpr int kAlertRowBackgroundAlpha = 20;  // 8 % of 255

const char* const kEmptyTitle = QT_TRANSLATE_NOOP("HamlibLogView", "No Hamlib Activity");
const char* const kEmptyDescription =
    QT_TRANSLATE_NOOP("HamlibLogView", "Connect to or tune the rig to see Hamlib's log here.");
const char* const kEntryTextName = QT_TRANSLATE_NOOP("HamlibLogView", "Entry text");
constexpr int kEntryTextLines = 5;
const char* const kSaveErrorPrefix = QT_TRANSLATE_NOOP("HamlibLogView", "Couldn't save the log: ");

struct ToolbarItem {
  const char* label;
  const char* themeIcon;
  SymbolIcon::Symbol symbol;
  const char* help;
};
const ToolbarItem kFollowItem = {
    QT_TRANSLATE_NOOP("HamlibLogView", "Follow"), "go-bottom", SymbolIcon::Symbol::arrowDownToLine,
    QT_TRANSLATE_NOOP("HamlibLogView", "Keep scrolled to the newest entry")};
const ToolbarItem kCopyItem = {QT_TRANSLATE_NOOP("HamlibLogView", "Copy"), "edit-copy",
                               SymbolIcon::Symbol::copy,
                               QT_TRANSLATE_NOOP("HamlibLogView", "Copy the whole log")};
const ToolbarItem kSaveItem = {QT_TRANSLATE_NOOP("HamlibLogView", "Save"), "document-save",
                               SymbolIcon::Symbol::save,
                               QT_TRANSLATE_NOOP("HamlibLogView", "Save the log to a text file")};
const ToolbarItem kClearItem = {QT_TRANSLATE_NOOP("HamlibLogView", "Clear"), "user-trash",
                                SymbolIcon::Symbol::trash,
                                QT_TRANSLATE_NOOP("HamlibLogView", "Clear the log")};
const char* const kLevelLabel = QT_TRANSLATE_NOOP("HamlibLogView", "Level");
const char* const kLevelHelp = QT_TRANSLATE_NOOP("HamlibLogView", "How much detail Hamlib logs");

QString tr(const char* text) { return QCoreApplication::translate("HamlibLogView", text); }

bool isAlert(HamlibLogLevel level) {
  return level == HamlibLogLevel::bug || level == HamlibLogLevel::error;
}

// The monospaced callout size of the rows and of the current entry's text.
QFont rowFont() {
  QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  font.setPointSizeF(UiLook::systemFont(kRowFontPoints).pointSizeF());
  return font;
}

// One line per entry: time, level, message. Row heights depend only on the level, so a list of
// thousands lays out without measuring any text.
class HamlibLogRowDelegate final : public QStyledItemDelegate {
 public:
  explicit HamlibLogRowDelegate(QObject* parent) : QStyledItemDelegate(parent) {
    font_ = rowFont();
    appFont_ = font_;
    appFont_.setWeight(QFont::DemiBold);
    const QFontMetrics metrics(font_);
    lineHeight_ = metrics.height();
    HamlibLogEntry widest;
    widest.date = QDateTime(QDate(2000, 1, 1), QTime(22, 58, 58, 888));
    timeWidth_ = metrics.horizontalAdvance(widest.timeText());
  }

  QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex& index) const override {
    int height = lineHeight_ + kRowSpacing;
    if (isAlert(levelOf(index))) height += 2 * kAlertRowPadding;
    return {1, height};
  }

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override {
    const HamlibLogLevel level = levelOf(index);
    const bool fromApp = index.data(HamlibLog::FromAppRole).toBool();
    const QPalette& palette = option.palette;
    const QColor primary = palette.color(QPalette::Text);
    const QColor secondary = palette.color(QPalette::PlaceholderText);
    QColor levelColour = primary;
    QColor messageColour = primary;
    switch (level) {
      case HamlibLogLevel::bug:
      case HamlibLogLevel::error:
        levelColour = messageColour = kRed;
        break;
      case HamlibLogLevel::warning:
        levelColour = messageColour = kOrange;
        break;
      case HamlibLogLevel::trace:
      case HamlibLogLevel::cache:
        levelColour = secondary;
        messageColour = fromApp ? primary : secondary;
        break;
      case HamlibLogLevel::none:
      case HamlibLogLevel::verbose:
        break;
    }

    painter->save();
    QRect row = option.rect.adjusted(0, 0, 0, -kRowSpacing);
    if (option.state & QStyle::State_Selected) {
      painter->fillRect(row, palette.color(QPalette::Highlight).lighter(160));
    }
    if (isAlert(level)) {
      QColor background = kRed;
      background.setAlpha(kAlertRowBackgroundAlpha);
      painter->fillRect(row, background);
      row.adjust(0, kAlertRowPadding, 0, -kAlertRowPadding);
    }

    HamlibLogEntry entry;
    entry.date = index.data(HamlibLog::DateRole).toDateTime();
    QRect column(row.left(), row.top(), timeWidth_, row.height());
    painter->setFont(font_);
    painter->setPen(secondary);
    painter->drawText(column, Qt::AlignLeft | Qt::AlignVCenter, entry.timeText());

    column.setRect(column.right() + 1 + kColumnSpacing, row.top(), kLevelColumnWidth, row.height());
    painter->setPen(levelColour);
    painter->drawText(column, Qt::AlignLeft | Qt::AlignVCenter, displayName(level));

    column.setLeft(column.right() + 1 + kColumnSpacing);
    column.setRight(row.right());
    painter->setFont(fromApp ? appFont_ : font_);
    painter->setPen(messageColour);
    const QString text = oneLine(index.data(HamlibLog::TextRole).toString());
    painter->drawText(column, Qt::AlignLeft | Qt::AlignVCenter,
                      painter->fontMetrics().elidedText(text, Qt::ElideRight, column.width()));
    painter->restore();
  }

  // The whole text of an entry that one line cannot hold.
  bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                 const QModelIndex& index) override {
    if (event->type() != QEvent::ToolTip || !index.isValid()) {
      return QStyledItemDelegate::helpEvent(event, view, option, index);
    }
    // Hamlib's words, never markup.
    QToolTip::showText(event->globalPos(),
                       Qt::convertFromPlainText(index.data(HamlibLog::TextRole).toString()), view);
    return true;
  }

 private:
  static HamlibLogLevel levelOf(const QModelIndex& index) {
    return hamlibLogLevelFromRawValue(index.data(HamlibLog::LevelRole).toInt())
        .value_or(HamlibLogLevel::verbose);
  }
  static QString oneLine(QString text) {
    for (QChar& c : text) {
      if (c == u'\n' || c == u'\r') c = u' ';
    }
    return text;
  }

  QFont font_;
  QFont appFont_;
  int lineHeight_ = 0;
  int timeWidth_ = 0;
};

// The list, padded on every side like the rows' stack.
class HamlibLogList final : public QListView {
 public:
  explicit HamlibLogList(QWidget* parent) : QListView(parent) {
    setViewportMargins(kListPadding, kListPadding, kListPadding, kListPadding);
  }
};

QWidget* makeEmptyState(QWidget* parent) {
  auto* view = new QWidget(parent);
  view->setObjectName(QStringLiteral("emptyState"));
  // Over the list, as the list would look without rows.
  view->setBackgroundRole(QPalette::Base);
  view->setAutoFillBackground(true);
  auto* layout = new QVBoxLayout(view);
  layout->addStretch();
  auto* icon = new QLabel(view);
  const QIcon image =
      SymbolIcon::icon(SymbolIcon::Symbol::antenna, QStringLiteral("network-wireless"),
                       view->palette().color(QPalette::PlaceholderText));
  icon->setPixmap(image.pixmap(kEmptyIconSize, kEmptyIconSize));
  icon->setAlignment(Qt::AlignCenter);
  auto* title = new QLabel(tr(kEmptyTitle), view);
  title->setFont(UiLook::systemFont(kEmptyTitlePoints, QFont::Bold));
  title->setAlignment(Qt::AlignCenter);
  auto* description = new QLabel(tr(kEmptyDescription), view);
  description->setAlignment(Qt::AlignCenter);
  description->setWordWrap(true);
  description->setForegroundRole(QPalette::PlaceholderText);
  layout->addWidget(icon);
  layout->addWidget(title);
  layout->addWidget(description);
  layout->addStretch();
  return view;
}

}  // namespace

HamlibLogView::HamlibLogView(HamlibLog& log, QWidget* parent)
    : QWidget(parent), log_(log), chooser_(std::make_unique<DialogSaveFileChooser>()) {
  setWindowTitle(tr(kWindowTitle));
  setMinimumSize(kMinimumSize);
  UiLook::openWithinScreen(this, kInitialSize);
  connect(new QShortcut(kCloseShortcut, this), &QShortcut::activated, this, &QWidget::close);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  buildToolbar(layout);

  list_ = new HamlibLogList(this);
  list_->setObjectName(QStringLiteral("entries"));
  list_->setModel(&log_);
  list_->setItemDelegate(new HamlibLogRowDelegate(list_));
  list_->setFrameShape(QFrame::NoFrame);
  list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  list_->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
  list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  list_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  list_->setBackgroundRole(QPalette::Base);
  list_->setAutoFillBackground(true);
  // The rows' own selection stands in for selectable text: copy their messages.
  auto* copySelection =
      new QShortcut(QKeySequence::Copy, list_, nullptr, nullptr, Qt::WidgetWithChildrenShortcut);
  connect(copySelection, &QShortcut::activated, this, [this] {
    QModelIndexList rows = list_->selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end());
    QStringList texts;
    for (const QModelIndex& row : rows) texts.append(row.data(HamlibLog::TextRole).toString());
    if (!texts.isEmpty()) QGuiApplication::clipboard()->setText(texts.join(u'\n'));
  });

  stack_ = new QStackedWidget(this);
  stack_->addWidget(list_);
  stack_->addWidget(makeEmptyState(stack_));

  // A row shows one line of its entry; the whole text of the current row stands here, wrapped
  // and selectable, so that no row has to be measured and the list stays cheap however long.
  entryText_ = new QPlainTextEdit(this);
  entryText_->setObjectName(QStringLiteral("entryText"));
  entryText_->setReadOnly(true);
  entryText_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  entryText_->setTabChangesFocus(true);
  entryText_->setFont(rowFont());
  entryText_->setAccessibleName(tr(kEntryTextName));
  auto* splitter = new QSplitter(Qt::Vertical, this);
  splitter->addWidget(stack_);
  splitter->addWidget(entryText_);
  splitter->setStretchFactor(0, 1);
  splitter->setChildrenCollapsible(false);
  splitter->setSizes(
      {kInitialSize.height(), kEntryTextLines * entryText_->fontMetrics().lineSpacing()});
  layout->addWidget(splitter, 1);
  connect(list_->selectionModel(), &QItemSelectionModel::currentChanged, this,
          &HamlibLogView::showCurrentEntry);

  connect(&log_, &QAbstractItemModel::rowsInserted, this, [this] {
    entriesChanged();
    entriesInserted();
  });
  connect(&log_, &QAbstractItemModel::rowsRemoved, this, [this] {
    entriesChanged();
    showCurrentEntry();
  });
  connect(&log_, &QAbstractItemModel::modelReset, this, [this] {
    entriesChanged();
    showCurrentEntry();
  });
  connect(&log_, &HamlibLog::levelChanged, this, [this](HamlibLogLevel level) {
    const QSignalBlocker blocker(levelPicker_);
    levelPicker_->setCurrentIndex(levelPicker_->findData(static_cast<int>(level)));
  });
  entriesChanged();
}

HamlibLogView::~HamlibLogView() = default;

void HamlibLogView::buildToolbar(QVBoxLayout* layout) {
  auto* toolbar = new QToolBar(this);
  toolbar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  toolbar->setIconSize(QSize(16, 16));

  auto* levelLabel = new QLabel(tr(kLevelLabel) + QLatin1Char(' '), toolbar);
  levelPicker_ = new QComboBox(toolbar);
  levelPicker_->setObjectName(QStringLiteral("levelPicker"));
  levelPicker_->setToolTip(tr(kLevelHelp));
  levelPicker_->setAccessibleName(tr(kLevelLabel));
  for (HamlibLogLevel level : kAllHamlibLogLevels) {
    levelPicker_->addItem(displayName(level), static_cast<int>(level));
  }
  levelPicker_->setCurrentIndex(levelPicker_->findData(static_cast<int>(log_.level())));
  connect(levelPicker_, &QComboBox::currentIndexChanged, this, [this](int index) {
    if (auto level = hamlibLogLevelFromRawValue(levelPicker_->itemData(index).toInt())) {
      log_.setLevel(*level);
    }
  });
  toolbar->addWidget(levelLabel);
  toolbar->addWidget(levelPicker_);

  auto addItem = [&](const ToolbarItem& item, const char* name) {
    QAction* action =
        toolbar->addAction(SymbolIcon::icon(item.symbol, QLatin1String(item.themeIcon),
                                            palette().color(QPalette::WindowText)),
                           tr(item.label));
    action->setObjectName(QLatin1String(name));
    action->setToolTip(tr(item.help));
    return action;
  };
  followAction_ = addItem(kFollowItem, "follow");
  followAction_->setCheckable(true);
  followAction_->setChecked(followTail_);
  connect(followAction_, &QAction::toggled, this, &HamlibLogView::setFollowTail);
  copyAction_ = addItem(kCopyItem, "copy");
  connect(copyAction_, &QAction::triggered, this, &HamlibLogView::copyLog);
  saveAction_ = addItem(kSaveItem, "save");
  connect(saveAction_, &QAction::triggered, this, &HamlibLogView::saveLog);
  clearAction_ = addItem(kClearItem, "clear");
  connect(clearAction_, &QAction::triggered, this, &HamlibLogView::clearLog);
  // A toolbar's buttons take no focus of their own; here Tab reaches them after the picker.
  for (QAction* action : {followAction_, copyAction_, saveAction_, clearAction_}) {
    toolbar->widgetForAction(action)->setFocusPolicy(Qt::TabFocus);
  }
  layout->addWidget(toolbar);
}

void HamlibLogView::setSaveFileChooser(std::unique_ptr<SaveFileChooser> chooser) {
  chooser_ = std::move(chooser);
}

void HamlibLogView::setFollowTail(bool on) {
  // Turning it on scrolls nothing by itself: the next entry does.
  followTail_ = on;
  if (followAction_->isChecked() != on) followAction_->setChecked(on);
}

void HamlibLogView::copyLog() {
  if (log_.entries().isEmpty()) return;
  QClipboard* clipboard = QGuiApplication::clipboard();
  clipboard->clear();
  clipboard->setText(log_.exportText());
}

void HamlibLogView::saveLog() {
  if (log_.entries().isEmpty() || exportDocument_) return;
  exportDocument_ = log_.exportText();
  chooser_->chooseFile(this, windowTitle(), kExportFileName,
                       [self = QPointer(this)](std::optional<QString> path) {
                         if (!self || !self->exportDocument_) return;
                         const QString text = *std::exchange(self->exportDocument_, std::nullopt);
                         if (path) self->writeExport(*path, text);
                       });
}

void HamlibLogView::clearLog() { log_.clear(); }

void HamlibLogView::writeExport(const QString& path, const QString& text) {
  runInBackground(
      this, [path, text] { return writeWholeFile(path, text.toUtf8()); },
      [this](const std::optional<QString>& error) {
        if (error) showSaveError(*error);
        emit saveFinished(error);
      });
}

void HamlibLogView::showSaveError(const QString& errorText) {
  auto* box = new QMessageBox(QMessageBox::Warning, windowTitle(), tr(kSaveErrorPrefix) + errorText,
                              QMessageBox::Ok, this);
  box->setObjectName(QStringLiteral("saveError"));
  box->setTextFormat(Qt::PlainText);  // it names the file
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::WindowModal);
  box->open();
}

void HamlibLogView::showCurrentEntry() {
  const QModelIndex current = list_->currentIndex();
  const QString text = current.isValid() ? current.data(HamlibLog::TextRole).toString() : QString();
  // A flood past the log's cap removes a row per entry: only a new text costs a relayout.
  if (text == shownEntryText_) return;
  shownEntryText_ = text;
  entryText_->setPlainText(text);
}

void HamlibLogView::entriesChanged() {
  const bool empty = log_.entries().isEmpty();
  stack_->setCurrentIndex(empty ? 1 : 0);
  entryText_->setVisible(!empty);
  copyAction_->setEnabled(!empty);
  saveAction_->setEnabled(!empty);
  clearAction_->setEnabled(!empty);
}

void HamlibLogView::entriesInserted() {
  // A burst of entries arrives as many insertions in one go: scroll once after all of them.
  if (!followTail_ || scrollPending_) return;
  scrollPending_ = true;
  QMetaObject::invokeMethod(
      this,
      [this] {
        scrollPending_ = false;
        if (followTail_) scrollToNewest();
      },
      Qt::QueuedConnection);
}

void HamlibLogView::scrollToNewest() {
  const int rows = log_.rowCount();
  if (rows > 0) list_->scrollTo(log_.index(rows - 1), QAbstractItemView::PositionAtBottom);
}

void HamlibLogView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  // Coming on screen shows the newest entry whatever Follow says; after layout, so it lands.
  QMetaObject::invokeMethod(this, &HamlibLogView::scrollToNewest, Qt::QueuedConnection);
}
