#include "ui/TrayItem.h"

#include "capture/Timecode.h"
#include "model/app/AppModel.h"
#include "ui/Icons.h"

#include <QAction>
#include <QMenu>
#include <QSystemTrayIcon>

namespace lc::ui {

namespace {

QIcon trayIcon(bool recording) {
    // Trays differ in colour; a mid grey reads on light and dark ones, red marks a session.
    const QColor colour = recording ? QColor(0xE5, 0x39, 0x35) : QColor(0x8E, 0x8E, 0x93);
    return symbolIcon(recording ? QStringLiteral("record.circle.fill") : QStringLiteral("record.circle"),
                      colour, 22);
}

} // namespace

TrayItem::TrayItem(AppModel& model, std::function<void()> showWindow, std::function<void()> quit,
                   QObject* parent)
    : QObject(parent), model_(model), menu_(std::make_unique<QMenu>()) {
    menu_->setObjectName(QStringLiteral("trayMenu"));
    record_ = menu_->addAction(QStringLiteral("Start recording"));
    connect(record_, &QAction::triggered, this, [this] { model_.toggle(); });
    pause_ = menu_->addAction(QStringLiteral("Pause recording"));
    connect(pause_, &QAction::triggered, this, [this] { model_.togglePause(); });
    menu_->addSeparator();
    show_ = menu_->addAction(QStringLiteral("Show Loomcast"));
    connect(show_, &QAction::triggered, this, [showWindow] { showWindow(); });
    quit_ = menu_->addAction(QStringLiteral("Quit Loomcast"));
    connect(quit_, &QAction::triggered, this, [quit] { quit(); });
    connect(menu_.get(), &QMenu::aboutToShow, this, [this] { sync(); });

    icon_ = new QSystemTrayIcon(this);
    icon_->setContextMenu(menu_.get());
    connect(icon_, &QSystemTrayIcon::activated, this,
            [this, showWindow](QSystemTrayIcon::ActivationReason reason) {
                // A plain click shows the menu as on other desktops' menu-bar items; a double click the
                // window.
                if (reason == QSystemTrayIcon::DoubleClick)
                    showWindow();
                else if (reason == QSystemTrayIcon::Trigger)
                    menu_->popup(QCursor::pos());
            });

    connect(&model_.session(), &SessionController::isRecordingChanged, this, [this] { sync(); });
    connect(&model_.session(), &SessionController::elapsedChanged, this, [this] { sync(); });
    connect(&model_.session(), &SessionController::pausedChanged, this, [this] { sync(); });
    connect(&model_.windows(), &WindowList::entriesChanged, this, [this] { sync(); });
    connect(&model_.windows(), &WindowList::liveChanged, this, [this] { sync(); });
    sync();
}

TrayItem::~TrayItem() = default;

bool TrayItem::available() {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void TrayItem::show() {
    icon_->show();
}

bool TrayItem::isVisible() const {
    return icon_->isVisible();
}

QString TrayItem::symbol() const {
    return model_.session().isRecording() ? QStringLiteral("record.circle.fill")
                                          : QStringLiteral("record.circle");
}

QString TrayItem::timeText() const {
    if (!model_.session().isRecording()) return QString();
    const QString time = formatTime(model_.session().elapsed());
    return model_.session().isPaused() ? QStringLiteral("Paused ") + time : time;
}

void TrayItem::sync() {
    const bool recording = model_.session().isRecording();
    const bool paused = model_.session().isPaused();
    pause_->setVisible(recording);
    pause_->setEnabled(recording && !model_.session().stopping());
    pause_->setText(paused ? QStringLiteral("Resume recording") : QStringLiteral("Pause recording"));
    if (recording) {
        record_->setText(QStringLiteral("Stop recording (") +
                         (paused ? QStringLiteral("paused ") : QString()) +
                         formatTime(model_.session().elapsed()) + u')');
        record_->setEnabled(true);
    } else {
        record_->setText(QStringLiteral("Start recording"));
        record_->setEnabled(model_.windows().availableToRecord() > 0);
    }
    if (first_ || recording != shownRecording_) {
        icon_->setIcon(trayIcon(recording));
        shownRecording_ = recording;
        first_ = false;
    }
    icon_->setToolTip(recording ? QStringLiteral("Loomcast \u2014 ") +
                                      (paused ? QStringLiteral("Paused ") : QStringLiteral("Recording ")) +
                                      formatTime(model_.session().elapsed())
                                : QStringLiteral("Loomcast"));
}

} // namespace lc::ui
