#include "ui/TrayItem.h"

#include "capture/Timecode.h"
#include "model/app/AppModel.h"
#include "ui/Icons.h"

#include <QAction>
#include <QLinearGradient>
#include <QMenu>
#include <QPainter>
#include <QSystemTrayIcon>

namespace lc::ui {

namespace {

QIcon trayIcon(int state) {
    if (state == 0) {
        // The installed icon where there is one; the same mark drawn otherwise.
        const QIcon own = QIcon::fromTheme(QStringLiteral("org.loomcast.Loomcast"));
        return own.isNull() ? TrayItem::applicationMark() : own;
    }
    // Trays differ in colour; this red reads on light and dark ones.
    const QColor red(0xE5, 0x39, 0x35);
    return symbolIcon(state == 2 ? QStringLiteral("pause.circle.fill") : QStringLiteral("record.circle.fill"),
                      red, 22);
}

} // namespace

QIcon TrayItem::applicationMark() {
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(size / 128.0, size / 128.0);
        // The packaged icon's shapes: dark on a light panel, its ring and dot light on a dark one.
        QLinearGradient tile(0, 6, 0, 122);
        tile.setColorAt(0, QColor(0x3A, 0x3F, 0x4B));
        tile.setColorAt(1, QColor(0x1C, 0x1F, 0x26));
        p.setPen(Qt::NoPen);
        p.setBrush(tile);
        p.drawRoundedRect(QRectF(6, 6, 116, 116), 26, 26);
        p.setPen(QPen(QColor(0xF2, 0xF2, 0xF7), 13.6));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QPointF(64, 64), 33.2, 33.2);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0xE5, 0x39, 0x35));
        p.drawEllipse(QPointF(64, 64), 19.2, 19.2);
        p.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

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

QIcon TrayItem::icon() const {
    return icon_->icon();
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
    const int state = !recording ? 0 : paused ? 2 : 1;
    if (state != shownState_) {
        icon_->setIcon(trayIcon(state));
        shownState_ = state;
    }
    icon_->setToolTip(recording ? QStringLiteral("Loomcast \u2014 ") +
                                      (paused ? QStringLiteral("Paused ") : QStringLiteral("Recording ")) +
                                      formatTime(model_.session().elapsed())
                                : QStringLiteral("Loomcast"));
}

} // namespace lc::ui
