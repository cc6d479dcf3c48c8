#include "ui/MainWindow.h"

#include "app/update/UpdateControls.h"
#include "app/update/UpdateManager.h"
#include "export/ExportController.h"
#include "model/app/AppModel.h"
#include "ui/ExportBar.h"
#include "ui/Icons.h"
#include "ui/PresetPicker.h"
#include "ui/Rows.h"
#include "ui/SettingsView.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QResizeEvent>
#include <QVBoxLayout>
#include <algorithm>
#include <utility>

namespace lc::ui {

namespace {

// The empty-list text on its card.
QWidget* emptyCard(const QString& text, QWidget* parent) {
    auto* card = new Card(12, cardFill(), parent);
    auto* layout = new QVBoxLayout(card);
    layout->setContentsMargins(12, 18, 12, 18);
    auto* label = makeLabel(text, 12, Tone::secondary, QFont::Normal, card);
    label->setAlignment(Qt::AlignCenter);
    label->setWordWrap(true);
    layout->addWidget(label);
    return card;
}

} // namespace

MainWindow::MainWindow(AppModel& model, ExportController& exporter, update::UpdateManager* updates,
                       QWidget* parent)
    : QWidget(parent), model_(model), exporter_(exporter), updates_(updates) {
    setObjectName(QStringLiteral("main"));
    setWindowTitle(QStringLiteral("Loomcast"));
    setAutoFillBackground(true);

    // One page at a time: hidden pages take no room, so the window's least size is the shown
    // page's.
    pages_ = new QVBoxLayout(this);
    pages_->setContentsMargins(0, 0, 0, 0);
    pages_->setSpacing(0);

    // The application's commands live behind the header's menu button, as on the desktops'
    // own applications; the shortcuts stay on the window.
    appMenu_ = new QMenu(this);
    appMenu_->addAction(QStringLiteral("About Loomcast"), this, [this] {
        QMessageBox::about(
            this, QStringLiteral("About Loomcast"),
            QStringLiteral("Loomcast %1\nRecords several windows at once, each into its own file.")
                .arg(QCoreApplication::applicationVersion()));
    });
    // A package-managed installation is updated by the system, never from here.
    if (updates_ && !updates_->packageManaged())
        appMenu_->addAction(checkUpdates_ = update::makeCheckForUpdatesAction(*updates_, appMenu_));
    appMenu_->addSeparator();
    // The menu's item shows the shortcut; the window's own action takes it, so that the focus
    // comes back to where the keyboard left it.
    // Ctrl+, everywhere (the desktops' own applications use it), and the platform's key too.
    QList<QKeySequence> preferenceKeys = QKeySequence::keyBindings(QKeySequence::Preferences);
    if (const QKeySequence comma(Qt::CTRL | Qt::Key_Comma); !preferenceKeys.contains(comma))
        preferenceKeys.prepend(comma);
    QAction* fromMenu = appMenu_->addAction(QStringLiteral("Settings\u2026"), this,
                                            [this] { openSettings(std::nullopt, menuButton_); });
    fromMenu->setShortcuts(preferenceKeys);
    fromMenu->setShortcutContext(Qt::WidgetShortcut);
    auto* preferences = new QAction(this);
    preferences->setShortcuts(preferenceKeys);
    preferences->setShortcutContext(Qt::WindowShortcut);
    connect(preferences, &QAction::triggered, this, [this] { openSettings(std::nullopt, nullptr); });
    addAction(preferences);
    appMenu_->addSeparator();
    QAction* quit = appMenu_->addAction(QStringLiteral("Quit Loomcast"), QKeySequence::Quit, this,
                                        [this] { emit quitRequested(); });
    quit->setShortcutContext(Qt::WindowShortcut);
    addAction(quit);

    permissions_ = new PermissionsView(model_, this);
    permissions_->setMinimumSize(kWidth, 540);
    pages_->addWidget(permissions_);

    content_ = new QWidget(this);
    content_->setObjectName(QStringLiteral("content"));
    content_->setMinimumWidth(kWidth);
    auto* column = new QVBoxLayout(content_);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(buildHeader());
    column->addWidget(buildRecordRow());
    column->addWidget(buildSummaryRow());
    notice_ = makeLabel(QString(), 11, Tone::secondary, QFont::Normal, content_);
    notice_->setContentsMargins(16, 0, 16, 6);
    notice_->setWordWrap(true);
    column->addWidget(notice_);
    noticeAction_ = new QPushButton(content_);
    noticeAction_->setVisible(false);
    connect(noticeAction_, &QPushButton::clicked, this, [this] { model_.runNoticeAction(); });
    auto* actionRow = new QHBoxLayout;
    actionRow->setContentsMargins(16, 0, 16, 6);
    actionRow->addWidget(noticeAction_);
    actionRow->addStretch();
    column->addLayout(actionRow);
    column->addWidget(buildBanner());
    exportBar_ = new ExportBar(model_, exporter_, content_);
    column->addWidget(exportBar_);

    selectedTitle_ = new SectionTitle(QStringLiteral("Selected windows"), content_);
    column->addWidget(selectedTitle_);
    selectedScroll_ = new FitScroll(380, content_);
    selectedScroll_->setGrowable(kListMinimum);
    auto* entries = new QWidget;
    entryList_ = new QVBoxLayout(entries);
    entryList_->setContentsMargins(16, 2, 16, 2);
    entryList_->setSpacing(8);
    entriesEmpty_ =
        emptyCard(QStringLiteral("Add the windows you want to record from the list below."), entries);
    entryList_->addWidget(entriesEmpty_);
    entryList_->addStretch(1); // a taller list keeps its rows at the top
    selectedScroll_->setContent(entries);
    column->addWidget(selectedScroll_);

    availableTitle_ = new SectionTitle(QStringLiteral("Available windows"), content_);
    column->addWidget(availableTitle_);
    availableScroll_ = new FitScroll(200, content_);
    availableScroll_->setGrowable(kListMinimum);
    auto* live = new QWidget;
    liveList_ = new QVBoxLayout(live);
    liveList_->setContentsMargins(16, 2, 16, 2);
    liveList_->setSpacing(6);
    liveEmpty_ = emptyCard(QStringLiteral("No other windows open."), live);
    liveList_->addWidget(liveEmpty_);
    liveList_->addStretch(1);
    availableScroll_->setContent(live);
    column->addWidget(availableScroll_);
    column->addWidget(buildFooter());
    // Only the lists give up or take height; every other row keeps its own.
    for (int i = 0; i < column->count(); ++i) {
        QWidget* part = column->itemAt(i)->widget();
        if (part && part != selectedScroll_ && part != availableScroll_) {
            QSizePolicy policy = part->sizePolicy();
            policy.setVerticalPolicy(QSizePolicy::Fixed);
            part->setSizePolicy(policy);
        }
    }
    pages_->addWidget(content_);

    connect(&model_.session(), &SessionController::isRecordingChanged, this, [this] {
        syncState();
        syncEntries();
        syncLive();
    });
    connect(&model_.session(), &SessionController::elapsedChanged, this, [this] { syncState(); });
    connect(&model_.session(), &SessionController::pausedChanged, this, [this] { syncState(); });
    connect(&model_.windows(), &WindowList::entriesChanged, this, [this] {
        // A removed entry takes its popover with it.
        if (const auto& open = view_.presetPopoverFor(); open && !model_.windows().entry(*open))
            view_.setPresetPopoverFor(std::nullopt);
        syncState();
        syncEntries();
        syncLive();
        syncPicker();
    });
    connect(&model_.windows(), &WindowList::liveChanged, this, [this] {
        syncState();
        syncLive();
        syncEntries();
    });
    connect(&model_.windows(), &WindowList::thumbsChanged, this, [this] { syncEntries(); });
    connect(&model_.settings(), &Settings::fpsChanged, this, [this] { syncSummary(); });
    connect(&model_.settings(), &Settings::containerChanged, this, [this] { syncSummary(); });
    connect(&model_.settings(), &Settings::hevcChanged, this, [this] { syncSummary(); });
    connect(&model_.settings(), &Settings::micEnabledChanged, this, [this] { syncSummary(); });
    connect(&model_.windows(), &WindowList::axOKChanged, this,
            [this] { banner_->setVisible(!model_.windows().axOK()); });
    connect(&model_.windows(), &WindowList::screenOKChanged, this, [this] { syncPermissions(); });
    connect(&view_, &ViewState::presetPopoverForChanged, this, [this] { syncPicker(); });
    connect(&view_, &ViewState::showHistoryChanged, this, [this] { syncHistory(); });
    connect(&view_, &ViewState::showSettingsChanged, this, [this] { syncSettings(); });
    connect(&model_, &AppModel::noticeChanged, this, [this] { syncNotice(); });

    syncState();
    syncSummary();
    syncEntries();
    syncLive();
    syncPermissions();
    syncNotice();
    banner_->setVisible(!model_.windows().axOK());
    syncSettings();
    orderTabs(this);
    fitToContent();
}

MainWindow::~MainWindow() = default;

SettingsView* MainWindow::settingsView() const {
    return settings_;
}
PresetPicker* MainWindow::presetPicker() const {
    return picker_;
}
HistoryPopover* MainWindow::historyPopover() const {
    return historyPopover_;
}

QWidget* MainWindow::buildHeader() {
    auto* header = new QWidget(content_);
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(16, 14, 12, 8);
    row->setSpacing(10);
    row->addWidget(makeLabel(QStringLiteral("Loomcast"), 17, Tone::primary, QFont::Bold, header));
    pill_ = new StatusPill(header);
    row->addWidget(pill_, 0, Qt::AlignVCenter);
    row->addStretch(1);
    if (updates_) row->addWidget(new update::UpdatePill(*updates_, header), 0, Qt::AlignVCenter);
    auto* history = new SymbolButton(QStringLiteral("clock.arrow.circlepath"), 16, Tone::secondary, header);
    history->setToolTip(QStringLiteral("Session history"));
    history_ = history;
    row->addWidget(history);
    connect(history, &QAbstractButton::clicked, this, [this] { view_.setShowHistory(!view_.showHistory()); });
    auto* gear = new SymbolButton(QStringLiteral("gearshape"), 16, Tone::secondary, header);
    gear->setToolTip(QStringLiteral("Settings"));
    gear_ = gear;
    row->addWidget(gear);
    connect(gear, &QAbstractButton::clicked, this, [this] { openSettings(std::nullopt, gear_); });
    auto* menu = new SymbolButton(QStringLiteral("line.3.horizontal"), 16, Tone::secondary, header);
    menu->setToolTip(QStringLiteral("Main menu"));
    menu->setMenu(appMenu_);
    menu->setPopupMode(QToolButton::InstantPopup);
    menu->setStyleSheet(QStringLiteral("QToolButton::menu-indicator { image: none; width: 0; }"));
    menuButton_ = menu;
    row->addWidget(menu);
    return header;
}

QWidget* MainWindow::buildRecordRow() {
    auto* box = new QWidget(content_);
    auto* row = new QHBoxLayout(box);
    row->setContentsMargins(16, 4, 16, 8);
    row->setSpacing(8);
    record_ = new RecordButton(box);
    row->addWidget(record_, 1);
    connect(record_, &QAbstractButton::clicked, this, [this] { model_.toggle(); });

    // Pause and resume, beside the record button while a session runs.
    auto* pauseCard = new Card(10, cardFill(), box);
    pauseCard->setStroke([] { return Theme::colours().cardStroke; });
    pauseCard->setFixedSize(38, 38);
    pauseCard_ = pauseCard;
    auto* pauseRow = new QHBoxLayout(pauseCard_);
    pauseRow->setContentsMargins(0, 0, 0, 0);
    pause_ = new SymbolButton(QStringLiteral("pause.fill"), 16, Tone::primary, pauseCard_);
    pause_->setFixedSize(38, 38);
    pauseRow->addWidget(pause_);
    row->addWidget(pauseCard_);
    connect(pause_, &QAbstractButton::clicked, this, [this] { model_.togglePause(); });

    auto* card = new Card(10, cardFill(), box);
    card->setStroke([] { return Theme::colours().cardStroke; });
    card->setFixedSize(38, 38);
    auto* inner = new QHBoxLayout(card);
    inner->setContentsMargins(0, 0, 0, 0);
    auto* refresh = new SymbolButton(QStringLiteral("arrow.clockwise"), 16, Tone::primary, card);
    refresh->setFixedSize(38, 38);
    refresh->setToolTip(QStringLiteral("Refresh windows"));
    refresh_ = refresh;
    inner->addWidget(refresh);
    row->addWidget(card);
    connect(refresh, &QAbstractButton::clicked, this, [this] {
        model_.runReported(model_.windows().refresh(true), QStringLiteral("Refreshing the windows"));
    });
    return box;
}

QWidget* MainWindow::buildSummaryRow() {
    auto* box = new QWidget(content_);
    auto* row = new QHBoxLayout(box);
    row->setContentsMargins(16, 0, 16, 8);
    row->setSpacing(6);
    const QStringList keys{QStringLiteral("fps"), QStringLiteral("container"), QStringLiteral("hevc"),
                           QStringLiteral("mic")};
    for (int i = 0; i < keys.size(); ++i) {
        if (i > 0)
            row->addWidget(makeLabel(QStringLiteral("\u00B7"), 12, Tone::secondary, QFont::Normal, box));
        auto* button = new PlainButton(QString(), Theme::font(12), box);
        button->setToolTip(QStringLiteral("Open Settings"));
        button->setPadding(QMargins(2, 2, 2, 2));
        button->setTone(Tone::secondary);
        const QString key = keys[i];
        connect(button, &QAbstractButton::clicked, this, [this, key, button] { openSettings(key, button); });
        summary_.push_back(button);
        row->addWidget(button);
    }
    row->addStretch(1);
    return box;
}

QWidget* MainWindow::buildBanner() {
    banner_ = new QWidget(content_);
    auto* outer = new QHBoxLayout(banner_);
    outer->setContentsMargins(16, 0, 16, 8);
    auto* card = new Card(10, tinted(Tone::orange, 0.12), banner_);
    auto* row = new QHBoxLayout(card);
    row->setContentsMargins(10, 10, 10, 10);
    row->setSpacing(8);
    row->addWidget(new SymbolLabel(QStringLiteral("exclamationmark.triangle.fill"), 15, Tone::orange, card));
    auto* text = makeLabel(QStringLiteral("Window control is off: windows will be recorded but not resized."),
                           12, Tone::primary, QFont::Normal, card);
    text->setWordWrap(true);
    row->addWidget(text, 1);
    auto* enable = new PlainButton(QStringLiteral("Enable"), Theme::font(11, QFont::Medium), card);
    enable->setFill(tinted(Tone::primary, 0.08), 6);
    enable->setPadding(QMargins(10, 4, 10, 4));
    row->addWidget(enable);
    connect(enable, &QAbstractButton::clicked, this, [this] {
        // No prompt exists here: look again (a window manager may have started), then offer the
        // desktop's page if it has one.
        model_.runReported(model_.windows().refresh(false), QStringLiteral("Refreshing the windows"));
        if (!model_.windows().axOK()) model_.openSettings(QStringLiteral("Privacy_Accessibility"));
    });
    outer->addWidget(card);
    return banner_;
}

QWidget* MainWindow::buildFooter() {
    auto* box = new QWidget(content_);
    auto* column = new QVBoxLayout(box);
    column->setContentsMargins(0, 10, 0, 0);
    column->setSpacing(0);
    auto* line = new Card(
        0, [] { return Theme::colours().separator; }, box);
    line->setFixedHeight(1);
    column->addWidget(line);
    auto* rowBox = new QWidget(box);
    auto* row = new QHBoxLayout(rowBox);
    row->setContentsMargins(16, 8, 12, 10);
    row->setSpacing(6);
    row->addWidget(new SymbolLabel(QStringLiteral("folder"), 15, Tone::secondary, rowBox));
    row->addWidget(makeLabel(sessionsFolderText(model_), 12, Tone::secondary, QFont::Normal, rowBox));
    row->addStretch(1);
    auto* open = new SymbolButton(QStringLiteral("arrow.up.forward.square"), 16, Tone::secondary, rowBox);
    open->setToolTip(QStringLiteral("Open output folder"));
    row->addWidget(open);
    connect(open, &QAbstractButton::clicked, this, [this] { model_.openOutputFolder(); });
    column->addWidget(rowBox);
    return box;
}

void MainWindow::syncState() {
    pill_->setState(model_.session().isRecording(), model_.session().elapsed(), model_.session().isPaused());
    record_->setState(model_.session().isRecording(), model_.windows().availableToRecord(),
                      model_.session().isPaused());
    const bool paused = model_.session().isPaused();
    pauseCard_->setVisible(model_.session().isRecording());
    pause_->setEnabled(!model_.session().stopping());
    pause_->setSymbol(paused ? QStringLiteral("play.fill") : QStringLiteral("pause.fill"));
    pause_->setToolTip(paused ? QStringLiteral("Resume recording") : QStringLiteral("Pause recording"));
}

void MainWindow::syncSummary() {
    summary_[0]->setText(QString::number(model_.settings().fps()) + QStringLiteral(" FPS"));
    summary_[1]->setText(model_.settings().container().toUpper());
    summary_[2]->setText(model_.settings().hevc() ? QStringLiteral("HEVC") : QStringLiteral("H.264"));
    summary_[3]->setText(model_.settings().micEnabled() ? QStringLiteral("Microphone")
                                                        : QStringLiteral("Mic off"));
    for (PlainButton* b : summary_)
        b->updateGeometry();
}

std::vector<EntryRow*> MainWindow::entryRows() const {
    std::vector<EntryRow*> rows;
    for (int i = 0; i < entryList_->count(); ++i) {
        if (auto* row = qobject_cast<EntryRow*>(entryList_->itemAt(i)->widget())) rows.push_back(row);
    }
    return rows;
}

std::vector<LiveRow*> MainWindow::liveRows() const {
    std::vector<LiveRow*> rows;
    for (int i = 0; i < liveList_->count(); ++i) {
        if (auto* row = qobject_cast<LiveRow*>(liveList_->itemAt(i)->widget())) rows.push_back(row);
    }
    return rows;
}

void MainWindow::syncEntries() {
    const auto& entries = model_.windows().entries();
    selectedTitle_->setCount(int(entries.size()));
    std::vector<QUuid> order;
    for (const Entry& e : entries)
        order.push_back(e.id);
    const bool session = model_.session().isRecording();
    if (order == entryOrder_) {
        const auto rows = entryRows();
        for (std::size_t i = 0; i < rows.size(); ++i)
            rows[i]->setEntry(entries[i], session);
        return;
    }
    // The list changed: rows are cheap, build them again in model order.
    for (EntryRow* row : entryRows()) {
        entryList_->removeWidget(row);
        row->hide();
        row->deleteLater();
    }
    QWidget* list = entryList_->parentWidget();
    // Before the closing stretch.
    for (const Entry& e : entries)
        entryList_->insertWidget(entryList_->count() - 1, new EntryRow(model_, view_, e, list));
    entriesEmpty_->setVisible(entries.empty());
    entryOrder_ = std::move(order);
    orderTabs(this);
}

void MainWindow::syncLive() {
    const std::vector<LiveWindow> windows = model_.windows().pickerWindows();
    availableTitle_->setCount(int(windows.size()));
    std::vector<std::uint32_t> order;
    for (const LiveWindow& w : windows)
        order.push_back(w.id);
    const bool session = model_.session().isRecording();
    if (order == liveOrder_) {
        const auto rows = liveRows();
        for (std::size_t i = 0; i < rows.size(); ++i)
            rows[i]->setWindow(windows[i], session);
        return;
    }
    for (LiveRow* row : liveRows()) {
        liveList_->removeWidget(row);
        row->hide();
        row->deleteLater();
    }
    QWidget* list = liveList_->parentWidget();
    for (const LiveWindow& w : windows)
        liveList_->insertWidget(liveList_->count() - 1, new LiveRow(model_, w, list));
    liveEmpty_->setVisible(windows.empty());
    liveOrder_ = std::move(order);
    orderTabs(this);
}

QWidget* MainWindow::basePage() const {
    return model_.windows().screenOK() ? content_ : static_cast<QWidget*>(permissions_);
}

void MainWindow::syncPermissions() {
    // The settings page, while shown, stands in for either.
    const bool settings = view_.showSettings() && settings_;
    permissions_->setVisible(!settings && basePage() == permissions_);
    content_->setVisible(!settings && basePage() == content_);
}

void MainWindow::syncNotice() {
    const auto& notice = model_.notice();
    notice_->setText(notice.value_or(QString()));
    notice_->setVisible(notice.has_value() && !notice->isEmpty());
    const auto& action = model_.noticeAction();
    noticeAction_->setText(action ? action->label : QString());
    noticeAction_->setVisible(action.has_value());
}

void MainWindow::syncPicker() {
    const auto& wanted = view_.presetPopoverFor();
    if (picker_ && (!wanted || picker_->entryID() != *wanted)) {
        PresetPicker* old = picker_;
        picker_ = nullptr;
        old->hide();
        old->deleteLater();
    }
    if (!wanted || picker_) return;
    EntryRow* anchor = nullptr;
    for (EntryRow* row : entryRows()) {
        if (row->entryID() == *wanted) anchor = row;
    }
    if (!anchor || !model_.windows().entry(*wanted)) {
        // The entry is gone: the picker has nothing to show.
        view_.setPresetPopoverFor(std::nullopt);
        return;
    }
    picker_ = new PresetPicker(model_, *wanted, this);
    const QUuid id = *wanted;
    connect(picker_, &Popover::closed, this, [this, id] {
        if (view_.presetPopoverFor() == id) view_.setPresetPopoverFor(std::nullopt);
    });
    picker_->showAt(anchor->chip());
}

void MainWindow::syncHistory() {
    if (!view_.showHistory()) {
        if (historyPopover_) historyPopover_->hide();
        return;
    }
    if (!historyPopover_) {
        historyPopover_ = new HistoryPopover(model_, view_, exporter_, this);
        connect(historyPopover_, &Popover::closed, this, [this] {
            if (view_.showHistory()) view_.setShowHistory(false);
        });
    } else {
        historyPopover_->reload();
    }
    historyPopover_->showAt(history_);
}

void MainWindow::openSettings(const std::optional<QString>& key, QWidget* opener) {
    if (!view_.showSettings()) {
        returnFocus_ = opener ? opener : focusWidget();
        openedByKeyboard_ = opener ? showsFocusRing(opener) : true; // null: the window's shortcut
    }
    view_.setSettingsFocus(key);
    view_.setShowSettings(true);
}

void MainWindow::syncSettings() {
    const bool shown = settings_ && !settings_->isHidden();
    if (view_.showSettings() == shown) return;
    if (view_.showSettings()) {
        if (!settings_) {
            settings_ = new SettingsView(model_, view_, updates_, this);
            pages_->addWidget(settings_);
            orderTabs(this);
        }
        if (!returnFocus_) returnFocus_ = focusWidget();
        // The page stands in for the content; the window keeps its size and the page scrolls.
        syncPermissions();
        settings_->show();
        settings_->present(std::exchange(openedByKeyboard_, false));
        return;
    }
    settings_->hide();
    syncPermissions();
    QWidget* back = returnFocus_;
    returnFocus_ = nullptr;
    if (back && back->isVisibleTo(this) && back->isEnabled())
        back->setFocus(settings_->leftByKeyboard() ? Qt::ShortcutFocusReason : Qt::OtherFocusReason);
}

QSize MainWindow::sizeHint() const {
    return {kWidth, naturalHeight(kWidth)};
}

int MainWindow::naturalHeight(int width) const {
    const QWidget* base = basePage();
    const int content = base->hasHeightForWidth() ? base->heightForWidth(width) : base->sizeHint().height();
    return std::max({std::min(content, kMaxHeight), base->minimumSizeHint().height(), base->minimumHeight()});
}

bool MainWindow::followsContent() const {
    return !userSized_;
}

void MainWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // Neither a height it was fitted to (the window system may answer an earlier request
    // late) nor the least one the layout enforces: the user's choice.
    const int h = event->size().height();
    const auto asked = std::find(requested_.begin(), requested_.end(), h);
    const bool ours = asked != requested_.end();
    if (ours) requested_.erase(requested_.begin(), asked + 1);
    if (h == fitted_)
        userSized_ = false;
    else if (!ours && fitted_ >= 0 && h != minimumHeight() && isVisible())
        userSized_ = true;
}

void MainWindow::fitToContent() {
    if (fitted_ < 0) resize(kWidth, height()); // a new widget is 640 wide
    layout()->activate();                      // the least size as the content is now
    const int target = std::max(naturalHeight(std::max(width(), kWidth)), minimumHeight());
    fitted_ = target;
    if (target == height() && width() >= kWidth) return;
    if (requested_.size() >= 8) requested_.erase(requested_.begin());
    requested_.push_back(target);
    resize(std::max(width(), kWidth), target);
}

bool MainWindow::event(QEvent* event) {
    if (event->type() != QEvent::LayoutRequest) return QWidget::event(event);
    const bool handled = QWidget::event(event);
    if (followsContent() && !view_.showSettings()) fitToContent();
    return handled;
}

void MainWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!event->spontaneous() && followsContent() && !view_.showSettings()) fitToContent();
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
    // Escape with the focus outside the settings page (or nowhere) leaves it too.
    if (event->key() == Qt::Key_Escape && view_.showSettings() && settings_) return settings_->leave(true);
    QWidget::keyPressEvent(event);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    // The application goes on from its tray item; without one there would be no way back.
    event->accept();
    if (quitOnClose_ && quitOnClose_())
        emit quitRequested();
    else
        model_.notifications().closedToTray(model_.session().isRecording());
}

} // namespace lc::ui
